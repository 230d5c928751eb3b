// Offsets, sizes and messages beyond 32 bits. On the boxes long and size_t
// are 32 bits wide: a value passed through either, or printed with a format
// of that width, loses its high word. Every check here reads the result
// with the system's own tools or compares it with a value worked out by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "devicetree.h"
#include "frontend.h"
#include "partition_table.h"
#include "storage.h"
#include "storage_test_support.h"
#include "table_builder.h"

using storage_test::shell;
using storage_test::temp_folder;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint64_t gib = 1ull << 30;

// The bytes at `offset` of `path` as od shows them ("01 02 ...").
std::string bytes_at(const std::string &path, uint64_t offset, int count) {
  std::string out = shell("od -An -v -tx1 -j " + std::to_string(offset) + " -N " +
                          std::to_string(count) + " " + path);
  std::string words;
  for (char c : out) {
    if (c == '\n') c = ' ';
    if (c != ' ' || (!words.empty() && words.back() != ' ')) words += c;
  }
  while (!words.empty() && words.back() == ' ') words.pop_back();
  return words;
}

uint64_t file_size(const std::string &path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Offsets whose low 32 bits alone would land elsewhere: across the 4 GiB
// boundary, with bit 31 set (negative as a 32-bit long), and far beyond.
const uint64_t far_offsets[] = {4 * gib - 3, 6 * gib + 4, 8 * gib + 0x1000};

}  // namespace

TEST(LargeOffsets, RegionsAreWrittenAtTheirFullOffset) {
  temp_folder tmp;
  const uint8_t data[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  for (uint64_t offset : far_offsets) {
    std::string path = tmp / "written.img";
    ASSERT_EQ(write_file_region(data, path.c_str(), offset, sizeof(data)), 0) << offset;
    EXPECT_EQ(file_size(path), offset + sizeof(data)) << offset;
    EXPECT_EQ(bytes_at(path, offset, 8), "11 22 33 44 55 66 77 88") << offset;
    uint64_t low_word = offset & 0xffffffffull;
    if (low_word != offset) {
      EXPECT_EQ(bytes_at(path, low_word, 8), "00 00 00 00 00 00 00 00") << offset;
    }
  }
}

TEST(LargeOffsets, RegionsAreReadFromTheirFullOffset) {
  temp_folder tmp;
  for (uint64_t offset : far_offsets) {
    std::string path = tmp / "placed.img";
    // Placed by dd; the same bytes' low-word alias stays zero.
    ASSERT_EQ(shell("truncate -s " + std::to_string(offset + 4096) + " " + path +
                    " && printf 'ABCDEFGH' | dd of=" + path +
                    " bs=8 count=1 oflag=seek_bytes conv=notrunc status=none seek=" +
                    std::to_string(offset) + " && echo ok"),
              "ok\n");
    owned<uint8_t> back;
    ASSERT_EQ(read_file_region(back, path.c_str(), offset, 8), 0) << offset;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(back.get()), 8), "ABCDEFGH") << offset;
  }
}

TEST(LargePartitions, TablePrintsFullSixtyFourBitOffsetsAndSizes) {
  mmc_partitions_fmt table = make_table({
      {"data", 0x3a0000000, 0x140000000, mask_data},
      {"KV_FLASH", 0x100000000, 0x4e0000000, mask_code},
  });
  CaptureStdout();
  EXPECT_EQ(verify_and_print_partition_table(&table, 1), 0);
  EXPECT_EQ(GetCapturedStdout(),
            "[mmcblk0p01]                 data  offset 0x000140000000, size 0x0003a0000000 "
            "[14848 MB], data\n"
            "[mmcblk0p02]             KV_FLASH  offset 0x0004e0000000, size 0x000100000000 "
            "[4096 MB], code\n");
}

TEST(LargePartitions, ChecksumCountsTheHighWordsOfSizeAndOffset) {
  mmc_partitions_fmt table = make_table({
      {"data", 0x3a0000000, 0x140000000, mask_data},
      {"KV_FLASH", 0x100000000, 0x4e0000000, mask_code},
  });
  // Twice the sum of slot 0's ten words, worked out by hand; without the
  // high words (3 and 1) it would be 8 less.
  EXPECT_EQ(table.checksum, 0x82e8c2d8u);
  EXPECT_EQ(verify_partition_table(&table), 0);

  // A size that differs only in its high word no longer verifies.
  table.entries[0].size += 1ull << 32;
  CaptureStdout();
  EXPECT_EQ(verify_partition_table(&table), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "checksum error: pt_fmt->checksum=0x82e8c2d8,calc_result=0x82e8c2da\n"
            "partition verified error\n");
}

TEST(LargeValues, SizesBeyondFourGibibytesAreCountedAndPrintedWhole) {
  // /sys/block sizes are 512-byte sectors: a 16 GB eMMC.
  EXPECT_EQ(sectors_text_to_bytes("30535680\n"), 15634268160ull);

  // The largest KV_FLASH size still fits its 32 bits, the next is refused.
  uint64_t size = 0;
  EXPECT_EQ(parse_flash_size_option("4095", &size), 0);
  EXPECT_EQ(size, 4293918720ull);
  CaptureStdout();
  EXPECT_EQ(parse_flash_size_option("4096", &size), -1);
  GetCapturedStdout();

  // rsync counts the apparent size of a sparse file of 5 GB.
  temp_folder tmp;
  owned<char> scratch = allocate_zeroed<char>(scratch_buffer_size);
  scratch_buffer = scratch.get();
  std::string folder = tmp / "data";
  ASSERT_EQ(shell("mkdir " + folder + " && truncate -s 5000000123 " + folder + "/big && echo ok"),
            "ok\n");
  uint64_t used = 0;
  CaptureStdout();
  EXPECT_EQ(print_used_space("data", folder.c_str(), &used), 0);
  EXPECT_EQ(GetCapturedStdout(), "Used space of 'data': 5000MB\n");
  EXPECT_EQ(used, 5000000123ull);

  // A range that cannot be an offset in a file is named whole.
  CaptureStdout();
  EXPECT_EQ(format_ext4("KV_STORAGE", (tmp / "none.img").c_str(), ext4_features,
                        0x8000000000000000ull, 0x3a0000000ull),
            -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Invalid range for 'KV_STORAGE': offset 0x8000000000000000, size 0x0003a0000000!\n");
  scratch_buffer = nullptr;
}

TEST(LargeOffsets, FilesystemIsMadeAtItsFullOffset) {
  // mke2fs gets the partition's offset on its command line; blkid finds the
  // filesystem there and nothing at the offset's low 32 bits.
  temp_folder tmp;
  std::string image = tmp / "emmc.img";
  uint64_t offset = 5 * gib + 0x80000000ull;
  uint64_t size = 16ull << 20;
  ASSERT_EQ(shell("truncate -s " + std::to_string(offset + size) + " " + image + " && echo ok"),
            "ok\n");
  CaptureStdout();
  int result = format_ext4("KV_STORAGE", image.c_str(), ext4_features, offset, size);
  std::string printed = GetCapturedStdout();
  ASSERT_EQ(result, 0) << printed;
  EXPECT_EQ(file_size(image), offset + size);
  EXPECT_EQ(shell("blkid -p -O " + std::to_string(offset) + " -s LABEL -o value " + image),
            "KV_STORAGE\n");
  EXPECT_EQ(shell("blkid -p -O " + std::to_string(offset & 0xffffffffull) +
                  " -s LABEL -o value " + image),
            "");
}
