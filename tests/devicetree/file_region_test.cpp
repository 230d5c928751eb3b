// Raw regions of files and devices, also beyond 4 GiB.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "devicetree.h"
#include "region_io.h"
#include "dtb_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(FileRegion, ReadsAndWritesBeyondFourGibibytes) {
  temp_dir dir;
  std::string path = dir.file("sparse.img");
  const uint8_t data[] = {1, 2, 3, 4, 5};
  uint64_t offset = (5ull << 30) + 3;
  ASSERT_EQ(write_file_region(data, path.c_str(), offset, sizeof(data)), 0);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), offset + sizeof(data));
  owned<uint8_t> back;
  ASSERT_EQ(read_file_region(back, path.c_str(), offset, sizeof(data)), 0);
  EXPECT_EQ(0, memcmp(back.get(), data, sizeof(data)));
}

// A new image is made whole beside the old one and takes its name: a second
// name of the old file keeps the old bytes, and nothing is left under ".new"
// (also not what a cut left there).
TEST(FileRegion, WritingAnImageReplacesALongerOneWhole) {
  temp_dir dir;
  std::string path = dir.file("dual_boot_apt_backup.img");
  write_whole_file(path, bytes(4096, 0xee));
  write_whole_file(path + ".new", bytes(9, 1));
  ASSERT_EQ(link(path.c_str(), dir.file("old").c_str()), 0);
  bytes table(1304, 0x42);
  ASSERT_EQ(write_file_region(table.data(), path.c_str(), 0, table.size()), 0);
  EXPECT_EQ(read_whole_file(path), table);
  EXPECT_EQ(read_whole_file(dir.file("old")), bytes(4096, 0xee));
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
}

// Where a device is expected, a missing node, a plain file, a folder or a
// character device is refused and nothing is made; no image file is written
// under /dev or over anything but a plain file.
TEST(FileRegion, OnlyABlockDeviceIsTakenForADevice) {
  temp_dir dir;
  write_whole_file(dir.file("plain"), bytes(4096, 1));
  for (const std::string &path : {dir.file("missing"), dir.file("plain"), dir.path,
                                  std::string("/dev/null")}) {
    owned_fd file;
    CaptureStdout();
    EXPECT_EQ(open_block_device(file, path.c_str(), O_RDWR), -1);
    EXPECT_EQ(GetCapturedStdout(), "'" + path + "' is not a block device: refused!\n");
    EXPECT_EQ(file.fd, -1);
  }
  const uint8_t data[4] = {};
  for (const std::string &path : {std::string("/dev/kvemmc-missing-node"), dir.path}) {
    CaptureStdout();
    EXPECT_EQ(write_file_region(data, path.c_str(), 0, sizeof(data)), -1);
    EXPECT_EQ(GetCapturedStdout(), "'" + path + "' is not an image file: refused!\n");
  }
  EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);
  EXPECT_NE(access("/dev/kvemmc-missing-node", F_OK), 0);
  EXPECT_EQ(read_whole_file(dir.file("plain")), bytes(4096, 1));
}

TEST(FileRegion, FailuresHandBackNoBuffer) {
  temp_dir dir;
  std::string path = dir.file("short.img");
  write_whole_file(path, bytes(100, 1));
  owned<uint8_t> out = allocate_zeroed(8);
  CaptureStdout();
  EXPECT_EQ(read_file_region(out, path.c_str(), 96, 8), -1);
  EXPECT_EQ(GetCapturedStdout(), "Error reading file!\n");
  EXPECT_EQ(out, nullptr);

  std::string missing = dir.file("missing.img");
  CaptureStdout();
  EXPECT_EQ(read_file_region(out, missing.c_str(), 0, 8), -1);
  EXPECT_EQ(write_file_region(nullptr, path.c_str(), 0, 8), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Error opening file for reading '" + missing + "'!\nbackup is NULL!\n");
  EXPECT_EQ(out, nullptr);

  // A partition of 4 GiB or more is refused, not cut to its low 32 bits.
  CaptureStdout();
  EXPECT_EQ(read_file_region(out, path.c_str(), 0, (4ull << 30) + 8), -1);
  EXPECT_EQ(GetCapturedStdout(), "Region of 4294967304 bytes is too large for one transfer!\n");
}
