// Storage tools without root: the command runner, the refusals, the exact
// command lines given to the disk tools (through stand-ins), space
// measurement and folder copies.
#include "storage.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "storage_test_support.h"
#include "table_builder.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using namespace storage_support;

class CommandRunner : public storage_test {};

TEST_F(CommandRunner, KeepsTheFirst10240BytesEchoesAllAndRespectsTheCapacity) {
  // 100000 bytes: far more than a pipe holds, so a runner that stopped
  // reading would hang here.
  const char *command = "head -c 99996 /dev/zero | tr '\\0' x; printf '1\\r2\\n'";
  char *echoed = nullptr;
  size_t echoed_size = 0;
  FILE *echo = open_memstream(&echoed, &echoed_size);
  ASSERT_NE(echo, nullptr);
  std::string output(20000, '\1');
  EXPECT_EQ(run_command(command, output.data(), output.size(), echo), 0);
  fclose(echo);
  EXPECT_EQ(std::string(echoed, echoed_size), std::string(99996, 'x') + "1\r2\n");
  free(echoed);
  EXPECT_EQ(strlen(output.c_str()), 10240u);

  char small[17];
  memset(small, '\1', sizeof(small));
  EXPECT_EQ(run_command(command, small, 16), 0);
  EXPECT_EQ(std::string(small), std::string(15, 'x'));
  EXPECT_EQ(small[16], '\1');  // nothing written past the capacity

  // An echo whose reader has gone (the "tee" of a dropped ssh session):
  // said once, and the command runs to its end, ignoring SIGPIPE and SIGHUP
  // as the run does.
  keep_running_without_console();
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  FILE *gone = fdopen(ends[1], "w");
  ASSERT_NE(gone, nullptr);
  CaptureStderr();
  char ignored[64] = {};
  EXPECT_EQ(run_command("echo lost; awk '/^SigIgn/ {print $2}' /proc/self/status", ignored,
                        sizeof(ignored), gone),
            0);
  EXPECT_EQ(run_command("echo lost again", nullptr, 0, gone), 0);
  const std::string warned = GetCapturedStderr();
  fclose(gone);
  const char *mask = strchr(ignored, '\n');
  ASSERT_NE(mask, nullptr) << ignored;
  EXPECT_EQ(strtoull(mask + 1, nullptr, 16) & 0x1001, 0x1001u) << ignored;  // PIPE, HUP
  const std::string warning = "Warning: the output of kvemmc cannot be written";
  EXPECT_TRUE(contains(warned, warning));
  EXPECT_EQ(warned.find(warning), warned.rfind(warning)) << warned;
}

TEST_F(CommandRunner, TurnsExitCodesAndSignalsIntoNegativeResults) {
  CaptureStdout();
  EXPECT_EQ(run_command("false"), -1);
  char output[16] = {};
  EXPECT_EQ(run_command("echo said; exit 3", output, sizeof(output)), -3);
  command_outcome outcome;
  int killed = run_command_outcome("kill -9 $$", nullptr, 0, nullptr, &outcome);
  std::string printed = GetCapturedStdout();
  EXPECT_STREQ(output, "said");  // a failing command still delivers its output
  EXPECT_TRUE(contains(printed, "Error running pclose on cmd: `false`. Error: 1\n"));
  EXPECT_TRUE(contains(printed, "Error running pclose on cmd: `echo said; exit 3`. Error: 3\n"));
  // A command cut short by a signal did not do its work.
  EXPECT_EQ(killed, -(128 + 9));
  EXPECT_EQ(outcome.completed, 1);
  EXPECT_EQ(outcome.signal, 9);
}

// Mount points and sources are compared whole, with the kernel's escapes
// decoded: a longer name that begins with the one asked for is another mount.
class MountTable : public storage_test {};

TEST_F(MountTable, FieldsAreComparedWhole) {
  struct row {
    const char *line, *folder;
    const char *source;  // of the mount on the folder; "": none
    bool below;          // a mount on the folder or inside it
    const char *device;
    int partition;       // partition_of(device, source)
  };
  const row rows[] = {
      {"36 25 8:1 / /media/My\\040Disk rw shared:1 - vfat /dev/sda1 rw", "/media/My Disk",
       "/dev/sda1", true, "sda", 1},
      {"37 25 7:3 / /media/KV_FLASH2 rw - tmpfs /dev/loop3 rw", "/media/KV_FLASH", "", false,
       "loop3", -1},
      {"38 25 8:17 / /media/X rw - ext4 /dev/sdaa1 rw", "/media/X", "/dev/sdaa1", true, "sda", -1},
      {"39 25 179:9 / /media/Y rw - ext4 /dev/mmcblk10p1 rw", "/media/Y", "/dev/mmcblk10p1", true,
       "mmcblk1", -1},
      {"40 25 179:2 / /media/Y rw - ext4 /dev/mmcblk1p2 rw", "/media/Y", "/dev/mmcblk1p2", true,
       "mmcblk1", 2},
      {"41 25 7:5 /kestrova_storage /storage rw master:3 - ext4 /dev/loop5 rw", "/storage",
       "/dev/loop5", true, "loop5", 0},
      {"42 25 0:4 / /media/KV_STORAGE/x rw - tmpfs tmpfs rw", "/media/KV_STORAGE", "", true, "sda", -1},
      {"43 25 0:4 / /media/a\\134b rw - tmpfs s\\011t rw", "/media/a\\b", "s\tt", true, "sda",
       -1},
  };
  const std::string path = tmp / "mountinfo";
  for (const row &r : rows) {
    write_text(path, std::string("30 1 8:2 / / rw - ext4 /dev/sda2 rw\n") + r.line + "\n");
    folder_mounts found;
    ASSERT_EQ(look_up_mounts(path.c_str(), r.folder, &found), 0) << r.line;
    EXPECT_STREQ(found.source, r.source) << r.line;
    EXPECT_EQ(found.on, r.source[0] != '\0') << r.line;
    EXPECT_EQ(found.at_or_below, r.below) << r.line;
    EXPECT_EQ(partition_of(r.device, found.source), r.partition) << r.line;
  }
}

class Refusals : public storage_test {
 protected:
  // Every tool that the functions could start logs and does nothing.
  void SetUp() override {
    storage_test::SetUp();
    for (const char *tool : {"losetup", "mke2fs", "mkfs.vfat", "e2fsck", "resize2fs", "mount",
                             "umount", "mkdir", "rm", "rsync", "parted", "reboot"}) {
      stand_in(tool);
    }
  }
};

TEST_F(Refusals, UnsafeNamesFromATableRunNothing) {
  const mmc_partitions_fmt table = make_table({{"a;reboot", 0x1000000, 0x1000000, 4},
                                               {"$(reboot)", 0x1000000, 0x2000000, 4},
                                               {"-rf", 0x1000000, 0x3000000, 4}});
  CaptureStdout();
  for (const char *name : {"a;reboot", "$(reboot)", "-rf"}) {
    EXPECT_EQ(loop_mount_partition(&table, name, tmp.path.c_str()), -1) << name;
    EXPECT_EQ(format_ext4_partition(&table, name), -1) << name;
    EXPECT_EQ(format_vfat_partition(&table, name), -1) << name;
    EXPECT_EQ(check_and_resize(&table, name), -1) << name;
  }
  EXPECT_EQ(format_ext4("KV\"STORAGE", "/dev/sda2", ext4_features, 0, 0), -1);
  EXPECT_EQ(format_ext4("STORAGE", "/dev/sda2", "has_journal;reboot", 0, 0), -1);
  EXPECT_EQ(format_vfat("`reboot`", "/dev/sda1"), -1);
  EXPECT_EQ(unmount_device("sda;reboot", 1), -1);
  EXPECT_EQ(unmount_device("../sda", 1), -1);
  std::string odd = tmp / "odd name;reboot";
  fs::create_directories(odd);
  EXPECT_EQ(is_mounted(odd.c_str()), -1);
  EXPECT_EQ(remove_folder(odd.c_str()), -1);
  EXPECT_EQ(copy_folder(odd.c_str(), tmp.path.c_str(), copy_whole_tree), -1);
  // Paths that would name the root, the current folder or a parent.
  fs::create_directories(tmp / "sub");
  EXPECT_EQ(clear_folder((tmp / "sub/..").c_str()), -1);
  EXPECT_EQ(remove_folder("."), -1);
  std::string printed = GetCapturedStdout();
  EXPECT_TRUE(contains(printed, "Unsafe partition name 'a;reboot' refused!"));
  EXPECT_FALSE(fs::exists(log_path())) << tool_log();
  EXPECT_TRUE(fs::exists(odd));
}

TEST_F(Refusals, MissingFoldersNeedNoCommand) {
  std::string missing = tmp / "missing";
  EXPECT_EQ(is_mounted(missing.c_str()), 0);
  EXPECT_EQ(unmount_path(missing.c_str()), 0);
  EXPECT_EQ(clear_folder(missing.c_str()), 0);
  EXPECT_EQ(remove_folder(nullptr), 0);
  EXPECT_EQ(used_space(missing.c_str(), nullptr, copy_whole_tree), -1);
  EXPECT_FALSE(fs::exists(log_path())) << tool_log();
}

TEST_F(Refusals, CommandLinesThatDoNotFitAreNotRun) {
  // Two long folder names: the clear command holds the path twice and
  // exceeds its 512 bytes.
  std::string deep = tmp / (std::string(200, 'a') + "/" + std::string(200, 'b'));
  fs::create_directories(deep);
  write_text(deep + "/keep", "data");
  CaptureStdout();
  EXPECT_EQ(clear_folder(deep.c_str()), -1);
  char buffer[8];
  EXPECT_EQ(format_command(buffer, sizeof(buffer), "rm -rf %s/", "/media/KV_STORAGE"), -1);
  std::string printed = GetCapturedStdout();
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(contains(printed, "Command line longer than 511 bytes refused"));
  EXPECT_FALSE(fs::exists(log_path())) << tool_log();
  EXPECT_TRUE(fs::exists(deep + "/keep"));
}

TEST_F(Refusals, PartitionsWithoutALocationAreNotFormatted) {
  // Offset 0 or size 0 would make mke2fs or losetup take the whole eMMC.
  const mmc_partitions_fmt table = make_table(
      {{"KV_FLASH", 0x20000000, 0, 1}, {"KV_STORAGE", 0, 0x20000000, 4}, {"data", ~0ull, 8, 4}});
  CaptureStdout();
  EXPECT_EQ(format_vfat_partition(&table, "KV_FLASH"), -1);
  EXPECT_EQ(format_ext4_partition(&table, "KV_STORAGE"), -1);
  EXPECT_EQ(check_and_resize(&table, "data"), -1);
  EXPECT_EQ(loop_mount_partition(&table, "missing", tmp.path.c_str()), -1);
  // A range that cannot be an offset in a file is named whole.
  EXPECT_EQ(format_ext4("KV_STORAGE", "/dev/null", ext4_features, 0x8000000000000000ull,
                        0x3a0000000ull),
            -1);
  std::string printed = GetCapturedStdout();
  EXPECT_TRUE(contains(printed, "Could not find 'missing' partition!\n"));
  EXPECT_TRUE(contains(printed, "Invalid range for 'KV_STORAGE': offset 0x8000000000000000, size "
                                "0x0003a0000000!\n"));
  EXPECT_FALSE(fs::exists(log_path())) << tool_log();
}

class ToolCommands : public storage_test {
 protected:
  void SetUp() override {
    storage_test::SetUp();
    stand_in("losetup", "[ \"$1\" = --find ] && echo /dev/loop7; exit 0");
    for (const char *tool : {"mke2fs", "mkfs.vfat", "resize2fs", "mount", "sync"}) stand_in(tool);
  }
  // 2 GiB plus 512 KiB: not a whole number of MiB.
  const mmc_partitions_fmt table = make_table({{"KV_FLASH", 0x20000000, 0x10000000, 1},
                                               {"KV_STORAGE", 0x40000000, 0x30000000, 4},
                                               {"data", 0x80080000, 0x70000000, 4}});
};

TEST_F(ToolCommands, FormatAndLoopMountGiveTheToolsTheseLines) {
  std::string folder = tmp / "mnt";
  CaptureStdout();
  EXPECT_EQ(format_ext4_partition(&table, "KV_STORAGE"), 0);
  EXPECT_EQ(format_ext4("STORAGE", "/dev/sda2", ext4_features, 0, 0x40000000), 0);
  EXPECT_EQ(format_vfat_partition(&table, "KV_FLASH"), 0);
  EXPECT_EQ(loop_mount_partition(&table, "KV_STORAGE", folder.c_str()), 0);
  // Mounting the folder again releases the loop device of its last mount;
  // a measurement replays no journal.
  EXPECT_EQ(loop_mount_partition_read_only(&table, "KV_STORAGE", folder.c_str()), 0);
  GetCapturedStdout();
  const std::string f = ext4_features, loop = "losetup --find\nlosetup /dev/loop7 /dev/mmcblk0 --offset ";
  EXPECT_EQ(tool_log(),
            "mke2fs -F -L KV_STORAGE -t ext4 -m 0 /dev/mmcblk0 -O " + f + " -E offset=805306368 1024m\n"
            "sync \nmke2fs -F -L STORAGE -t ext4 -m 0 /dev/sda2 -O " + f + "\nsync \n" +
            loop + "268435456 --sizelimit 536870912\nmkfs.vfat -n KV_FLASH /dev/loop7\nsync \n"
            "losetup -d /dev/loop7\n" +
            loop + "805306368\nmount -o rw /dev/loop7 " + folder + "\nlosetup -d /dev/loop7\n" +
            loop + "805306368 --read-only\nmount -o ro,noload /dev/loop7 " + folder + "\n");
  EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(ToolCommands, CheckAndResizeFollowsTheE2fsckExitCode) {
  struct {
    const char *e2fsck;
    int result;
    const char *message;
  } cases[] = {
      {"exit 0", 0, nullptr},
      {"exit 1", 0, "e2fsck: File system errors corrected\n"},
      {"exit 3", 0, "e2fsck: File system errors corrected\n"},
      {"exit 2", -1, "e2fsck: File system errors corrected, system should be rebooted\n"},
      {"exit 4", -1, "e2fsck: Error executing cmd 'e2fsck -fy /dev/loop7' (4)\n"},
      {"kill -9 $$", -1, "e2fsck: Error executing cmd 'e2fsck -fy /dev/loop7' (137)\n"},
  };
  for (const auto &c : cases) {
    fs::remove(log_path());
    stand_in("e2fsck", c.e2fsck);
    CaptureStdout();
    EXPECT_EQ(check_and_resize(&table, "data"), c.result) << c.e2fsck;
    std::string printed = GetCapturedStdout();
    if (c.message) {
      EXPECT_TRUE(contains(printed, c.message)) << c.e2fsck;
    }
    EXPECT_EQ(tool_log(), std::string("losetup --find\nlosetup /dev/loop7 /dev/mmcblk0 --offset 1879048192\n"
                                      "e2fsck -fy /dev/loop7\n") +
                              (c.result == 0 ? "resize2fs /dev/loop7 2048M\n" : "") + "losetup -d /dev/loop7\n")
        << c.e2fsck;
  }
}

class SpaceAndCopy : public storage_test {};

TEST_F(SpaceAndCopy, UsedSpaceIsTheByteTotalAsRsyncCountsIt) {
  make_tree(tmp / "tree");
  uint64_t bytes = 0;
  CaptureStdout();
  EXPECT_EQ(print_used_space("tree", (tmp / "tree").c_str(), &bytes, copy_whole_tree), 0);
  EXPECT_EQ(GetCapturedStdout(), "Used space of 'tree': 1MB\n");
  // Regular files count their size once per name; a symlink the length of
  // its target.
  EXPECT_EQ(bytes, 1999986u + 3 + 4 + 3 + 3);

  CaptureStdout();
  EXPECT_EQ(print_used_space("missing", (tmp / "missing").c_str(), &bytes, copy_whole_tree),
            -1);
  EXPECT_EQ(GetCapturedStdout(), "Failed to get used space of path '" + (tmp / "missing") + "'!\n");

  // The apparent size of a sparse file of 5 GB, whole.
  ASSERT_EQ(shell("mkdir " + (tmp / "big") + " && truncate -s 5000000123 " + (tmp / "big/file") +
                  " && echo ok"),
            "ok\n");
  CaptureStdout();
  EXPECT_EQ(print_used_space("big", (tmp / "big").c_str(), &bytes, copy_whole_tree), 0);
  EXPECT_EQ(GetCapturedStdout(), "Used space of 'big': 5000MB\n");
  EXPECT_EQ(bytes, 5000000123ull);

  // A summary without a number is a failure, and the figure stays.
  for (const char *rsync_says :
       {"echo 'rsync error: some files/attrs were not transferred (code 23)'", "true",
        "echo 'total size is 99999999999999999999999 speedup'"}) {
    stand_in("rsync", rsync_says);
    bytes = 7;
    CaptureStdout();
    EXPECT_EQ(used_space((tmp / "tree").c_str(), &bytes, copy_whole_tree), -1) << rsync_says;
    GetCapturedStdout();
    EXPECT_EQ(bytes, 7u);
  }
}

TEST_F(SpaceAndCopy, VanishedFilesOnlyWarnAndEveryOtherRsyncFailureFails) {
  make_tree(tmp / "source");
  for (int code : {24, 23, 1}) {
    stand_in("rsync", "exit " + std::to_string(code));
    CaptureStdout();
    const int result =
        copy_folder((tmp / "source").c_str(), (tmp / "copy").c_str(), copy_whole_tree);
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(result, code == 24 ? 0 : -1) << code;
    EXPECT_EQ(contains(printed, "Warning: files of '" + (tmp / "source") +
                                    "' vanished while they were copied (rsync exit code 24)!\n"),
              code == 24)
        << printed;
  }
}

// mke2fs gets the partition's whole 64-bit offset: blkid finds the
// filesystem there and nothing at the offset's low 32 bits.
TEST_F(SpaceAndCopy, Ext4IsMadeAtItsFullOffset) {
  const std::string image = tmp / "emmc.img";
  const uint64_t offset = 0x1c0000000ull, size = 16ull << 20;
  ASSERT_EQ(shell("truncate -s " + std::to_string(offset + size) + " " + image + " && echo ok"),
            "ok\n");
  CaptureStdout();
  const int result = format_ext4("KV_STORAGE", image.c_str(), ext4_features, offset, size);
  const std::string printed = GetCapturedStdout();
  ASSERT_EQ(result, 0) << printed;
  EXPECT_EQ(shell("blkid -p -O " + std::to_string(offset) + " -s LABEL -o value " + image),
            "KV_STORAGE\n");
  EXPECT_EQ(shell("blkid -p -O " + std::to_string(offset & 0xffffffffull) +
                  " -s LABEL -o value " + image),
            "");
}

TEST_F(SpaceAndCopy, MirrorReproducesATreeAndDropsWhatWasThere) {
  make_tree(tmp / "source");
  CaptureStdout();
  // Into a folder that does not exist yet, then over a stale copy.
  EXPECT_EQ(mirror_folder((tmp / "source").c_str(), (tmp / "new/copy").c_str(), copy_whole_tree),
            0);
  fs::create_directories(tmp / "old/.stale");
  write_text(tmp / "old/stale", "stale");
  EXPECT_EQ(mirror_folder((tmp / "source").c_str(), (tmp / "old").c_str(), copy_whole_tree), 0);
  // Replacing a folder by something inside it would lose the source.
  EXPECT_EQ(
      mirror_folder((tmp / "source/.hidden").c_str(), (tmp / "source").c_str(), copy_whole_tree),
      -1);
  std::string printed = GetCapturedStdout();
  EXPECT_EQ(tree_differences(tmp / "source", tmp / "new/copy"), "");
  EXPECT_EQ(tree_differences(tmp / "source", tmp / "old"), "");
  EXPECT_TRUE(contains(
      printed, "Copy all data from '" + (tmp / "source") + "' to '" + (tmp / "old") + "'\n"));
  EXPECT_TRUE(fs::exists(tmp / "source/.hidden/.dot"));
}

TEST_F(SpaceAndCopy, TheOwnFolderAtTheRootIsNeitherMeasuredNorCopied) {
  for (const char *folder : {"source/backup/kvemmc", "source/backup/eMMC_backup/backup/kvemmc"}) {
    fs::create_directories(tmp / folder);
    write_text(tmp / (std::string(folder) + "/reserved-1.img"), "12345");
  }
  // A backup's mark at the top stays behind too, whatever the scope.
  write_text(tmp / (std::string("source/") + backup_mark_name), "complete\n");
  uint64_t whole = 0, without = 0;
  CaptureStdout();
  EXPECT_EQ(used_space((tmp / "source").c_str(), &whole, copy_whole_tree), 0);
  EXPECT_EQ(used_space((tmp / "source").c_str(), &without, copy_without_own_folder), 0);
  EXPECT_EQ(
      mirror_folder((tmp / "source").c_str(), (tmp / "copy").c_str(), copy_without_own_folder), 0);
  GetCapturedStdout();
  EXPECT_EQ(whole, 10u);
  EXPECT_EQ(whole - without, 5u);
  EXPECT_FALSE(fs::exists(tmp / "copy/backup/kvemmc"));
  EXPECT_FALSE(fs::exists(tmp / (std::string("copy/") + backup_mark_name)));
  EXPECT_TRUE(fs::exists(tmp / "copy/backup/eMMC_backup/backup/kvemmc/reserved-1.img"));
}

// The room of a filesystem made afresh: the boot sector and the superblock
// read with every field bounded, what a tree takes there, and the scratch
// copy that measures it gone afterwards.
class FreshRoom : public storage_test {};

TEST_F(FreshRoom, BootSectorAndSuperblockFieldsAreBounded) {
  // A FAT16 of 64 MiB as mkfs.vfat makes it: 512-byte sectors, 4 per
  // cluster, 4 reserved, 2 FATs of 128 sectors, 512 root entries.
  struct field {
    size_t at, width;
    uint64_t value;
  };
  struct row {
    const char *what;
    std::vector<field> changed;
    uint64_t file_size;
    int result;
    uint64_t bytes, top_slots;
  };
  const uint64_t fat16_file = 64ull << 20;
  const row fat_rows[] = {
      {"FAT16", {}, fat16_file, 0, 32695ull * 2048, 511},
      {"FAT32, its root folder in a cluster",
       {{22, 2, 0}, {36, 4, 256}, {17, 2, 0}}, fat16_file, 0, (32639ull - 1) * 2048, UINT64_MAX},
      {"zero bytes per sector", {{11, 2, 0}}, fat16_file, -1, 0, 0},
      {"zero sectors per cluster", {{13, 1, 0}}, fat16_file, -1, 0, 0},
      {"three sectors per cluster", {{13, 1, 3}}, fat16_file, -1, 0, 0},
      {"clusters of 128 KiB", {{11, 2, 4096}, {13, 1, 32}}, fat16_file, -1, 0, 0},
      {"sectors beyond the file", {}, fat16_file - 512, -1, 0, 0},
      {"FATs beyond the sectors", {{22, 2, 65535}}, fat16_file, -1, 0, 0},
      {"a FAT too short for its clusters", {{22, 2, 60}}, fat16_file, -1, 0, 0},
      {"no signature", {{510, 2, 0}}, fat16_file, -1, 0, 0},
      // 4084 clusters are the most a FAT12 has: 12 bits an entry fit 12 sectors.
      {"FAT12 of 4084 clusters", {{22, 2, 12}, {32, 4, 60 + 4084 * 4}}, fat16_file, 0,
       4084ull * 2048, 511},
      {"FAT16 of 4085 clusters in a FAT12's FAT", {{22, 2, 12}, {32, 4, 60 + 4085 * 4}},
       fat16_file, -1, 0, 0},
  };
  // The sound fields, then the row's, little-endian.
  const auto poke = [](uint8_t *bytes, const std::vector<field> &sound, const row &r) {
    for (const std::vector<field> *fields : {&sound, &r.changed})
      for (const field &f : *fields)
        for (size_t i = 0; i < f.width; i++) bytes[f.at + i] = static_cast<uint8_t>(f.value >> (8 * i));
  };
  for (const row &r : fat_rows) {
    uint8_t sector[512] = {};
    poke(sector, {{11, 2, 512}, {13, 1, 4}, {14, 2, 4}, {16, 1, 2}, {17, 2, 512}, {32, 4, 131072},
                  {22, 2, 128}, {510, 2, 0xAA55}}, r);
    filesystem_room room;
    EXPECT_EQ(read_fat_room(sector, sizeof(sector), r.file_size, &room), r.result) << r.what;
    if (r.result != 0) continue;
    EXPECT_EQ(room.bytes, r.bytes) << r.what;
    EXPECT_EQ(room.unit, 2048u) << r.what;
    EXPECT_EQ(room.top_slots, r.top_slots) << r.what;
  }
  filesystem_room room;
  uint8_t short_sector[511] = {};
  EXPECT_EQ(read_fat_room(short_sector, sizeof(short_sector), fat16_file, &room), -1);

  // ext4 of 600 MiB in 4 KiB blocks; the kernel keeps 2 % (3072 blocks) of it.
  const row ext4_rows[] = {
      {"ext4", {}, 600ull << 20, 0, (146971ull - 3072) * 4096, UINT64_MAX},
      {"no magic", {{0x38, 2, 0xEF52}}, 600ull << 20, -1, 0, 0},
      {"blocks of 128 KiB", {{0x18, 4, 7}}, 600ull << 20, -1, 0, 0},
      {"more free blocks than blocks", {{0x0C, 4, 153601}}, 600ull << 20, -1, 0, 0},
      {"blocks beyond the file", {}, (600ull << 20) - 4096, -1, 0, 0},
  };
  for (const row &r : ext4_rows) {
    uint8_t superblock[1024] = {};
    poke(superblock, {{0x04, 4, 153600}, {0x0C, 4, 146971}, {0x10, 4, 38389}, {0x18, 4, 2},
                      {0x38, 2, 0xEF53}}, r);
    EXPECT_EQ(read_ext4_room(superblock, sizeof(superblock), r.file_size, &room), r.result)
        << r.what;
    if (r.result != 0) continue;
    EXPECT_EQ(room.bytes, r.bytes) << r.what;
    EXPECT_EQ(room.inodes, 38389u) << r.what;
  }
}

TEST_F(FreshRoom, ACopyTakesWholeUnitsExtentTreesAndFolders) {
  struct row {
    std::vector<std::string> listed;  // the dry run's lines
    new_filesystem kind;
    uint32_t unit;
    uint64_t need;
  };
  const row rows[] = {
      // The top folder, its entries in one cluster, an empty file in none.
      {{"4096 ./", "0 empty"}, new_vfat, 4096, 2 * 4096},
      // 4096 bytes a cluster, 4097 two; "sending ..." and the summary count nothing.
      {{"sending incremental file list", "4096 ./", "4096 a", "4097 b", "total size is 8,193"},
       new_vfat, 4096, (3 + 1 + 1) * 4096},
      // In 512-byte clusters: a subfolder, a name of 27 characters (three
      // long-name entries and the short one): 9 entries, one cluster more.
      {{"4096 ./", "4096 sub/", "1 sub/a-name-of-27-characters-xyz"}, new_vfat, 512,
       (1 + 2 + 1) * 512},
      {{"4096 ./", "4096 sub/", "1 sub/a-name-of-200-characters-" + std::string(169, 'n')},
       new_vfat, 512, (1 + 2 + 2) * 512},
      // ext4: a folder's block and four times its entries' block; five blocks
      // need a leaf of extents, 1361 five leaves and an index block over them.
      {{"4096 ./", "20480 five"}, new_ext4, 4096, (5 + 1 + 1 + 4) * 4096},
      {{"4096 ./", "5574656 many"}, new_ext4, 4096, (1361 + 5 + 1 + 1 + 4) * 4096},
      // 1 KiB blocks hold 84 extents each: 85 blocks need two leaves.
      {{"4096 ./", "87040 blocks"}, new_ext4, 1024, (85 + 2 + 1 + 4) * 1024},
      {{"4096 ./"}, new_ext4, 3000, UINT64_MAX},
  };
  for (const row &r : rows) {
    tree_census census;
    for (const std::string &line : r.listed) count_listed_entry(census, line.c_str());
    EXPECT_EQ(copy_need(census, r.kind, r.unit), r.need) << r.listed.back();
  }
  tree_census census;
  EXPECT_FALSE(count_listed_entry(census, "12"));
  EXPECT_FALSE(count_listed_entry(census, "99999999999999999999999 big"));
  EXPECT_EQ(census.files + census.folders, 0u);
}

TEST_F(FreshRoom, TheScratchFilesystemGoesAndWithoutItTheRoomIsEstimated) {
  filesystem_room room;
  CaptureStdout();
  EXPECT_EQ(
      measure_new_filesystem_room(new_vfat, "KV_FLASH", 64ull << 20, &room, tmp.path.c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(room.bytes, 32695ull * 2048);
  EXPECT_FALSE(room.estimated);
  EXPECT_TRUE(fs::is_empty(tmp.path));
  CaptureStdout();
  EXPECT_EQ(measure_new_filesystem_room(new_ext4, "KV_STORAGE", 1000ull << 20, &room,
                                        (tmp / "missing").c_str()),
            0);
  EXPECT_TRUE(contains(GetCapturedStdout(), "The usable room of 'KV_STORAGE' is estimated (836MB): "
                                            "no scratch ext4 filesystem could be made and read to "
                                            "measure it.\n"));
  EXPECT_TRUE(room.estimated);
  EXPECT_EQ(room.unit, 4096u);
}

// A dual boot's images of the factory state stay through the emptying of its
// storage folder and the copy into it; the source's files of those names
// (another box's) are neither measured nor copied. Without the images the
// folder goes whole.
TEST_F(SpaceAndCopy, TheFactoryImagesStayThroughTheEmptyingAndTheCopy) {
  const fs::path folder = tmp / "kestrova_storage", source = tmp / "source";
  fs::create_directories(folder / ".kodi/userdata");
  fs::create_directories(source);
  write_text(tmp / "outside", "outside");
  fs::create_symlink(tmp / "outside", folder / "link $(reboot) 'x'");
  write_text(folder / ".dot", "dot");
  write_text(folder / (std::string(apt_backup_image_name) + ".new"), "torn");
  for (const char *image : {apt_backup_image_name, dtb_backup_image_name}) {
    write_text(folder / image, "factory");
    write_text(source / image, "another box");
  }
  write_text(source / "data", "12345");
  uint64_t used = 0;
  CaptureStdout();
  EXPECT_EQ(empty_folder_beside_factory_images(folder.c_str()), 0);
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{apt_backup_image_name, dtb_backup_image_name}));
  EXPECT_EQ(used_space(source.c_str(), &used, copy_beside_factory_images), 0);
  EXPECT_EQ(copy_folder(source.c_str(), folder.c_str(), copy_beside_factory_images), 0);
  EXPECT_EQ(read_text(folder / apt_backup_image_name) + read_text(folder / dtb_backup_image_name),
            "factoryfactory");
  EXPECT_EQ(read_text(folder / "data"), "12345");
  fs::remove(folder / apt_backup_image_name);
  fs::remove(folder / dtb_backup_image_name);
  EXPECT_EQ(empty_folder_beside_factory_images(folder.c_str()), 0);
  GetCapturedStdout();
  EXPECT_EQ(used, 5u);
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(read_text(tmp / "outside"), "outside");
}

}  // namespace
