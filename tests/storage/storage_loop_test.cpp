// Storage tools on real loop devices and mounts. Each test runs in a private
// mount namespace of its own process; every loop device attached to the
// test's images and every mount below its folder (and over /media) is
// removed when the test ends, also when it fails. Without root they skip.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "storage.h"
#include "../../src/storage/storage_internal.h"
#include "storage_test_support.h"
#include "table_builder.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using namespace storage_support;

constexpr uint64_t MiB = 1024 * 1024;

class LoopDevices : public storage_test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
    storage_test::SetUp();
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    in_namespace = true;
  }

  void TearDown() override {
    if (!in_namespace) return;
    // The real tools clean up, not a test's stand-ins.
    setenv("PATH", saved_path.c_str(), 1);
    // Deepest mounts first; only those this test made.
    std::vector<std::string> mounts;
    std::istringstream table(read_text("/proc/self/mounts"));
    for (std::string line; std::getline(table, line);) {
      std::istringstream fields(line);
      std::string device, point;
      fields >> device >> point;
      if (point.rfind(tmp.path, 0) == 0 || (media_mounted && point.rfind("/media", 0) == 0)) {
        mounts.push_back(point);
      }
    }
    std::sort(mounts.begin(), mounts.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const std::string &point : mounts) umount2(point.c_str(), MNT_DETACH);
    // Only loop devices backed by this test's own images.
    for (const std::string &image : images) {
      std::istringstream attached(shell("losetup -j " + image));
      for (std::string line; std::getline(attached, line);) {
        std::string loop = line.substr(0, line.find(':'));
        if (loop.rfind("/dev/loop", 0) == 0) shell("losetup -d " + loop);
      }
    }
    storage_test::TearDown();
  }

  // A sparse image file; its loop devices are detached when the test ends.
  std::string image(const std::string &name, uint64_t size) {
    std::string path = tmp / name;
    std::ofstream(path).close();
    fs::resize_file(path, size);
    images.push_back(path);
    return path;
  }
  // A pattern over [from, to) of an image, and whether it is still there.
  static std::string pattern(uint64_t size) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; i++) bytes[i] = static_cast<char>(0xa5 ^ (i * 7));
    return bytes;
  }
  static void fill(const std::string &path, uint64_t from, uint64_t to) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(from));
    f << pattern(to - from);
  }
  static bool unchanged(const std::string &path, uint64_t from, uint64_t to) {
    return read_text(path).substr(from, to - from) == pattern(to - from);
  }
  // Copies a byte range out of an image, for tools that read whole files.
  std::string extract(const std::string &path, uint64_t offset, uint64_t size) {
    std::string part = path + ".part";
    shell("dd if=" + path + " of=" + part + " bs=1M skip=" + std::to_string(offset / MiB) +
          " count=" + std::to_string(size / MiB) + " status=none");
    return part;
  }
  // The header fields of an ext4 filesystem as dumpe2fs shows them.
  static std::map<std::string, std::string> ext4_header(const std::string &file) {
    std::map<std::string, std::string> fields;
    std::istringstream out(shell("dumpe2fs -h " + file + " 2>/dev/null"));
    for (std::string line; std::getline(out, line);) {
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      size_t value = line.find_first_not_of(' ', colon + 1);
      fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
  }

  bool in_namespace = false;
  bool media_mounted = false;
  std::vector<std::string> images;
};

TEST_F(LoopDevices, Ext4IsMadeInsideThePartitionWithExactlyTheListedFeatures) {
  // 32 MiB and 512 KiB at 4 MiB: the size is truncated to whole MiB.
  const uint64_t offset = 4 * MiB, size = 32 * MiB + 512 * 1024, end = 40 * MiB;
  std::string disk = image("disk.img", end);
  fill(disk, 0, offset);
  fill(disk, offset + size, end);
  const mmc_partitions_fmt table = make_table({{"KV_STORAGE", size, offset, 4}});
  CaptureStdout();
  EXPECT_EQ(format_ext4_partition(&table, "KV_STORAGE", disk.c_str()), 0);
  std::string printed = GetCapturedStdout();
  EXPECT_TRUE(contains(printed, "\nStarting to format the new 'KV_STORAGE' partition...\n"));

  EXPECT_TRUE(unchanged(disk, 0, offset) && unchanged(disk, offset + size, end));
  std::string part = extract(disk, offset, 32 * MiB);
  auto header = ext4_header(part);
  std::set<std::string> features, expected;
  std::istringstream shown(header["Filesystem features"]);
  for (std::string f; shown >> f;) features.insert(f);
  std::istringstream listed(std::string(ext4_features).substr(strlen("none,")));
  for (std::string f; std::getline(listed, f, ',');) expected.insert(f);
  EXPECT_EQ(features, expected);
  EXPECT_EQ(header["Filesystem volume name"], "KV_STORAGE");
  EXPECT_EQ(header["Reserved block count"], "0");
  EXPECT_EQ(std::stoull("0" + header["Block count"]) * std::stoull("0" + header["Block size"]),
            32 * MiB);
  int status = -1;
  shell("e2fsck -fn " + part + " 2>&1", &status);
  EXPECT_EQ(status, 0);
}

TEST_F(LoopDevices, UnmountDeviceWithDeletionRemovesTheMountedPartitions) {
  std::string disk = image("disk.img", 32 * MiB);
  int status = -1;
  shell("parted -s " + disk + " mklabel msdos mkpart primary ext4 1MiB 12MiB" +
            " mkpart primary ext4 12MiB 30MiB 2>&1",
        &status);
  ASSERT_EQ(status, 0);
  std::string loop = shell("losetup --find --show " + disk);
  loop = loop.substr(0, loop.find('\n'));
  ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
  shell("partx -a " + loop + " 2>&1");
  ASSERT_TRUE(fs::exists(loop + "p2"));
  // ext4 on both: this kernel may have no vfat.
  shell("mke2fs -q -F " + loop + "p1 2>&1; mke2fs -q -F " + loop + "p2 2>&1");
  for (const char *n : {"1", "2"}) {
    std::string folder = tmp / (std::string("part") + n);
    fs::create_directories(folder);
    ASSERT_EQ(mount((loop + "p" + n).c_str(), folder.c_str(), "ext4", 0, nullptr), 0)
        << strerror(errno);
  }
  // A mount of the whole disk tells no partition: the deletion stops before
  // anything is done.
  std::string other = tmp / "other";
  fs::create_directories(other);
  ASSERT_EQ(mount(loop.c_str(), other.c_str(), "tmpfs", 0, nullptr), 0);
  std::string device = loop.substr(strlen("/dev/"));
  CaptureStdout();
  EXPECT_EQ(unmount_device(device.c_str(), 1), -1);
  std::string refused = GetCapturedStdout();
  EXPECT_TRUE(contains(refused, "Mount '" + other + "' is not one partition 1 to 9 of '" + device +
                                    "' (it shows '" + loop + "')!\n"));
  EXPECT_TRUE(fs::exists(tmp / "part1/lost+found"));
  EXPECT_TRUE(fs::exists(tmp / "part2/lost+found"));
  ASSERT_EQ(umount(other.c_str()), 0);

  // Another disk whose name begins with this one's is left alone.
  ASSERT_EQ(mount((loop + "0").c_str(), other.c_str(), "tmpfs", 0, nullptr), 0);
  CaptureStdout();
  EXPECT_EQ(unmount_device(device.c_str(), 1), 0);
  std::string printed = GetCapturedStdout();
  EXPECT_EQ(umount(other.c_str()), 0) << printed;
  EXPECT_FALSE(fs::exists(tmp / "part1")) << printed;
  EXPECT_FALSE(fs::exists(tmp / "part2"));
  EXPECT_FALSE(contains(read_text("/proc/self/mounts"), loop));
  // parted's machine-readable listing: no partition lines are left.
  std::string listing = shell("parted -s -m " + disk + " print 2>/dev/null");
  EXPECT_FALSE(contains(listing, "\n1:"));
  EXPECT_FALSE(contains(listing, "\n2:"));
}

// The temporary eMMC folders are changed only while this run's own mount is
// there, and unmounting them releases their loop devices.
TEST_F(LoopDevices, CopyToEmmcWritesOnlyIntoItsOwnMounts) {
  // The fixed mount points live on a tmpfs that only this namespace sees.
  ASSERT_EQ(mount("kvemmc-test-media", "/media", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
  media_mounted = true;
  const std::string disk = image("emmc.img", 96 * MiB);
  const mmc_partitions_fmt table =
      make_table({{"KV_FLASH", 32 * MiB, 16 * MiB, 4}, {"KV_STORAGE", 32 * MiB, 56 * MiB, 4}});
  make_tree(tmp / "flash");
  CaptureStdout();
  int failed = 0;
  for (const char *name : {"KV_FLASH", "KV_STORAGE"}) {
    failed |= format_ext4_partition(&table, name, disk.c_str());
  }
  failed |= loop_mount_partition(&table, "KV_FLASH", "/media/KV_FLASH", disk.c_str());
  failed |= loop_mount_partition(&table, "KV_STORAGE", "/media/KV_STORAGE", disk.c_str());
  failed |= copy_to_emmc((tmp / "flash").c_str(), nullptr);
  failed |= unmount_temp_folders();
  std::string printed = GetCapturedStdout();
  ASSERT_EQ(failed, 0) << printed;
  EXPECT_EQ(shell("losetup -j " + disk), "");

  // The folders left behind are the boot media's own: nothing goes there.
  write_text("/media/KV_FLASH/boot-media-file", "mine");
  fs::create_directories("/media/KV_STORAGE/kestrova_storage");
  CaptureStdout();
  const int results[] = {copy_to_emmc((tmp / "flash").c_str(), nullptr),
                         clear_folder("/media/KV_FLASH"),
                         remove_folder("/media/KV_STORAGE/kestrova_storage")};
  printed = GetCapturedStdout();
  for (int result : results) EXPECT_EQ(result, -1) << printed;
  EXPECT_TRUE(contains(printed,
                       "Refusing to change '/media/KV_FLASH': it is not the eMMC partition this "
                       "run mounted there!\n"));
  EXPECT_EQ(read_text("/media/KV_FLASH/boot-media-file"), "mine");
  EXPECT_TRUE(fs::is_directory("/media/KV_STORAGE/kestrova_storage"));
}

// The free device that "losetup --find" names may be taken before the
// attach: the search goes again. An attach that fails on a device that is
// free (taken and let go meanwhile, or a real failure) is tried once more.
TEST_F(LoopDevices, AFreeDeviceTakenBeforeTheAttachIsSearchedAgain) {
  const std::string disk = image("disk.img", 8 * MiB);
  const std::string other = image("other.img", 1 * MiB);
  std::string busy = shell("losetup --find --show " + other);
  busy.erase(busy.find_last_not_of('\n') + 1);
  ASSERT_EQ(busy.rfind("/dev/loop", 0), 0u) << busy;
  std::string real = shell("command -v losetup");
  real.erase(real.find_last_not_of('\n') + 1);
  // The first search names the busy device; the rest is the real tool.
  stand_in("losetup", "if [ \"$1\" = --find ] && [ ! -e " + (tmp / "named") +
                          " ]; then touch " + (tmp / "named") + "; echo " + busy +
                          "; exit 0; fi\nexec " + real + " \"$@\"");
  CaptureStdout();
  int result = -1;
  std::string taken;
  {
    loop_device loop;
    result = attach_loop(loop, disk.c_str(), 0, 4 * MiB, true);
    taken = loop.name;
  }
  std::string printed = GetCapturedStdout();
  EXPECT_EQ(result, 0) << printed;
  EXPECT_NE(taken, busy);
  EXPECT_TRUE(contains(printed, "Loop device '" + busy + "' was taken meanwhile")) << printed;
  EXPECT_EQ(shell("losetup -j " + disk), "");

  // A free device whose attach fails: one try more, and the failure stands.
  stand_in("losetup", "[ \"$1\" = --find ] && exec " + real + " \"$@\"\necho tried >> " +
                          (tmp / "tries") + "\nexit 1");
  CaptureStdout();
  {
    loop_device loop;
    result = attach_loop(loop, disk.c_str(), 0, 4 * MiB, true);
  }
  printed = GetCapturedStdout();
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(contains(printed, "taken meanwhile")) << printed;
  EXPECT_EQ(read_text(tmp / "tries"), "tried\ntried\n") << printed;
}

// The kernel's device of a partition keeps a page cache of its own at the
// partition's offset. Flushed, a page written there is on the disk before
// the whole device rewrites those bytes (for another partition), nothing of
// it is written back over them later, and no stale page is read. A device
// that backs a loop device is in use.
TEST_F(LoopDevices, APartitionDeviceIsFlushedBeforeTheLayoutChangesUnderIt) {
  const std::string disk = image("emmc.img", 4 * MiB);
  auto attach = [](const std::string &arguments) {
    std::string loop = shell("losetup --find --show " + arguments);
    return loop.substr(0, loop.find('\n'));
  };
  const std::string whole = attach(disk);
  const std::string env = attach("--offset 1048576 --sizelimit 1048576 " + disk);
  ASSERT_EQ(env.rfind("/dev/loop", 0), 0u) << env;
  const std::string folder = tmp / "dev";
  fs::create_directories(folder);
  fs::create_symlink(env, folder + "/env");
  const mmc_partitions_fmt table = make_table({{"env", MiB, MiB, 0}});
  const std::string old_page(4096, 'e'), new_page(4096, 'm');

  const int env_fd = open(env.c_str(), O_RDWR);
  ASSERT_EQ(pwrite(env_fd, old_page.data(), 4096, 0), 4096);  // dirty in env's cache
  // env moves in the new layout (one that keeps it in place flushes nothing).
  const mmc_partitions_fmt moved = make_table({{"env", 2 * MiB, MiB, 0}});
  EXPECT_EQ(flush_partition_devices(&table, &moved, folder.c_str()), 0);
  const int whole_fd = open(whole.c_str(), O_RDWR);
  EXPECT_EQ(pwrite(whole_fd, new_page.data(), 4096, MiB), 4096);
  EXPECT_EQ(fsync(whole_fd), 0);
  close(whole_fd);
  std::string seen(4096, '\0');
  EXPECT_EQ(pread(env_fd, seen.data(), 4096, 0), 4096);
  close(env_fd);  // the last close writes back what is still dirty
  EXPECT_TRUE(seen == new_page) << "a stale page was read through the partition device";
  EXPECT_TRUE(read_text(disk).substr(MiB, 4096) == new_page) << "its old page was written back";

  const std::string above = attach(env);
  CaptureStdout();
  const int result = check_partition_devices_free(&table, folder.c_str());
  const std::string printed = GetCapturedStdout();
  shell("losetup -d " + above);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(printed, "'" + folder + "/env', the kernel's device of the eMMC partition 'env', is "
                     "the backing file of '" + above + "': detach it before the eMMC's layout "
                     "changes!\n");
}

}  // namespace
