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
#include "storage_test_support.h"
#include "table_builder.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using namespace storage_test;

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
  // An image of `end` bytes whose bytes outside the partition carry a pattern.
  std::string patterned_image(uint64_t offset, uint64_t size, uint64_t end) {
    std::string path = image("disk.img", end);
    fill(path, 0, offset);
    fill(path, offset + size, end);
    return path;
  }
  static bool outside_unchanged(const std::string &path, uint64_t offset, uint64_t size,
                                uint64_t end) {
    return unchanged(path, 0, offset) && unchanged(path, offset + size, end);
  }
  static void fill(const std::string &path, uint64_t from, uint64_t to) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(from));
    std::string block(to - from, '\0');
    for (uint64_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(0xa5 ^ (i * 7));
    f.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  static bool unchanged(const std::string &path, uint64_t from, uint64_t to) {
    std::string bytes = read_text(path).substr(from, to - from);
    for (uint64_t i = 0; i < bytes.size(); i++) {
      if (bytes[i] != static_cast<char>(0xa5 ^ (i * 7))) return false;
    }
    return true;
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
  static uint64_t ext4_bytes(const std::string &file) {
    auto h = ext4_header(file);
    return std::stoull("0" + h["Block count"]) * std::stoull("0" + h["Block size"]);
  }
  // An ext4 filesystem of `size` bytes at `offset`, made by mke2fs itself.
  static void make_ext4(const std::string &path, uint64_t offset, uint64_t size,
                        const std::string &content) {
    int status = -1;
    shell("mke2fs -q -F -t ext4 -O " + std::string(ext4_features) + " -d " + content +
              " -E offset=" + std::to_string(offset) + " " + path + " " +
              std::to_string(size / MiB) + "m 2>&1",
          &status);
    ASSERT_EQ(status, 0);
  }

  bool in_namespace = false;
  bool media_mounted = false;
  std::vector<std::string> images;
};

TEST_F(LoopDevices, LoopMountShowsTheFilesystemAtTheTableOffset) {
  fs::create_directories(tmp / "content");
  write_text(tmp / "content/marker", "found at the offset");
  std::string disk = image("disk.img", 40 * MiB);
  make_ext4(disk, 8 * MiB, 16 * MiB, tmp / "content");
  const mmc_partitions_fmt table = make_table({{"KV_STORAGE", 16 * MiB, 8 * MiB, 4}});
  std::string folder = tmp / "media/KV_STORAGE";
  CaptureStdout();
  EXPECT_EQ(loop_mount_partition(&table, "KV_STORAGE", folder.c_str(), disk.c_str()), 0);
  EXPECT_EQ(is_mounted(folder.c_str()), 1);
  EXPECT_EQ(unmount_path(folder.c_str()), 0);
  EXPECT_EQ(is_mounted(folder.c_str()), 0);
  EXPECT_EQ(loop_mount_partition(&table, "KV_STORAGE", folder.c_str(), disk.c_str()), 0);
  GetCapturedStdout();
  EXPECT_EQ(read_text(folder + "/marker"), "found at the offset");
  EXPECT_TRUE(contains(read_text("/proc/self/mounts"), " " + folder + " ext4 rw"));
}

TEST_F(LoopDevices, Ext4IsMadeInsideThePartitionWithExactlyTheListedFeatures) {
  // 32 MiB and 512 KiB at 4 MiB: the size is truncated to whole MiB.
  const uint64_t offset = 4 * MiB, size = 32 * MiB + 512 * 1024, end = 40 * MiB;
  std::string disk = patterned_image(offset, size, end);
  const mmc_partitions_fmt table = make_table({{"KV_STORAGE", size, offset, 4}});
  CaptureStdout();
  EXPECT_EQ(format_ext4_partition(&table, "KV_STORAGE", disk.c_str()), 0);
  std::string printed = GetCapturedStdout();
  EXPECT_TRUE(contains(printed, "\nStarting to format the new 'KV_STORAGE' partition...\n"));

  EXPECT_TRUE(outside_unchanged(disk, offset, size, end));
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
  EXPECT_EQ(ext4_bytes(part), 32 * MiB);
  int status = -1;
  shell("e2fsck -fn " + part + " 2>&1", &status);
  EXPECT_EQ(status, 0);
}

TEST_F(LoopDevices, VfatIsMadeInsideThePartitionThroughALoopDevice) {
  const uint64_t offset = 4 * MiB, size = 16 * MiB, end = 24 * MiB;
  std::string disk = patterned_image(offset, size, end);
  const mmc_partitions_fmt table = make_table({{"KV_FLASH", size, offset, 1}});
  CaptureStdout();
  EXPECT_EQ(format_vfat_partition(&table, "KV_FLASH", disk.c_str()), 0);
  GetCapturedStdout();

  EXPECT_TRUE(outside_unchanged(disk, offset, size, end));
  std::string part = extract(disk, offset, size);
  std::string found = shell("blkid -p -o export " + part);
  EXPECT_TRUE(contains(found, "TYPE=vfat\n"));
  EXPECT_TRUE(contains(found, "LABEL=KV_FLASH\n"));
  int status = -1;
  shell("fsck.vfat -n " + part + " 2>&1", &status);
  EXPECT_EQ(status, 0);
  // Boot sector: bytes per sector times total sectors (16- or 32-bit field).
  std::string boot = read_text(part).substr(0, 512);
  auto le = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(boot[at + i]);
    return v;
  };
  uint64_t sectors = le(0x13, 2) != 0 ? le(0x13, 2) : le(0x20, 4);
  EXPECT_EQ(le(0x0b, 2) * sectors, size);
}

TEST_F(LoopDevices, CheckAndResizeGrowsAndShrinksToThePartitionAndRepairs) {
  fs::create_directories(tmp / "content");
  write_text(tmp / "content/marker", "kept");
  const uint64_t offset = 8 * MiB;
  std::string disk = image("disk.img", 48 * MiB);
  make_ext4(disk, offset, 16 * MiB, tmp / "content");

  for (uint64_t size : {32 * MiB, 24 * MiB}) {
    const mmc_partitions_fmt table = make_table({{"data", size, offset, 4}});
    CaptureStdout();
    EXPECT_EQ(check_and_resize(&table, "data", disk.c_str()), 0) << size;
    GetCapturedStdout();
    std::string part = extract(disk, offset, size);
    EXPECT_EQ(ext4_bytes(part), size);
    EXPECT_EQ(shell("debugfs -R 'cat /marker' " + part + " 2>/dev/null"), "kept");
  }

  // A wrong free-inode count in the superblock: e2fsck corrects it (exit
  // code 1) and the resize goes on.
  std::fstream f(disk, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset + 1024 + 0x10));
  f.write("\5\0\0\0", 4);
  f.close();
  const mmc_partitions_fmt table = make_table({{"data", 20 * MiB, offset, 4}});
  CaptureStdout();
  EXPECT_EQ(check_and_resize(&table, "data", disk.c_str()), 0);
  std::string printed = GetCapturedStdout();
  EXPECT_TRUE(contains(printed, "`. Error: 1\ne2fsck: File system errors corrected\n"));
  EXPECT_EQ(ext4_bytes(extract(disk, offset, 20 * MiB)), 20 * MiB);
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
  // A mount whose line holds the disk's name but is none of its partitions
  // stops the deletion before anything is done.
  std::string other = tmp / "other";
  fs::create_directories(other);
  ASSERT_EQ(mount(("kv" + loop + "x").c_str(), other.c_str(), "tmpfs", 0, nullptr), 0);
  std::string device = loop.substr(strlen("/dev/"));
  CaptureStdout();
  EXPECT_EQ(unmount_device(device.c_str(), 1), -1);
  std::string refused = GetCapturedStdout();
  EXPECT_TRUE(contains(refused, "Mount '" + other + "' is not one partition 1 to 9 of '" + device +
                                    "' (it shows 'kv" + loop + "x')!\n"));
  EXPECT_TRUE(fs::exists(tmp / "part1/lost+found"));
  EXPECT_TRUE(fs::exists(tmp / "part2/lost+found"));
  ASSERT_EQ(umount(other.c_str()), 0);

  CaptureStdout();
  EXPECT_EQ(unmount_device(device.c_str(), 1), 0);
  std::string printed = GetCapturedStdout();
  EXPECT_FALSE(fs::exists(tmp / "part1")) << printed;
  EXPECT_FALSE(fs::exists(tmp / "part2"));
  EXPECT_FALSE(contains(read_text("/proc/self/mounts"), loop));
  // parted's machine-readable listing: no partition lines are left.
  std::string listing = shell("parted -s -m " + disk + " print 2>/dev/null");
  EXPECT_FALSE(contains(listing, "\n1:"));
  EXPECT_FALSE(contains(listing, "\n2:"));
}

TEST_F(LoopDevices, CopyToEmmcReplacesTheTwoTargetsOfItsOwnMountsExactly) {
  // The fixed mount points live on a tmpfs that only this namespace sees.
  ASSERT_EQ(mount("kvemmc-test-media", "/media", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
  media_mounted = true;
  const std::string disk = image("emmc.img", 96 * MiB);
  const mmc_partitions_fmt table =
      make_table({{"KV_FLASH", 32 * MiB, 16 * MiB, 4}, {"KV_STORAGE", 32 * MiB, 56 * MiB, 4}});
  CaptureStdout();
  int failed = 0;
  for (const char *name : {"KV_FLASH", "KV_STORAGE"}) {
    failed |= format_ext4_partition(&table, name, disk.c_str());
  }
  failed |= loop_mount_partition(&table, "KV_FLASH", "/media/KV_FLASH", disk.c_str());
  failed |= loop_mount_partition(&table, "KV_STORAGE", "/media/KV_STORAGE", disk.c_str());
  std::string made = GetCapturedStdout();
  ASSERT_EQ(failed, 0) << made;
  make_tree(tmp / "flash");
  make_tree(tmp / "storage");
  write_text(tmp / "storage/only-in-storage", "s");
  fs::remove_all("/media/KV_FLASH/lost+found");
  fs::create_directories("/media/KV_FLASH/.old");
  write_text("/media/KV_FLASH/.stale", "stale");
  fs::create_directories("/media/KV_STORAGE/kestrova_storage/old");
  write_text("/media/KV_STORAGE/beside", "stays");

  CaptureStdout();
  int copied = copy_to_emmc((tmp / "flash").c_str(), (tmp / "storage").c_str());
  std::string printed = GetCapturedStdout();
  EXPECT_EQ(copied, 0) << printed;
  EXPECT_TRUE(contains(printed,
                       "\nStarting copying of data to the eMMC!\nPlease do \e[1mNOT\e[0m "
                       "interrupt this progress till it's finished!\n\n"));
  EXPECT_EQ(tree_differences(tmp / "flash", "/media/KV_FLASH"), "");
  EXPECT_EQ(tree_differences(tmp / "storage", "/media/KV_STORAGE/kestrova_storage"), "");
  EXPECT_EQ(read_text("/media/KV_STORAGE/beside"), "stays");

  // No flash source: "/media/KV_FLASH" stays as it is.
  fs::remove(tmp / "storage/only-in-storage");
  write_text("/media/KV_FLASH/added", "kept");
  CaptureStdout();
  EXPECT_EQ(copy_to_emmc(nullptr, (tmp / "storage").c_str()), 0);
  GetCapturedStdout();
  EXPECT_EQ(read_text("/media/KV_FLASH/added"), "kept");
  EXPECT_EQ(tree_differences(tmp / "storage", "/media/KV_STORAGE/kestrova_storage"), "");

  // Unmounting releases both loop devices; a folder that is no longer this
  // run's mount is neither emptied nor copied into.
  CaptureStdout();
  EXPECT_EQ(unmount_temp_folders(), 0);
  GetCapturedStdout();
  EXPECT_EQ(shell("losetup -j " + disk), "");
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

}  // namespace

// The dual-boot plan measures the Android data filesystem through a loop
// device at KV_STORAGE's offset and refuses when that filesystem cannot give
// up KV_FLASH's size.
TEST_F(LoopDevices, DualBootPlanMeasuresTheDataFilesystemAndNeedsRoomForFlash) {
  ASSERT_EQ(mount("kvemmc-test-media", "/media", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
  media_mounted = true;
  struct restore_flash_size {
    ~restore_flash_size() { flash_partition_size = default_flash_partition_size; }
  } restore;
  flash_partition_size = 48 * MiB;
  const mmc_partitions_fmt old = make_table({{"bootloader", 4 * MiB, 0, 0},
                                             {"reserved", 64 * MiB, 36 * MiB, 0},
                                             {"data", 96 * MiB, 108 * MiB, 4}});
  const std::string disk = image("disk.img", 204 * MiB);
  for (uint64_t content_mib : {8, 60}) {
    fs::remove_all(tmp / "android");
    fs::create_directories(tmp / "android");
    std::string random = shell("head -c " + std::to_string(content_mib * MiB) +
                               " /dev/urandom > " + (tmp / "android/media") + " && echo ok");
    ASSERT_EQ(random, "ok\n");
    make_ext4(disk, 108 * MiB, 96 * MiB, tmp / "android");
    mmc_partitions_fmt planned{};
    uint64_t flash_room = 0, storage_room = 1;
    CaptureStdout();
    int result = plan_partition_table(install_mode_dual_boot, 0, &old, &planned, nullptr,
                                      &flash_room, &storage_room, 204 * MiB, disk.c_str());
    std::string output = GetCapturedStdout();
    EXPECT_TRUE(contains(output, "Free space of 'partition KV_FLASH': 48MB\n"));
    EXPECT_TRUE(contains(output, "Free space of 'partition KV_STORAGE': "));
    EXPECT_EQ(shell("grep -c /media/ /proc/self/mounts"), "0\n");
    if (content_mib == 8) {
      EXPECT_EQ(result, 0) << output;
      // What is left of the filesystem's free space once it gives 48 MiB.
      EXPECT_GT(storage_room, 20 * MiB);
      EXPECT_LT(storage_room, 96 * MiB - 8 * MiB - 48 * MiB);
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(storage_room, 0u);
      EXPECT_TRUE(contains(output, "MB that 'KV_FLASH' takes from it!\n"
                                   "Failed to create partition table for dual boot installation!\n"));
    }
  }
}

// The relocation on a block device (its size from the device itself): a
// partition moves down over its own old place, and nothing else changes.
TEST_F(LoopDevices, RelocationMovesAPartitionOnABlockDevice) {
  const uint64_t end = 160 * MiB;
  const uint64_t old_offset = 64 * MiB, new_offset = 44 * MiB, size = 40 * MiB;
  const std::string disk = patterned_image(0, 0, end);
  std::string loop = shell("losetup --find --show " + disk);
  ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
  loop.pop_back();
  const mmc_partitions_fmt old = make_table({{"bootloader", 4 * MiB, 0, 0},
                                             {"reserved", 16 * MiB, 8 * MiB, 0},
                                             {"cache", size, old_offset, 2}});
  const mmc_partitions_fmt moved = make_table({{"bootloader", 4 * MiB, 0, 0},
                                               {"reserved", 16 * MiB, 8 * MiB, 0},
                                               {"cache", size, new_offset, 2},
                                               {"KV_FLASH", 8 * MiB, 92 * MiB, 4}});
  const std::string before = read_text(disk);
  CaptureStdout();
  EXPECT_EQ(check_partition_moves(1, &old, &moved, loop.c_str()), 0);
  EXPECT_EQ(move_partitions(1, &old, &moved, loop.c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(),
            "\nMoving partition 'cache' from offset 0x000004000000, size 40MB to offset "
            "0x000002c00000, please wait...\n");
  const std::string after = read_text(disk);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(after.compare(new_offset, size, before, old_offset, size) == 0);
  EXPECT_TRUE(after.compare(0, new_offset, before, 0, new_offset) == 0);
  EXPECT_TRUE(after.compare(new_offset + size, end - new_offset - size, before, new_offset + size,
                            end - new_offset - size) == 0);
  // A plan that does not fit the device is refused before anything is written.
  const mmc_partitions_fmt too_far = make_table({{"bootloader", 4 * MiB, 0, 0},
                                                 {"reserved", 16 * MiB, 8 * MiB, 0},
                                                 {"cache", size, end - size + 1, 2}});
  CaptureStdout();
  EXPECT_EQ(move_partitions(1, &old, &too_far, loop.c_str()), -1);
  EXPECT_TRUE(contains(GetCapturedStdout(), "lies outside '" + loop + "'"));
  EXPECT_TRUE(read_text(disk) == after);
}
