// Renewals of an installation (menu B 1/2, menu C 4/5) on the emulated box,
// one row per case: each answer combination, both sources, the room checks
// at their boundaries, and the failures. The reserved area is never written.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::dual;
using e2e::Reading;
using e2e::single;
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
// From the backup: the backup's storage folder without its mark, nothing of
// /storage itself (which holds the backup), KV_STORAGE's own folder emptied
// first (--own-folder); KV_FLASH holds the backup's flash files, which are
// /flash's (vfat keeps no modes).
const Reading kStorageFromBackup = {
    .boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
    .same_as = {"files", "{storage}", "0", "backup/eMMC_backup/kestrova_storage"},
    .ignore = {"dual_boot_", "backup/kvemmc", e2e::kBackupMark},
    .absent = {"backup/kvemmc", "backup/eMMC_backup", e2e::kBackupMark}};
const std::vector<std::string> kFromBackup = {"--boot-backup", "--own-folder"};
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
    {.name = "BothPartsOfASingleBootFromTheBootMedia", .box = single({"--own-folder"}),
     .answers = "1\ny\ny\n", .marker = "KVEMMC_RENEW\n",
     .lines = {"\nUsable space of 'partition KV_FLASH': 512MB\n", kAskFlash, kAskStorage,
               "Stopping Kodi before start of copy process!\n", kSuccess},
     .calls = {kFlashCopy, "mount -o ro,noload {loop} /media/KV_STORAGE", "systemctl stop kodi",
               kStorageCopy, "systemctl start kodi"},
     .emmc_unchanged = false, .end = {kFlashRenewed, kStorageRenewed, e2e::reserved_as_before()},
     .dry_run = true},
    {.name = "BothPartsOfADualBootFromABackup", .box = dual(kFromBackup),
     .answers = "5\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .absent = {"Stopping Kodi"}, .calls = {kBackupFlashCopy, kDualEmptying, kDualBackupStorageCopy},
     .emmc_unchanged = false, .end = dual_kept({kFlashRenewed, kStorageFromBackup})},
    {.name = "BothPartsOfADualBootFromTheBootMedia", .box = dual(),
     .answers = "4\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .calls = {kDualEmptying, kDualStorageCopy}, .emmc_unchanged = false,
     .end = dual_kept({kFlashRenewed, kStorageRenewed}), .dry_run = true},
    {.name = "BothPartsOfASingleBootFromABackup", .box = single(kFromBackup),
     .answers = "2\ny\ny\n", .marker = "KVEMMC_RENEW\n", .lines = {kSuccess},
     .absent = {"Stopping Kodi"}, .calls = {kBackupFlashCopy, kBackupStorageCopy},
     .emmc_unchanged = false, .end = {kFlashRenewed, kStorageFromBackup, e2e::reserved_as_before()}},
    {.name = "OnlyTheFlashOfADualBoot", .box = dual(), .answers = "4\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kAskStorage + kSuccess}, .absent = {"Stopping Kodi"},
     .calls = {kFlashCopy}, .emmc_unchanged = false,
     .end = dual_kept({kFlashRenewed, unchanged("KV_STORAGE")})},
    {.name = "OnlyTheStorageOfADualBoot", .box = dual(), .answers = "4\n\ny\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .absent = {"Copy all data from '/flash'"},
     .calls = {kDualStorageCopy}, .emmc_unchanged = false,
     .end = dual_kept({kStorageRenewed, unchanged("KV_FLASH")})},
    {.name = "NeitherPartMountsNothingForWriting", .box = single(), .answers = "1\n\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kAskFlash, kAskStorage + kSuccess},
     .absent = {"Starting copying"}, .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},
    // The flash renewed, then no storage folder: 0 without success, unmounted.
    {.name = "ABackupWithoutItsStorageFolderEndsAfterTheFlash",
     .box = single({"--boot-backup", "--backup-without-storage"}), .answers = "2\ny\n",
     .lines = {"Folder of backup '/storage/backup/eMMC_backup/kestrova_storage' not found!\n"},
     .absent = {"Success!"}, .calls = {kBackupFlashCopy, "umount /media/KV_FLASH"},
     .emmc_unchanged = false, .end = {kFlashRenewed}},
    // Refused before the flash's question, although only the storage lacks its mark.
    {.name = "ABackupWithoutItsMarkIsRefusedBeforeEitherQuestion",
     .box = single({"--boot-backup", "--backup-cut", "removal"}),
     .answers = "2\ny\ny\n", .status = 255,
     .lines = {"The backup '/storage/backup/eMMC_backup/kestrova_storage' is incomplete"},
     .absent = {"Continue?"}},
    {.name = "ABackupWithoutEitherFolderEndsAfterTheFlashIsSkipped",
     .box = single(), .answers = "2\n",
     .lines = {"Folder of backup '/storage/backup/eMMC_backup/kestrova_flash' not found!\n",
               "Folder of backup '/storage/backup/eMMC_backup/kestrova_storage' not found!\n"},
     .absent = {"Success!"}, .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // --- The rooms, checked before anything is emptied ---------------------------
    {.name = "FlashDataThatLeavesExactlyTheMarginFits",
     .box = single({"--flash-used", std::to_string(kFlashFits)}), .answers = "1\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .calls = {kFlashCopy},
     .emmc_unchanged = false, .end = {kFlashRenewed}},
    // Device trees that cannot be read stop only what writes a table.
    {.name = "DeviceTreesThatCannotBeReadLeaveARenewalAlone",
     .box = single({"--opaque-dtb"}), .answers = "1\ny\n\n",
     .marker = "KVEMMC_RENEW\n", .lines = {kSuccess}, .calls = {kFlashCopy},
     .emmc_unchanged = false, .end = {kFlashRenewed, e2e::reserved_as_before()}},
    // -f 1024 on a 512 MiB slot: the slot counts.
    {.name = "OneByteMoreIsRefusedWhateverTheFlashSizeOption",
     .box = single({"--flash-used", std::to_string(kFlashFits + 1)}),
     .args = {"-f", "1024"}, .answers = "1\ny\n", .status = 255,
     .lines = {"\nUsable space of 'partition KV_FLASH': 512MB\n", kNoFlashRoom},
     .absent = {kAskFlash}, .calls = {"rsync --dry-run -av --out-format=%l %n /flash/ backup/"}},
    // Android's files leave 1 MiB free: the slot would have room, the filesystem has not.
    {.name = "AFullAndroidDataFilesystemRefusesTheStorage",
     .box = dual({"--data-free", "1", "--storage-files", "3000"}),
     .answers = "4\n\ny\n", .status = 255, .lines = {kNoStorageRoom}, .absent = {kAskStorage},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // Android's files leave 20 MiB free and /storage holds 20 MiB more than
    // the storage folder: the images of the factory state in it (513 KiB)
    // would make up the difference, but they stay.
    {.name = "TheSavedImagesAreNoRoomForTheStorage",
     .box = dual({"--data-free", "20", "--storage-media", "20"}),
     .answers = "4\n\ny\n", .status = 255, .lines = {kNoStorageRoom}, .absent = {kAskStorage},
     .calls = {"mount -o ro,noload {loop} /media/KV_STORAGE"}},

    // --- Failures -------------------------------------------------------------------
    {.name = "AFailedStorageCopyPutsTheImagesBackAndStartsKodi",
     .box = dual({"--fail", "rsync:4"}), .answers = "4\n\ny\n", .status = 255,
     .lines = {"Start Kodi again to have a user interface!\n",
               "Failed to move data from '/storage' to eMMC\n"},
     .calls = {"systemctl start kodi", "umount /media/KV_STORAGE", "losetup -d {loop}"},
     .emmc_unchanged = false, .end = dual_kept({})},
    // Killed in the copy: the images never left the folder.
    {.name = "AKillDuringTheStorageCopyLeavesTheImagesInPlace",
     .box = dual({"--signal", "rsync:4:KILL"}), .answers = "4\n\ny\n", .status = 137,
     .calls = {kDualEmptying}, .emmc_unchanged = false, .nothing_left = false,
     .end = dual_kept({})},
    // A folder in the place of the saved table: it cannot be kept, the renewal goes on.
    {.name = "ASavedImageThatCannotBeReadIsNamedAndTheRenewalGoesOn",
     .box = dual({"--saved-apt", "folder"}), .answers = "4\n\ny\n",
     .marker = "KVEMMC_RENEW\n", .lines = {"Failed to create backup of partition table file!\n", kSuccess},
     .calls = {kDualStorageCopy}, .emmc_unchanged = false},
    {.name = "ACtrlCDuringTheCopyUnmountsAndFails",
     .box = single({"--signal", "rsync:2:INT"}), .answers = "1\ny\n", .status = 255,
     .lines = {"Stopped by signal 2 (Interrupt) during the copy!\n"},
     .calls = {"umount /media/KV_FLASH", "losetup -d {loop}"}, .emmc_unchanged = false},
};

E2E_SCENARIO_TABLE(Renew, kRenew);

}  // namespace
