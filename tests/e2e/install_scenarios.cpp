// New installations (menu A) on the emulated box, one row per case: dual and
// single boot from the boot media and from a backup on it, the refusals
// before the point of no return, and the failures after it. The end state is
// read back by the box's own readers, independently of kvemmc.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::Reading;
using e2e::Scenario;

const std::string kQuestion =
    "\nThere is enough free space on eMMC for installation!\n\nInstall Kestrova on eMMC.\nContinue? [y]: ";
const std::string &kSnapshot = e2e::kSnapshotSaved;
const std::string kSuccess =
    "\nSuccess!\n\n\nYou can now power off the device, remove the used boot media (SD or USB) and"
    "\npower on again to boot the device from eMMC!\n";
const std::string kKodiStop = "Stopping Kodi before start of copy process!\n";
const std::string kKodiStart = "Start Kodi again to have a user interface!\n";
const std::string kPlanFailed = "Failed to create new partition table!\n";
const std::string kNoTableWrite =
    "The new partition table cannot be written to '/dev/reserved': nothing was changed!\n";
const std::string kOpaqueTrees =
    "DTB copy 0 holds no device tree that this tool can read: the bootloader's copy of the "
    "partition layout in it can be neither read nor rewritten, so a new partition table could be "
    "undone at the next boot!\n" + kNoTableWrite;
const std::vector<std::string> kRemovedThenMenuA = {
    kSuccess, "Kestrova dual boot installation got removed from eMMC!\n",
    "\033[1mNo Kestrova installation found on eMMC\033[0m"};

// The orders of the disk-tool calls that matter, checked once per mode (the
// readers prove the rest): the OP-TEE driver stopped before the first
// write, Android's data filesystem checked before it shrinks, KV_FLASH
// formatted after that, kodi stopped around the copy of the running system.
const std::vector<std::string> kDualCalls = {
    "mount -o ro,noload {loop} /media/KV_STORAGE",
    "systemctl stop opentee_linuxdriver.service",
    "e2fsck -fy {loop}",
    "resize2fs {loop} 10546M",
    "mkfs.vfat -n KV_FLASH {loop}",
    "systemctl stop kodi",
    "rsync -ah --info=progress2 /flash/ /media/KV_FLASH/",
    e2e::kDualEmptying,
    e2e::kDualStorageCopy,
    "systemctl start kodi",
};
const std::vector<std::string> kSingleCalls = {
    "systemctl stop opentee_linuxdriver.service",
    "mkfs.vfat -n KV_FLASH {loop}",
    "systemctl stop kodi",
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc /storage/ /media/KV_STORAGE/kestrova_storage/",
    "systemctl start kodi",
};
// Any copy at all, where the readers prove what it did.
const std::vector<std::string> kCopied = {"mount -o rw {loop} /media/KV_STORAGE"};

const std::vector<std::string> kBackupCopies = {
    "rsync -ah --info=progress2 --exclude=/.kvemmc-backup-complete "
    "/storage/backup/eMMC_backup/kestrova_flash/ /media/KV_FLASH/",
    e2e::kDualBackupStorageCopy};
// A boot media with a backup whose data differ from its own: /flash holds a
// file more (.box-filler), /storage the backup folder itself.
const std::vector<std::string> kBootBackup = {"--boot-backup", "--flash-used", "30000000"};

// The reserved area before the run, in the snapshot on the boot media.
Reading snapshot_of(const std::string &preset) {
  return {.boxtool = {"snapshots", "{storage}"}, .same_as = {"reserved-hash", preset, "fresh"}};
}

// What any installation leaves: the table and trees of the box's own model
// of that installation (generated phandles aside), every kept partition's
// bytes at its place, KV_FLASH holding the flash files, a clean KV_STORAGE.
std::vector<Reading> installed(const std::string &preset, const std::string &state) {
  std::vector<Reading> end = e2e::laid_out_as_modelled(preset, state);
  end.insert(end.end(), {
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = {"files", "{flash}", "0"},
       .ignore = {".box-filler"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      // The tool's own folder (with this run's snapshot) stays on the boot media.
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE"}, .absent = {"backup/kvemmc"}},
      snapshot_of(preset),
  });
  return end;
}

// From the backup of kBootBackup (vfat keeps no modes, so KV_FLASH is read
// against /flash, less its file more): nothing of /flash or /storage
// itself, and not the backup's mark.
std::vector<Reading> installed_from_backup(const std::string &state) {
  std::vector<Reading> end = installed("khadas_vim3", state);
  end.push_back({.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .absent = {".box-filler", e2e::kBackupMark}});
  end.push_back({.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
                 .same_as = {"files", "{storage}", "0", "backup/eMMC_backup/kestrova_storage"},
                 .ignore = {"dual_boot_", e2e::kBackupMark},
                 .absent = {"backup/eMMC_backup", e2e::kBackupMark}});
  return end;
}

// A dual-boot installation from the boot media: besides, Android's files
// untouched, the running system's /storage copied, and the two areas saved
// as they were before the run.
const std::vector<Reading> kFactoryImagesSaved = {
    {.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", "kestrova_storage/dual_boot_apt_backup.img"},
     .same_as = {"hash", "{before}", "0x2400000", "1304"}},
    {.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", "kestrova_storage/dual_boot_dtb_backup.img"},
     .same_as = {"hash", "{before}", "0x2800000", "0x80000"}}};

std::vector<Reading> dual_installed(const std::string &preset) {
  std::vector<Reading> end = installed(preset, "dual");
  end.push_back({.boxtool = {"files", "{emmc}", "@data"}, .same_as = {"tree-files", "android"},
                 .ignore = {"kestrova_storage"}});
  end.push_back({.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
                 .same_as = {"files", "{storage}", "0"},
                 .ignore = {".config/boot.hint", "dual_boot_", "backup/kvemmc"}});
  end.insert(end.end(), kFactoryImagesSaved.begin(), kFactoryImagesSaved.end());
  return end;
}

const Reading kFactoryTable = {.boxtool = {"table", "{emmc}"},
                               .same_as = {"expect", "khadas_vim3", "fresh"}};

const Scenario kInstall[] = {
    // --- Installations --------------------------------------------------------
    {.name = "DualBootFromTheBootMediaOnKhadas", .args = {"-v"}, .answers = "1\ny\n",
     .marker = "KVEMMC_NEW\n",
     .lines = {"Free space of 'partition KV_FLASH': 512MB\n", "Free space of 'partition KV_STORAGE': ",
               "Used space of '/flash': ",
               "Used space of '/storage': ", kQuestion + kSnapshot, kKodiStop, kKodiStart, kSuccess},
     .calls = kDualCalls, .emmc_unchanged = false, .end = dual_installed("khadas_vim3"),
     .dry_run = true},
    {.name = "DualBootFromTheBootMediaOnGxl", .box = {"--preset", "gxl_p212"}, .answers = "1\ny\n",
     .marker = "KVEMMC_NEW\n", .lines = {kQuestion + kSnapshot, kSuccess}, .calls = kCopied,
     .emmc_unchanged = false, .end = dual_installed("gxl_p212"),
     .dry_run = true},
    // From the table on, the images are only on the eMMC: there before the copy.
    {.name = "ADualBootKilledInItsCopyHasSavedTheFactoryStateAlready",
     .box = {"--preset", "gxl_p212", "--signal", "rsync:4:KILL"}, .answers = "1\ny\n",
     .status = 137, .calls = {e2e::kDualEmptying}, .emmc_unchanged = false,
     .nothing_left = false, .end = kFactoryImagesSaved},
    {.name = "DualBootFromABackupLeavesKodiAlone", .box = kBootBackup, .answers = "2\ny\n",
     .marker = "KVEMMC_NEW\n",
     .lines = {"Used space of '/storage/backup/eMMC_backup/kestrova_flash': ",
               "Used space of '/storage/backup/eMMC_backup/kestrova_storage': ", kSuccess},
     .absent = {kKodiStop, kKodiStart}, .calls = kBackupCopies, .emmc_unchanged = false,
     .end = installed_from_backup("dual")},
    {.name = "SingleBootFromTheBootMediaOnKhadas", .answers = "3\ny\n", .marker = "KVEMMC_NEW\n",
     .lines = {kQuestion + kSnapshot, kKodiStop, kKodiStart, kSuccess}, .calls = kSingleCalls,
     .emmc_unchanged = false, .end = installed("khadas_vim3", "single"),
     .dry_run = true},
    {.name = "SingleBootFromABackupOnKhadas", .box = kBootBackup, .answers = "4\ny\n",
     .marker = "KVEMMC_NEW\n", .lines = {kSuccess}, .absent = {kKodiStop}, .calls = kCopied,
     .emmc_unchanged = false, .end = installed_from_backup("single")},
    // Its output read by one that leaves after 4000 bytes ("kvemmc 2>&1 |
    // tee log" of an ssh session that drops): kvemmc and its tools go on.
    {.name = "SingleBootWhoseOutputReaderLeavesEarly", .box = {"--output-reader", "head -c 4000"},
     .answers = "3\ny\n", .marker = "KVEMMC_NEW\n",
     .lines = {"Starting Kestrova eMMC installation tool"}, .absent = {"Success!"},
     .calls = kCopied, .emmc_unchanged = false, .end = installed("khadas_vim3", "single")},
    {.name = "SingleBootFromTheBootMediaOnBeelink", .box = {"--preset", "beelink"},
     .answers = "3\ny\n", .marker = "KVEMMC_NEW\n", .lines = {kKodiStop, kSuccess},
     .calls = kCopied, .emmc_unchanged = false, .end = installed("beelink", "single"),
     .dry_run = true},

    // Installed, removed, started again: the factory's table, trees and
    // Android data come back, and the menu is that of a box without Kestrova.
    {.name = "InstallThenRemoveGivesTheFactoryStateBackOnKhadas",
     .box = {"--again", "7\\ny\\n", "--again", "\\n"}, .answers = "1\ny\n",
     .lines = kRemovedThenMenuA, .calls = kCopied, .emmc_unchanged = false,
     .end = e2e::factory_state("khadas_vim3")},

    // --- Declined or refused before the point of no return: nothing changes ---
    {.name = "DecliningADualBootMeasuresWithoutATrace", .answers = "1\n\n",
     .lines = {kQuestion + "\nAborting!\n"},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE", "losetup -d {loop}"}},
    {.name = "EndOfInputAtTheQuestionAborts", .box = {"--preset", "beelink"}, .answers = "3\n",
     .lines = {kQuestion + "\nAborting!\n"}, .calls = {"fw_printenv active_slot"}},
    // A worn eMMC is named before the question, and only named; normal or
    // garbled reports say nothing.
    {.name = "AWornEmmcIsNamedBeforeTheQuestion",
     .box = {"--preset", "beelink", "--emmc-pre-eol", "0x02\\n", "--emmc-life", "0x03 0x0b\\n"},
     .answers = "3\n\n",
     .lines = {"\nWarning! The eMMC reports that it is worn: pre-EOL information: warning: 80 % of "
               "its reserved blocks used; life used: type A 20-30 %, type B exceeded.\nA worn eMMC "
               "may fail while it is written or soon after: think of a backup first!\n" + kQuestion +
               "\nAborting!\n"},
     .calls = {"fw_printenv active_slot"}},
    {.name = "ADryRunShowsTheWearAndOnlyWarns",
     .box = {"--preset", "beelink", "--emmc-pre-eol", "0x03", "--emmc-life", "0x0b 0x0a\\n"},
     .args = {"-n"}, .answers = "3\n", .marker = nullptr,
     .lines = {"Warning! The eMMC reports that it is worn: ",
               "\neMMC health: pre-EOL information: urgent: 90 % of its reserved blocks used; life "
               "used: type A exceeded, type B 90-100 %\n",
               "Dry run: nothing was written."},
     .calls = {"fw_printenv active_slot"}},
    {.name = "ALifeEstimateOfNinetyPercentIsNamed",
     .box = {"--preset", "beelink", "--emmc-life", "0x0A 0x01"}, .answers = "3\n\n",
     .lines = {"life used: type A 90-100 %, type B 0-10 %.\n"}, .calls = {"fw_printenv active_slot"}},
    {.name = "NormalOrGarbledWearReportsSayNothing",
     .box = {"--preset", "beelink", "--emmc-pre-eol", "0x01\\n", "--emmc-life", "0x0a"},
     .answers = "3\n\n", .lines = {kQuestion + "\nAborting!\n"}, .absent = {"worn"},
     .calls = {"fw_printenv active_slot"}},
    {.name = "CopyingTheRunningSystemNeedsToRunFromTheBootMedia", .box = {"--no-mountinfo"},
     .answers = "1\n", .status = 255,
     .lines = {"The system does not run from the boot media: '/flash' and '/storage' are no "
               "Kestrova system to copy!\n"}},
    {.name = "AFlashTooSmallForTheDataIsRefused", .args = {"-f", "1"}, .answers = "3\ny\n",
     .status = 255,
     .lines = {"New partition is too small to cover data of '/flash' from current boot device!\n"
               "Free space on 'KV_FLASH' partition: 0MB\nUsed space on '/flash': "},
     .absent = {"'/storage' from current boot device"},
     .calls = {"rsync --dry-run -av --out-format=%l %n /flash/ backup/",
               "rsync --dry-run -av --out-format=%l %n --exclude=/backup/kvemmc /storage/ backup/"}},
    // Just under the 256 MiB of the slot: the FATs and the folders of the
    // filesystem made there leave less.
    {.name = "FlashDataThatFitTheSlotButNotItsFilesystemAreRefused",
     .box = {"--flash-used", "268400000"}, .args = {"-f", "256"}, .answers = "3\ny\n", .status = 255,
     .lines = {"New partition is too small to cover data of '/flash' from current boot device!\n"
               "Free space on 'KV_FLASH' partition: 255MB\nUsed space on '/flash': 268400000\n"},
     .absent = {"Continue?"}, .calls = {"mkfs.vfat -n KV_FLASH {scratch}/KV_FLASH.img"}},
    {.name = "AndroidDataWithLessFreeRoomThanKvFlashIsRefused",
     .box = {"--preset", "gxl_p212", "--data-free", "100"}, .answers = "1\ny\n", .status = 255,
     .lines = {"Partition 'KV_STORAGE' has only 99MB free, less than the 512MB that 'KV_FLASH' "
               "takes from it!\nFailed to create partition table for dual boot installation!\n" +
               kPlanFailed},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE", "losetup -d {loop}"}},
    {.name = "AFailedMeasurementEndsTheRun", .box = {"--fail", "rsync:1"}, .answers = "1\ny\n",
     .status = 255, .lines = {"Failed to get used space of path '/flash'!\n"
               "Failed to get used space of path '/flash'!\n"}, .absent = {"Continue?"},
     .calls = {"rsync --dry-run -av --out-format=%l %n /flash/ backup/"}},
    {.name = "AMissingBackupIsNamedBeforeAnythingIsMeasured", .answers = "4\ny\n", .status = 255,
     .lines = {"Folder of backup '/storage/backup/eMMC_backup/kestrova_flash' not found!\n"},
     .absent = {"Used space of"}},
    // A removal cut off (or an older kvemmc) left the storage folder without its mark.
    {.name = "ABackupWithoutItsMarkIsRefusedBeforeAnythingIsMeasured",
     .box = {"--boot-backup", "--backup-cut", "removal"}, .answers = "4\ny\n", .status = 255,
     .lines = {"The backup '/storage/backup/eMMC_backup/kestrova_storage' is incomplete: it lacks "
               "its mark '.kvemmc-backup-complete' (making or removing it was cut off, or an older "
               "kvemmc made it)!\n"},
     .absent = {"Used space of"}},
    {.name = "ADataPartitionWithoutExt4IsRefused",
     .box = {"--table-poke", "680:000010b302000000", "--table-poke", "688:0000d0f000000000"},
     .answers = "1\ny\n", .status = 255,
     .lines = {"Android's data partition 'data' holds no filesystem that blkid knows, not ext4: it "
               "cannot give room to Kestrova!\n"},
     .absent = {"Free space of"},
     .calls = {"blkid -p -o value -s TYPE -O 4040163328 -S 11594104832 /dev/mmcblk0"}},
    // The first byte of the second DTB copy's marker spoilt.
    {.name = "ATreeTheTableCannotBeWrittenIntoIsFoundBeforeTheQuestion",
     .box = {"--preset", "gxl_p212", "--table-poke", "4718576:00"}, .answers = "1\ny\n",
     .status = 255,
     .lines = {"Could not remove node '/partitions' from dtb1!\nThe new partition table cannot be "
               "written to '/dev/reserved': nothing was changed!\n"},
     .absent = {"Used space of"}, .calls = {"blkid -p -o value -s TYPE -O 1925185536 -S 5892997120 /dev/mmcblk0"}},
    // Device trees that cannot be read (encrypted, say) may still hold the
    // node the bootloader lays the table out from: no table is written
    // beside them, in a dry run neither.
    {.name = "DeviceTreesThatCannotBeReadRefuseASingleBootBeforeTheQuestion",
     .box = {"--opaque-dtb"}, .answers = "3\ny\n", .status = 255, .lines = {kOpaqueTrees},
     .absent = {"Continue?"}, .calls = {}},
    // Android's data mounted by the system: its kernel device's cache lies
    // over what becomes KV_FLASH, and it would be resized under the mount.
    {.name = "AMountedPartitionOfTheTableIsRefusedBeforeTheQuestion",
     .box = {"--automount", "data"}, .answers = "1\ny\n", .status = 255,
     .lines = {"'/dev/data', the kernel's device of the eMMC partition 'data', is mounted at "
               "'/var/media/data': unmount it before the eMMC's layout changes!\n" + kNoTableWrite},
     .absent = {"Continue?"}, .calls = {}},
    {.name = "AnUnknownSlotOnAnABTableRefusesSingleBoot",
     .box = {"--preset", "beelink", "--fail", "fw_printenv:1"}, .answers = "3\ny\n", .status = 255,
     .lines = {"Failed to read 'active_slot', set to default\nThe active slot is unknown on a table "
               "with A and B slots: the partitions that verified boot needs cannot be told!\n"
               "Failed to create partition table for single boot installation!\n" +
               kPlanFailed},
     .calls = {"fw_printenv active_slot"}},
    {.name = "NoRoomForTheSnapshotWritesNothing", .box = {"--storage-free", "4000"},
     .answers = "3\ny\n", .status = 255,
     .lines = {kQuestion + "Not enough free space on '/storage/backup/kvemmc' for the recovery "
                           "snapshot: "},
     .absent = {"opentee"},
     .calls = {"rsync --dry-run -av --out-format=%l %n --exclude=/backup/kvemmc /storage/ backup/"}},
    {.name = "ACtrlCBeforeTheLayoutChangeEndsTheRunUntouched", .box = {"--signal", "blkid:1:INT"},
     .answers = "1\ny\n", .status = 130, .calls = {"blkid -p -o value -s TYPE -O 4039114752 "
                                                   "-S 11595153408 /dev/mmcblk0"}},

    // --- Failures after it ------------------------------------------------------
    {.name = "AFailedShrinkLeavesAndroidItsTable", .box = {"--fail", "resize2fs:1"},
     .answers = "1\ny\n", .status = 255, .lines = {kSnapshot, "Failed to resize partition 'KV_STORAGE'!\n"},
     .calls = {"e2fsck -fy {loop}", "losetup -d {loop}"}, .emmc_unchanged = false,
     .end = {kFactoryTable}},
    // A system without the OP-TEE driver's unit has nothing to stop (a stop
    // of it would fail, and fail the run).
    {.name = "ABoxWithoutTheOpTeeDriverIsInstalledWithoutAStop",
     .box = {"--no-unit", "opentee_linuxdriver.service"}, .answers = "3\ny\n",
     .marker = "KVEMMC_NEW\n", .lines = {kQuestion + kSnapshot, kSuccess},
     .calls = {"systemctl show -p LoadState opentee_linuxdriver.service"},
     .emmc_unchanged = false, .end = installed("khadas_vim3", "single")},
    {.name = "AnOpTeeServiceThatWillNotStopEndsTheRunUnchanged", .box = {"--fail", "systemctl:2"},
     .answers = "3\ny\n", .status = 255, .lines = {kSnapshot, "Error stopping opentee_linuxdriver service\n"},
     .calls = {"systemctl stop opentee_linuxdriver.service"}},
    {.name = "AFailedMountAfterTheFormatting", .box = {"--fail", "mount:1"}, .answers = "3\ny\n",
     .status = 255, .lines = {"Failed to mount 'KV_FLASH' partition!\n"},
     .calls = {"mount -o rw {loop} /media/KV_FLASH", "losetup -d {loop}"}, .emmc_unchanged = false},
    {.name = "AFailedFormatAfterTheTableWrite", .box = {"--fail", "mkfs.vfat:2"},
     .answers = "3\ny\n", .status = 255,
     .lines = {"Failed to format vfat 'KV_FLASH' partition!\nFailed to format partition 'KV_FLASH'!\n"},
     .calls = {"losetup -d {loop}"}, .emmc_unchanged = false,
     .end = {{.boxtool = {"table", "{emmc}"}, .same_as = {"expect", "khadas_vim3", "single"}}}},
    {.name = "ASignalInTheLayoutChangeStopsTheRunWhenItIsDone",
     .box = {"--signal", "resize2fs:1:TERM"}, .answers = "1\ny\n", .status = 255,
     .lines = {"Starting to format the new 'KV_FLASH' partition...\n",
               "Stopped by signal 15 (Terminated) after the change of the eMMC layout was completed!\n"},
     .absent = {kKodiStop}, .calls = {"mkfs.vfat -n KV_FLASH {loop}", "losetup -d {loop}"},
     .emmc_unchanged = false,
     .end = {{.boxtool = {"table", "{emmc}"}, .same_as = {"expect", "khadas_vim3", "dual"}}}},
    {.name = "AFailedCopyStartsKodiAgainAndUnmounts", .box = {"--fail", "rsync:3"},
     .answers = "1\ny\n", .status = 255,
     .lines = {kKodiStop, "Failed to copy data from '/flash' to '/media/KV_FLASH'\n", kKodiStart,
               "Failed to move data from original media to eMMC\n"},
     .calls = {"systemctl start kodi", "umount /media/KV_FLASH", "losetup -d {loop}",
               "umount /media/KV_STORAGE", "losetup -d {loop}"},
     .emmc_unchanged = false},
    {.name = "AFailedUnmountAtTheEndLeavesNothingMounted", .box = {"--fail", "umount:1"},
     .answers = "3\ny\n", .status = 255, .lines = {"Failed to umount temporary Kestrova folder\n"},
     .calls = {"umount /media/KV_STORAGE", "losetup -d {loop}"}, .emmc_unchanged = false},
    {.name = "FilesVanishingDuringTheCopyOnlyWarn", .box = {"--fail", "rsync:4:24"},
     .answers = "3\ny\n", .marker = "KVEMMC_NEW\n",
     .lines = {"Warning: files of '/storage' vanished while they were copied (rsync exit code 24)!\n",
               kSuccess},
     .calls = kCopied, .emmc_unchanged = false},
    {.name = "AKodiThatWillNotStopFailsBeforeTheCopy", .box = {"--fail", "systemctl:3"},
     .answers = "3\ny\n", .status = 255,
     .lines = {kKodiStop, "Error executing cmd 'systemctl stop kodi'\n"}, .absent = {kKodiStart},
     .calls = {"umount /media/KV_FLASH", "losetup -d {loop}", "umount /media/KV_STORAGE",
               "losetup -d {loop}"},
     .emmc_unchanged = false},
};

E2E_SCENARIO_TABLE(Install, kInstall);

}  // namespace
