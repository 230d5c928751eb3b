// Renewals of an installation (menu B 1/2, menu C 4/5) on the emulated box,
// one row per case: each answer combination, both sources, the room checks
// at their boundaries, and the failures. The reserved area is never written.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::Reading;
using e2e::Scenario;

const std::string kAskFlash = "Continue with [y] or press enter to skip flash partition!\nContinue? [y]: ";
const std::string kAskStorage =
    "Continue with [y] or press enter to skip storage partition!\nContinue? [y]: ";
const std::string kSuccess =
    "\nSuccess!\n\n\nPlease remove current boot media (SD or USB) and\nreboot the device to boot "
    "from eMMC!\n";
const std::string kNoFlashRoom =
    "\nThere is \033[1mNOT\033[0m enough free space on flash partition on eMMC for installation!\n";
const std::string kNoStorageRoom =
    "\nThere is \033[1mNOT\033[0m enough free space on storage partition on eMMC for installation!\n";
const std::string kFlashCopy = "rsync -ah --info=progress2 /flash/ /media/KV_FLASH/";
const std::string kStorageCopy = "rsync -ah --info=progress2 --exclude=/backup/kvemmc /storage/ /media/KV_STORAGE/kestrova_storage/";
const std::string &kDualEmptying = e2e::kDualEmptying;
const std::string &kDualStorageCopy = e2e::kDualStorageCopy;
// From a backup, its mark stays behind.
const std::string kBackupFlashCopy = "rsync -ah --info=progress2 --exclude=/.kvemmc-backup-complete "
                                     "/storage/backup/eMMC_backup/kestrova_flash/ /media/KV_FLASH/";
const std::string kBackupStorageCopy =
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc --exclude=/.kvemmc-backup-complete "
    "/storage/backup/eMMC_backup/kestrova_storage/ /media/KV_STORAGE/kestrova_storage/";
const std::string &kDualBackupStorageCopy = e2e::kDualBackupStorageCopy;
const std::string kImage = "kestrova_storage/dual_boot_";
constexpr uint64_t kFlashFits = (512 - 8) << 20;  // the 512 MiB slot less the margin

// KV_FLASH and the storage folder hold the boot media's data.
const Reading kFlashRenewed = {.boxtool = {"files", "{emmc}", "@KV_FLASH"},
                               .same_as = {"files", "{flash}", "0"}};
const Reading kStorageRenewed = {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
                                 .same_as = {"files", "{storage}", "0"},
                                 .ignore = {".config/boot.hint", "dual_boot_", "backup/kvemmc"},
                                 .absent = {"backup/kvemmc"}};
// A partition left alone: as before the run.
Reading unchanged(const std::string &partition) {
  return {.boxtool = {"files", "{emmc}", "@" + partition}, .same_as = {"files", "{before}", "@" + partition}};
}
// A dual-boot renewal keeps the saved images and Android's files.
std::vector<Reading> dual_kept(std::vector<Reading> end) {
  for (const char *image : {"apt_backup.img", "dtb_backup.img"}) {
    end.push_back({.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", kImage + image},
                   .same_as = {"file-hash", "{before}", "@KV_STORAGE", kImage + image}});
  }
  end.push_back({.boxtool = {"files", "{emmc}", "@KV_STORAGE"}, .same_as = {"tree-files", "android"},
                 .ignore = {"kestrova_storage"}});
  end.push_back(e2e::reserved_as_before());
  return end;
}

const Scenario kRenew[] = {
    // --- The other presets, with the boxes' own build -------------------------
    {.name = "BothPartsOfADualBootOnGxl", .box = {"--preset", "gxl_p212", "--state", "dual"},
     .answers = "4\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .calls = {kFlashCopy, kDualEmptying, kDualStorageCopy}, .emmc_unchanged = false,
     .end = dual_kept({kFlashRenewed, kStorageRenewed}), .boxes_build_only = true},
    {.name = "BothPartsOfASingleBootOnBeelink", .box = {"--preset", "beelink", "--state", "single"},
     .answers = "1\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .calls = {kFlashCopy, kStorageCopy}, .emmc_unchanged = false,
     .end = {kFlashRenewed, kStorageRenewed, e2e::reserved_as_before()}, .boxes_build_only = true},
    // --- Answer combinations and sources --------------------------------------
    {.name = "BothPartsOfASingleBootFromTheBootMedia", .box = {"--state", "single", "--own-folder"},
     .answers = "1\ny\ny\n", .marker = "KVEMMC_RENEW\n",
     .lines = {"\nUsable space of 'partition KV_FLASH': 512MB\n", kAskFlash, kAskStorage,
               "Stopping Kodi before start of copy process!\n", kSuccess},
     .calls = {kFlashCopy, "mount -o ro,noload {loop} /media/KV_STORAGE", "systemctl stop kodi",
               kStorageCopy, "systemctl start kodi"},
     .emmc_unchanged = false, .end = {kFlashRenewed, kStorageRenewed, e2e::reserved_as_before()},
     .dry_run = true},
    {.name = "BothPartsOfADualBootFromABackup", .box = {"--state", "dual", "--boot-backup"},
     .answers = "5\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .absent = {"Stopping Kodi"},
     .calls = {kBackupFlashCopy, kDualEmptying, kDualBackupStorageCopy},
     .emmc_unchanged = false, .end = dual_kept({})},
    {.name = "BothPartsOfADualBootFromTheBootMedia", .box = {"--state", "dual"},
     .answers = "4\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .calls = {kFlashCopy, "systemctl stop kodi", kDualEmptying, kDualStorageCopy,
               "systemctl start kodi"},
     .emmc_unchanged = false, .end = dual_kept({kFlashRenewed, kStorageRenewed}),
     .dry_run = true},
    {.name = "BothPartsOfASingleBootFromABackup", .box = {"--state", "single", "--boot-backup"},
     .answers = "2\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .absent = {"Stopping Kodi"},
     .calls = {kBackupStorageCopy},
     .emmc_unchanged = false, .end = {e2e::reserved_as_before()}},
    {.name = "OnlyTheFlashOfADualBoot", .box = {"--state", "dual"}, .answers = "4\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kAskStorage + kSuccess}, .absent = {"Stopping Kodi"},
     .calls = {kFlashCopy}, .emmc_unchanged = false,
     .end = dual_kept({kFlashRenewed, unchanged("KV_STORAGE")})},
    {.name = "OnlyTheStorageOfADualBoot", .box = {"--state", "dual"}, .answers = "4\n\ny\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .absent = {"Copy all data from '/flash'"},
     .calls = {kDualStorageCopy}, .emmc_unchanged = false,
     .end = dual_kept({kStorageRenewed, unchanged("KV_FLASH")})},
    {.name = "NeitherPartMountsNothingForWriting", .box = {"--state", "single"}, .answers = "1\n\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kAskFlash, kAskStorage + kSuccess},
     .absent = {"Starting copying"}, .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},
    // The flash renewed, then no storage folder: 0 without success, unmounted.
    {.name = "ABackupWithoutItsStorageFolderEndsAfterTheFlash",
     .box = {"--state", "single", "--boot-backup", "--backup-without-storage"}, .answers = "2\ny\n",
     .lines = {"Folder of backup '/storage/backup/eMMC_backup/kestrova_storage' not found!\n"},
     .absent = {"Success!"}, .calls = {kBackupFlashCopy, "umount /media/KV_FLASH"},
     .emmc_unchanged = false, .end = {kFlashRenewed}},
    // Refused before the flash's question, although only the storage lacks its mark.
    {.name = "ABackupWithoutItsMarkIsRefusedBeforeEitherQuestion",
     .box = {"--state", "single", "--boot-backup", "--backup-cut", "removal"},
     .answers = "2\ny\ny\n", .status = 255,
     .lines = {"The backup '/storage/backup/eMMC_backup/kestrova_storage' is incomplete"},
     .absent = {"Continue?"}},
    {.name = "ABackupWithoutEitherFolderEndsAfterTheFlashIsSkipped",
     .box = {"--state", "single"}, .answers = "2\n",
     .lines = {"Folder of backup '/storage/backup/eMMC_backup/kestrova_flash' not found!\n",
               "Folder of backup '/storage/backup/eMMC_backup/kestrova_storage' not found!\n"},
     .absent = {"Success!"}, .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // --- The rooms, checked before anything is emptied ---------------------------
    {.name = "FlashDataThatLeavesExactlyTheMarginFits",
     .box = {"--state", "single", "--flash-used", std::to_string(kFlashFits)}, .answers = "1\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .calls = {kFlashCopy},
     .emmc_unchanged = false, .end = {kFlashRenewed}},
    // Device trees that cannot be read stop only what writes a table.
    {.name = "DeviceTreesThatCannotBeReadLeaveARenewalAlone",
     .box = {"--state", "single", "--opaque-dtb"}, .answers = "1\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .calls = {kFlashCopy},
     .emmc_unchanged = false, .end = {kFlashRenewed, e2e::reserved_as_before()}},
    // -f 1024 on a 512 MiB slot: the slot counts.
    {.name = "OneByteMoreIsRefusedWhateverTheFlashSizeOption",
     .box = {"--state", "single", "--flash-used", std::to_string(kFlashFits + 1)},
     .args = {"-f", "1024"}, .answers = "1\ny\n", .status = 255,
     .lines = {"\nUsable space of 'partition KV_FLASH': 512MB\n", kNoFlashRoom},
     .absent = {kAskFlash}, .calls = {"rsync --dry-run -av --out-format=%l %n /flash/ backup/"}},
    // Android's files leave 1 MiB free: the slot would have room, the filesystem has not.
    {.name = "AFullAndroidDataFilesystemRefusesTheStorage",
     .box = {"--state", "dual", "--data-free", "1", "--storage-files", "3000"},
     .answers = "4\n\ny\n", .status = 255, .lines = {kNoStorageRoom}, .absent = {kAskStorage},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // Android's files leave 20 MiB free and /storage holds 20 MiB more than
    // the storage folder: the images of the factory state in it (513 KiB)
    // would make up the difference, but they stay.
    {.name = "TheSavedImagesAreNoRoomForTheStorage",
     .box = {"--state", "dual", "--data-free", "20", "--storage-media", "20"},
     .answers = "4\n\ny\n", .status = 255, .lines = {kNoStorageRoom}, .absent = {kAskStorage},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // --- Failures -------------------------------------------------------------------
    {.name = "AFailedStorageCopyPutsTheImagesBackAndStartsKodi",
     .box = {"--state", "dual", "--fail", "rsync:4"}, .answers = "4\n\ny\n", .status = 255,
     .lines = {"Start Kodi again to have a user interface!\n",
               "Failed to move data from '/storage' to eMMC\n"},
     .calls = {"systemctl start kodi", "umount /media/KV_STORAGE", "losetup -d {loop}"},
     .emmc_unchanged = false, .end = dual_kept({})},
    // Killed in the copy: the images never left the folder.
    {.name = "AKillDuringTheStorageCopyLeavesTheImagesInPlace",
     .box = {"--state", "dual", "--signal", "rsync:4:KILL"}, .answers = "4\n\ny\n", .status = 137,
     .calls = {kDualEmptying}, .emmc_unchanged = false, .nothing_left = false,
     .end = dual_kept({})},
    {.name = "AFailedMeasurementEndsTheRenewal", .box = {"--state", "single", "--fail", "rsync:1"},
     .answers = "1\n", .status = 255, .lines = {"Failed to get used space of path '/flash'!\n"
               "Failed to get used space of path '/flash'!\n"},
     .absent = {"Continue?"}, .calls = {"rsync --dry-run -av --out-format=%l %n /flash/ backup/"}},
    {.name = "AKodiThatWillNotStopEndsTheRunAfterTheMount",
     .box = {"--state", "single", "--fail", "systemctl:1"}, .answers = "1\n\ny\n", .status = 255,
     .lines = {"Stopping Kodi before start of copy process!\nError running pclose on cmd: `systemctl "
               "stop kodi`. Error: 1\nError executing cmd 'systemctl stop kodi'\n"},
     .calls = {"umount /media/KV_STORAGE", "losetup -d {loop}"}, .emmc_unchanged = false},
    {.name = "AFailedUnmountAtTheEnd", .box = {"--state", "single", "--fail", "umount:2"},
     .answers = "1\ny\n\n", .status = 255, .lines = {"Failed to umount temporary Kestrova folder\n"},
     .calls = {"umount /media/KV_FLASH"}, .emmc_unchanged = false},
    // A folder in the place of the saved table: it cannot be kept, the renewal goes on.
    {.name = "ASavedImageThatCannotBeReadIsNamedAndTheRenewalGoesOn",
     .box = {"--state", "dual", "--saved-apt", "folder"}, .answers = "4\n\ny\n",
     .marker = "KVEMMC_RENEW\n", .lines = {"Failed to create backup of partition table file!\n", kSuccess},
     .calls = {kDualStorageCopy}, .emmc_unchanged = false},
    {.name = "AFailedFlashMountEndsTheRun", .box = {"--state", "single", "--fail", "mount:1"},
     .answers = "1\ny\n", .status = 255, .lines = {"Failed to mount 'KV_FLASH' partition!\n"},
     .calls = {"losetup -d {loop}"}},
    {.name = "ACtrlCDuringTheCopyUnmountsAndFails",
     .box = {"--state", "single", "--signal", "rsync:2:INT"}, .answers = "1\ny\n", .status = 255,
     .lines = {"Stopped by signal 2 (Interrupt) during the copy!\n"},
     .calls = {"umount /media/KV_FLASH", "losetup -d {loop}"}, .emmc_unchanged = false},
};

E2E_SCENARIO_TABLE(Renew, kRenew);

}  // namespace
