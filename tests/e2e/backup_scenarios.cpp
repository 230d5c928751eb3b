// Backups of an installation to the boot media (menu B 3, menu C 6) on the
// emulated box, one row per case: the boot media's backup folders read back
// by the box's readers, the previous backup kept whole when a new one fails.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::dual;
using e2e::Reading;
using e2e::single;
using e2e::Scenario;

const std::string kSuccess = "\nSuccess!\n\n\nA backup of the selected Kestrova partitions where done!\n";
const std::string kOldBackup =
    "\nAll existing data in folder '/storage/backup/eMMC_backup/kestrova_flash' will be removed!";
const std::string kFlashCopy =
    "rsync -ah --info=progress2 /media/KV_FLASH/ /storage/backup/eMMC_backup/kestrova_flash.new/";
const std::string kStorageCopy = "rsync -ah --info=progress2 --exclude=/backup/kvemmc "
                                 "/media/KV_STORAGE/kestrova_storage/ "
                                 "/storage/backup/eMMC_backup/kestrova_storage.new/";
const std::string kBackup = "backup/eMMC_backup/";

// The backup folders hold what the eMMC holds, and the mark that says so;
// the images of the factory state and the tool's own folder stay out; no
// half-made, old or half-removed backup is left.
const std::string kMarked = " " + e2e::kBackupMark + "\n";
const Reading kFlashBackedUp = {.boxtool = {"files", "{storage}", "0", kBackup + "kestrova_flash"},
                                .lines = {kMarked}, .same_as = {"files", "{emmc}", "@KV_FLASH"},
                                .ignore = {e2e::kBackupMark}};
const Reading kStorageBackedUp = {
    .boxtool = {"files", "{storage}", "0", kBackup + "kestrova_storage"}, .lines = {kMarked},
    .same_as = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
    .ignore = {"dual_boot_", "backup/kvemmc", e2e::kBackupMark},
    .absent = {"dual_boot_", "backup/kvemmc"}};
const Reading kNothingHalfMade = {.boxtool = {"files", "{storage}", "0", "backup"},
                                  .absent = {".new", ".old", ".trash"}};
// The backup the box made before the run, untouched.
const Reading kPreviousFlashBackup = {.boxtool = {"files", "{storage}", "0", kBackup + "kestrova_flash"},
                                      .lines = {kMarked}, .same_as = {"tree-files", "flash"},
                                      .ignore = {e2e::kBackupMark}};

const Scenario kBackups[] = {
    // --- The other presets, with the boxes' own build -------------------------
    {.name = "BothPartsOfADualBootOnGxl", .box = {"--preset", "gxl_p212", "--state", "dual"},
     .answers = "6\ny\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .calls = {kFlashCopy, kStorageCopy},
     .end = {kFlashBackedUp, kStorageBackedUp, kNothingHalfMade, e2e::reserved_as_before()},
     .boxes_build_only = true},
    {.name = "BothPartsOfASingleBootOnBeelink", .box = {"--preset", "beelink", "--state", "single"},
     .answers = "3\ny\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .calls = {kFlashCopy, kStorageCopy},
     .end = {kFlashBackedUp, kStorageBackedUp, kNothingHalfMade, e2e::reserved_as_before()},
     .boxes_build_only = true},
    {.name = "BothPartsOfASingleBootWithoutAnEarlierBackup",
     .box = single({"--own-folder"}),
     .answers = "3\ny\ny\n", .marker = "KVEMMC_BACKUP\n",
     .lines = {"Used space of 'flash partiton on eMMC': ", "Free space of 'SD or USB device': ",
               "\nBackup of partition 'KV_STORAGE' got saved at "
               "'/storage/backup/eMMC_backup/kestrova_storage'\n\n",
               kSuccess},
     .absent = {"All existing data"}, .calls = {kFlashCopy, kStorageCopy},
     .end = {kFlashBackedUp, kStorageBackedUp, kNothingHalfMade, e2e::reserved_as_before()}},
    {.name = "BothPartsOfADualBootOverAnEarlierBackup", .box = dual({"--boot-backup"}),
     .answers = "6\ny\ny\n", .marker = "KVEMMC_BACKUP\n", .lines = {kOldBackup, kSuccess},
     .calls = {kFlashCopy, kStorageCopy},
     .end = {kFlashBackedUp, kStorageBackedUp, kNothingHalfMade, e2e::reserved_as_before()},
     .dry_run = true},
    {.name = "DecliningBothMeasuresAndCopiesNothing", .box = dual({"--boot-backup"}),
     .answers = "6\n\n\n", .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .absent = {"Starting to make a backup"}, .calls = {"umount /media/KV_STORAGE"},
     .end = {kPreviousFlashBackup}},

    {.name = "OnlyTheFlashOfASingleBoot", .box = single(), .answers = "3\ny\n\n",
     .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess},
     .absent = {"got saved at '/storage/backup/eMMC_backup/kestrova_storage'"}, .calls = {kFlashCopy},
     .end = {kFlashBackedUp, kNothingHalfMade}},
    {.name = "OnlyTheStorageOfADualBoot", .box = dual(), .answers = "6\n\ny\n",
     .marker = "KVEMMC_BACKUP\n", .lines = {kSuccess}, .calls = {kStorageCopy},
     .end = {kStorageBackedUp, kNothingHalfMade}},

    // --- Failures: the previous backup stays whole ---------------------------------
    {.name = "AFailedCopyLeavesThePreviousBackupComplete",
     .box = dual({"--boot-backup", "--fail", "rsync:2"}), .answers = "6\ny\n",
     .status = 255,
     .lines = {"Failed to create a backup of folder '/media/KV_FLASH' on eMMC to SD or USB device!\n"},
     .calls = {kFlashCopy, "umount /media/KV_FLASH"},
     .end = {kPreviousFlashBackup, kNothingHalfMade}},
    // Cut between the renames of a replacement: the complete new backup
    // takes the name (not the older one), the leftovers go, and the copy
    // that then fails keeps it.
    {.name = "ABackupCutBetweenItsRenamesIsFinishedFirst",
     .box = dual({"--boot-backup", "--backup-cut", "renames", "--fail", "rsync:2"}),
     .answers = "6\ny\n", .status = 255,
     .lines = {"A run that was cut off left the backup '/storage/backup/eMMC_backup/kestrova_flash' "
               "as '/storage/backup/eMMC_backup/kestrova_flash.new': it takes its place.\n",
               "Failed to create a backup of folder '/media/KV_FLASH' on eMMC to SD or USB device!\n"},
     .calls = {"rm -rf /storage/backup/eMMC_backup.trash/", kFlashCopy},
     .end = {kPreviousFlashBackup, kNothingHalfMade}},
    {.name = "ACtrlCDuringTheCopyLeavesThePreviousBackupComplete",
     .box = dual({"--boot-backup", "--signal", "rsync:2:INT"}), .answers = "6\ny\n",
     .status = 255, .lines = {"Stopped by signal 2 (Interrupt) during the copy!\n"},
     .calls = {kFlashCopy, "umount /media/KV_FLASH"},
     .end = {kPreviousFlashBackup, kNothingHalfMade}},
    {.name = "ASavedImageThatCannotBeRemovedFromTheBackupIsNamed",
     .box = dual({"--saved-apt", "folder"}), .answers = "6\n\ny\n",
     .marker = "KVEMMC_BACKUP\n",
     .lines = {"Can not remove backup of APT: /storage/backup/eMMC_backup/kestrova_storage/"
               "dual_boot_apt_backup.img!\n", kSuccess},
     .calls = {kStorageCopy}},
    {.name = "ABootMediaWithoutRoomIsRefusedBeforeTheQuestion",
     .box = single({"--storage-free", "1000"}), .answers = "3\ny\n", .status = 255,
     .lines = {"Not enough free space on SD or USB device to make a backup of the data on eMMC!\n"},
     .absent = {"Make backup?"}, .calls = {"umount /media/KV_FLASH"}},
};

E2E_SCENARIO_TABLE(Backup, kBackups);

}  // namespace
