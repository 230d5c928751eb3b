// Removal of a dual-boot installation (choice 7 of the dual-boot menu) on the
// emulated box, one row per case: the end state is read back by the box's
// own readers, independently of kvemmc.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::dual;
using e2e::Reading;
using e2e::Scenario;

const std::string kQuestion =
    "\nWarning!\nALL existing Kestrova data on eMMC will be lost!\nPress enter to abort!\nContinue? [y]: ";
const std::string &kSnapshot = e2e::kSnapshotSaved;
const std::string kSuccess = "\nSuccess!\n\n\nKestrova dual boot installation got removed from eMMC!\n";
const std::string kApt = "/media/KV_STORAGE/kestrova_storage/dual_boot_apt_backup.img";
const std::string kDtb = "/media/KV_STORAGE/kestrova_storage/dual_boot_dtb_backup.img";
const std::string kTableFailed = "Failed to write the new partition table to eMMC!";

// The orders of a removal's calls that matter, checked once (the readers
// prove the rest): the OP-TEE driver stopped before the first write,
// Kestrova's folder removed, then Android's data filesystem unmounted,
// checked and grown.
const std::vector<std::string> kRemovalCalls = {
    "systemctl stop opentee_linuxdriver.service",
    "rm -rf /media/KV_STORAGE/kestrova_storage/",
    "umount /media/KV_STORAGE",
    "e2fsck -fy {loop}",
    "resize2fs {loop} 11058M",
};
// Any removal that got as far as the growth.
const std::vector<std::string> kGrown = {"e2fsck -fy {loop}"};

// What a removal leaves: the factory state (the saved images went back) and
// the snapshot of the dual-boot area on the boot media.
std::vector<Reading> factory_again(const std::string &preset) {
  std::vector<Reading> end = e2e::factory_state(preset);
  end.push_back({.boxtool = {"snapshots", "{storage}"}, .same_as = {"reserved-hash", preset, "dual"}});
  return end;
}

// A removal whose saved image was refused: the table is the Android-only one
// all the same (it equals the factory's), and Kestrova is gone.
std::vector<Reading> android_only() {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", "khadas_vim3", "fresh"}},
      {.boxtool = {"files", "{emmc}", "@data"}, .same_as = {"tree-files", "android"}},
      {.boxtool = {"dtb", "{emmc}", "{work}/trees"},
       .lines = {"copy 0 form container-v2 compressed yes marker none checksum ok trees 3",
                 "copy 1 form container-v2 compressed yes marker none checksum ok trees 3"}},
  };
}

std::vector<Reading> with(std::vector<Reading> end, const Reading &more) {
  end.push_back(more);
  return end;
}

const Scenario kRemove[] = {
    // --- Removal gives the factory state back -----------------------------
    {.name = "RemovesTheDualBootOfKhadas", .box = dual(), .args = {"-v"}, .answers = "7\ny\n",
     .marker = "KVEMMC_REMOVE\n", .lines = {kQuestion + kSnapshot, ".img'\n", kSuccess},
     .calls = kRemovalCalls, .emmc_unchanged = false, .end = factory_again("khadas_vim3"),
     .dry_run = true},
    {.name = "RemovesTheDualBootOfGxl", .box = dual({"--preset", "gxl_p212"}), .answers = "7\nY\n",
     .marker = "KVEMMC_REMOVE\n", .lines = {kQuestion + kSnapshot, kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = factory_again("gxl_p212"),
     .dry_run = true},

    // --- Declined: nothing changes ------------------------------------------
    {.name = "EnterAloneAbortsTheRemoval", .box = dual(), .answers = "7\n\n",
     .lines = {kQuestion + "\nAborting!\n"}},

    // --- Saved images that do not go back ------------------------------------
    {.name = "AShortSavedTableIsNotRestored", .box = dual({"--saved-apt", "short"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"Error reading file!\nFailed to read backup of bootloader APT!\nBackup '" + kApt +
                   "' is not restored: it cannot be read whole!\n",
               kSnapshot, kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},
    {.name = "ALongSavedTableIsNotRestored", .box = dual({"--saved-apt", "long"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"Backup '" + kApt + "' is not restored: it is longer than the saved area!\n",
               kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},
    {.name = "AGarbageSavedTableIsNotRestored", .box = dual({"--saved-apt", "garbage"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"magic error: ", "Backup '" + kApt + "' is not restored: it is no valid partition table!\n",
               // The saved trees go back only beside the saved table.
               "Backup '" + kDtb + "' is not restored: the saved partition table is not restored "
               "beside it, so the device trees reworked for the Android-only table are written!\n",
               kSuccess},
     .calls = kGrown, .emmc_unchanged = false,
     .end = with(android_only(), {.boxtool = {"trees", "{emmc}"},
                                  .same_as = {"expect-tree-text", "khadas_vim3", "dual"},
                                  .ignore = {"phandle", "part-"}})},
    {.name = "ASavedTableOfOtherPartitionsIsNotRestored", .box = dual({"--saved-apt", "other"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"Backup '" + kApt +
                   "' is not restored: its partitions differ from those of the Android-only table!\n",
               kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},
    {.name = "MissingImagesComeFromTheSnapshotOfTheInstallation",
     .box = dual({"--saved-apt", "snapshot", "--saved-dtb", "snapshot"}), .answers = "7\ny\n",
     .marker = "KVEMMC_REMOVE\n",
     .lines = {"Android's table and device trees are restored from the snapshot "
               "'/storage/backup/kvemmc/reserved-20260101-000000.img' of this box instead.\n",
               kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = e2e::factory_state("khadas_vim3")},
    {.name = "AMissingSavedTableLeavesTheAndroidOnlyTable", .box = dual({"--saved-apt", "missing"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n", .lines = {kSnapshot, kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},
    {.name = "GarbageSavedTreesAreNotRestored", .box = dual({"--saved-dtb", "garbage"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"Dtb block checksum error: stored ",
               "Backup '" + kDtb + "' is not restored: its first DTB copy is damaged!\n", kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},
    {.name = "SavedBlocksWithoutATreeAreNotRestored", .box = dual({"--saved-dtb", "other"}),
     .answers = "7\ny\n", .marker = "KVEMMC_REMOVE\n",
     .lines = {"Error dtb magic: ",
               "Backup '" + kDtb + "' is not restored: its first DTB copy is damaged!\n", kSuccess},
     .calls = kGrown, .emmc_unchanged = false, .end = android_only()},

    // --- Failures before the point of no return: nothing changes -------------
    // KV_FLASH (slot 18) 1 MiB behind the end of the data partition.
    {.name = "AFlashSlotAwayFromTheDataIsRefused",
     .box = dual({"--table-poke", "768:0000f08303000000"}), .answers = "7\ny\n", .status = 255,
     .lines = {kQuestion + "Partition 'KV_FLASH' does not begin where data partition 'data' ends!\n"
                           "Failed to create new partition table!\n"}},
    // The first byte of the second DTB copy's marker spoilt.
    {.name = "ATreeTheTableCannotBeWrittenIntoIsFoundBeforeAnythingIsMounted",
     .box = dual({"--preset", "gxl_p212", "--table-poke", "4718576:00"}), .answers = "7\ny\n",
     .status = 255,
     .lines = {kQuestion + "Error dtb magic: !\nCould not remove node '/partitions' from dtb1!\n"
                           "The new partition table cannot be written to '/dev/reserved': nothing "
                           "was changed!\n"}},
    // Device trees that cannot be read are refused before the question.
    {.name = "DeviceTreesThatCannotBeReadRefuseTheRemovalBeforeTheQuestion",
     .box = dual({"--preset", "gxl_p212", "--opaque-dtb"}), .answers = "7\ny\n", .status = 255,
     .lines = {"DTB copy 0 holds no device tree that this tool can read: ",
               "\nThe new partition table cannot be written to '/dev/reserved': nothing was "
               "changed!\n"},
     .absent = {"Continue?"}, .calls = {}},
    {.name = "AFailingSecondMountReleasesTheFirst", .box = dual({"--fail", "mount:2"}),
     .answers = "7\ny\n", .status = 255, .lines = {"Failed to mount 'KV_STORAGE' partition!\n"},
     .calls = {"mount -o rw {loop} /media/KV_FLASH", "losetup -d {loop}", "umount /media/KV_FLASH",
               "losetup -d {loop}"},
     // The box's stand-in for vfat writes KV_FLASH's files back at the unmount.
     .emmc_unchanged = false, .end = {e2e::reserved_as_before()}},

    // --- Failures after it: the Part's line, then the cleanup ----------------
    {.name = "AFailingCheckOfTheDataFilesystemFailsTheRemoval", .box = dual({"--fail", "e2fsck:1:4"}),
     .answers = "7\ny\n", .status = 255,
     .lines = {kSnapshot, "e2fsck: Error executing cmd 'e2fsck -fy /dev/loop", "' (4)\n",
               "Failed to resize data partition!\n"},
     .calls = {"umount /media/KV_STORAGE", "losetup -d {loop}", "e2fsck -fy {loop}",
               "losetup -d {loop}"},
     .emmc_unchanged = false,
     .end = {{.boxtool = {"table", "{emmc}"}, .same_as = {"expect", "khadas_vim3", "fresh"}}}},
    // A Ctrl-C while Android's data filesystem grows lets resize2fs finish.
    {.name = "ACtrlCDuringTheGrowthOfTheDataFilesystemWaitsForIt",
     .box = dual({"--signal", "resize2fs:1:INT"}), .answers = "7\ny\n", .status = 255,
     .lines = {kSnapshot, "Stopped by signal 2 (Interrupt) after the change of the eMMC layout was "
                          "completed!\n"},
     .calls = kGrown, .emmc_unchanged = false, .end = e2e::factory_state("khadas_vim3")},
};

E2E_SCENARIO_TABLE(Remove, kRemove);

}  // namespace
