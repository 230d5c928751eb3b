// Migrations of a dual boot to single boot (menu C 1/2/3) on the emulated
// box: every dual-boot preset with each data source, the refusals before the
// point of no return, and the failures after it, where the installation's
// data saved on the boot media serve a second run.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::dual;
using e2e::Reading;
using e2e::Scenario;

const std::string kQuestion = "\nThere is enough free space on eMMC for installation!\nContinue? [y]: ";
const std::string kBackupQuestion =
    "\nThere is enough free space on SD or USB device to make a backup of the data from eMMC.\n"
    "Continue? [y]: ";
const std::string kSuccess =
    "\nSuccess!\n\n\nPlease remove current boot media (SD or USB) and\nreboot the device to boot "
    "from eMMC!\n";
const std::string kKept =
    "The data of the eMMC installation are kept on the boot media in "
    "'/storage/backup/eMMC_backup': use them with 'existing backup' in a new run!\n";
const std::string kBackup = "backup/eMMC_backup/";
const std::vector<std::string> kFromEmmcCalls = {
    "mount -o rw {loop} /media/KV_FLASH", "mount -o rw {loop} /media/KV_STORAGE",
    "rsync -ah --info=progress2 /media/KV_FLASH/ /storage/backup/eMMC_backup/kestrova_flash.new/",
    "umount /media/KV_STORAGE", "losetup -d {loop}"};

// Where each source's data are, as the box's readers see them, and how they
// are copied.
struct Source {
  const char *menu;                 // the answer that starts it
  std::vector<std::string> box;     // what the box needs for it
  std::vector<std::string> flash;   // a reading of the data KV_FLASH gets
  std::vector<std::string> storage; // and of those kestrova_storage gets
  std::vector<std::string> copies;  // the calls of the copy
};
const std::vector<std::string> kFromBackup = {
    "rsync -ah --info=progress2 --exclude=/.kvemmc-backup-complete "
    "/storage/backup/eMMC_backup/kestrova_flash/ /media/KV_FLASH/",
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc --exclude=/.kvemmc-backup-complete "
    "/storage/backup/eMMC_backup/kestrova_storage/ /media/KV_STORAGE/kestrova_storage/"};
const Source kSources[] = {
    {"1", {}, {"files", "{flash}", "0"}, {"files", "{storage}", "0"},
     {"systemctl stop kodi", "rsync -ah --info=progress2 /flash/ /media/KV_FLASH/",
      "rsync -ah --info=progress2 --exclude=/backup/kvemmc /storage/ /media/KV_STORAGE/kestrova_storage/",
      "systemctl start kodi"}},
    {"2", {}, {"files", "{before}", "@KV_FLASH"}, {"files", "{before}", "@KV_STORAGE", "kestrova_storage"},
     kFromBackup},
    // (The box's backup holds the boot media's flash files; vfat keeps no modes.)
    {"3", {"--boot-backup"}, {"files", "{flash}", "0"},
     {"files", "{storage}", "0", kBackup + "kestrova_storage"}, kFromBackup},
};

// A single boot in the box's own model of it, the kept partitions' bytes at
// their new places, the source's data in KV_FLASH and KV_STORAGE, the
// reserved area of the dual boot in the snapshot.
std::vector<Reading> migrated(const std::string &preset, const Source &source) {
  std::vector<Reading> end = e2e::laid_out_as_modelled(preset, "single");
  end.insert(end.end(), {
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean, fills its range"}},
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = source.flash},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"}, .same_as = source.storage,
       .ignore = {".config/boot.hint", "dual_boot_", "backup/kvemmc", e2e::kBackupMark},
       .absent = {"dual_boot_", "backup/kvemmc", " " + e2e::kBackupMark + "\n"}},
      {.boxtool = {"snapshots", "{storage}"}, .same_as = {"reserved-hash", preset, "dual"}},
  });
  // The saved data are back on the eMMC: their folder goes.
  if (source.menu == std::string("2")) {
    end.push_back({.boxtool = {"files", "{storage}", "0"}, .absent = {" backup/eMMC_backup"}});
  }
  return end;
}

Scenario migration(const char *name, const std::string &preset, int source) {
  const Source &s = kSources[source];
  Scenario row{.name = name, .box = {"--preset", preset, "--state", "dual"},
               .answers = std::string(s.menu) + "\ny\n", .marker = "KVEMMC_MIGRATE\n",
               .lines = {source == 1 ? kBackupQuestion : kQuestion, e2e::kSnapshotSaved, kSuccess},
               .emmc_unchanged = false, .end = migrated(preset, s), .dry_run = true};
  row.box.insert(row.box.end(), s.box.begin(), s.box.end());
  if (source == 1) row.calls = kFromEmmcCalls;
  row.calls.push_back("systemctl stop opentee_linuxdriver.service");
  row.calls.push_back("mkfs.vfat -n KV_FLASH {loop}");
  row.calls.insert(row.calls.end(), s.copies.begin(), s.copies.end());
  return row;
}

const Scenario kMigrate[] = {
    migration("KhadasFromTheBootMedia", "khadas_vim3", 0),
    migration("KhadasFromItsOwnData", "khadas_vim3", 1),
    migration("KhadasFromABackup", "khadas_vim3", 2),
    migration("GxlFromItsOwnData", "gxl_p212", 1),

    // --- Before the point of no return: nothing written ------------------------
    {.name = "DecliningAfterMeasuringItsOwnDataUnmounts", .box = dual(),
     .answers = "2\n\n", .lines = {kBackupQuestion + "\nAborting!\n"},
     .calls = {"umount /media/KV_FLASH", "losetup -d {loop}", "umount /media/KV_STORAGE"},
     .emmc_unchanged = false, .end = {e2e::reserved_as_before()}},
    {.name = "DecliningTheBootMediaSourceWritesNothing", .box = dual(),
     .answers = "1\n\n", .lines = {kQuestion + "\nAborting!\n"},
     .calls = {"rsync --dry-run -av --out-format=%l %n --exclude=/backup/kvemmc /storage/ backup/"}},
    {.name = "AMissingBackupIsMeasuredAndRefused", .box = dual(), .answers = "3\ny\n",
     .status = 255,
     .lines = {"Failed to get used space of path '/storage/backup/eMMC_backup/kestrova_flash'!\n"
               "Failed to get used space of path '/storage/backup/eMMC_backup/kestrova_flash'!\n"},
     .absent = {"Continue?"}, .calls = {}},
    {.name = "ABootMediaWithoutRoomForItsOwnDataIsRefused",
     .box = dual({"--storage-free", "1000"}), .answers = "2\ny\n", .status = 255,
     .lines = {"Not enough free space on SD or USB device to make a backup of the data on eMMC!\n"},
     .absent = {"Continue?"}, .calls = {"umount /media/KV_FLASH"}, .emmc_unchanged = false,
     .end = {e2e::reserved_as_before()}},
    // Its own data measured against the new KV_FLASH as well, with -f 16.
    {.name = "ItsOwnDataTooBigForTheNewFlashAreRefused", .box = dual(),
     .args = {"-f", "16"}, .answers = "2\ny\n", .status = 255,
     .lines = {"New partition is too small to cover data of '/flash' from current boot device!\n"
               "Free space on 'KV_FLASH' partition: 15MB\nUsed space on '/media/KV_FLASH': "},
     .absent = {"Continue?"}, .calls = {"umount /media/KV_FLASH"}, .emmc_unchanged = false,
     .end = {e2e::reserved_as_before()}},
    // The backup is complete, the eMMC untouched: a second run migrates from it.
    {.name = "AFailedUnmountAfterTheBackupLeavesItForASecondRun",
     .box = dual({"--fail", "umount:1", "--again", "3\\ny\\n"}), .answers = "2\ny\n",
     .marker = "KVEMMC_MIGRATE\n", .lines = {"Failed to umount temporary Kestrova folder\n", kSuccess},
     .absent = {kKept},
     .calls = {"umount /media/KV_FLASH", "mkfs.vfat -n KV_FLASH {loop}", kFromBackup[0], kFromBackup[1]},
     .emmc_unchanged = false, .end = migrated("khadas_vim3", kSources[2])},

    {.name = "AFailedBackupKeepsTheDualBoot", .box = dual({"--fail", "rsync:3"}),
     .answers = "2\ny\n", .status = 255,
     .lines = {"Failed to create a backup of folder '/media/KV_FLASH' on eMMC to SD or USB device!\n"},
     .absent = {kKept, "Recovery snapshot"}, .calls = {"umount /media/KV_STORAGE", "losetup -d {loop}"},
     .emmc_unchanged = false,
     .end = {e2e::reserved_as_before(), {.boxtool = {"files", "{storage}", "0"}, .absent = {".new"}}}},

    // --- After it ---------------------------------------------------------------
    {.name = "AFailedFormattingNamesTheSavedData", .box = dual({"--fail", "mke2fs:2"}),
     .answers = "2\ny\n", .status = 255,
     .lines = {"Failed to format partition 'KV_STORAGE'!\n" + kKept},
     .calls = kFromEmmcCalls, .emmc_unchanged = false,
     .end = {{.boxtool = {"table", "{emmc}"}, .same_as = {"expect", "khadas_vim3", "single"}},
             {.boxtool = {"files", "{storage}", "0", kBackup + "kestrova_flash"},
              .same_as = {"files", "{before}", "@KV_FLASH"}, .ignore = {e2e::kBackupMark}}}},
    // Formatted, then the copy fails: the next run finishes the migration
    // from the saved data, as its journal says.
    {.name = "AFailedCopyIsFinishedByTheNextRunFromTheSavedData",
     .box = dual({"--fail", "rsync:5", "--again", "y\\n"}), .answers = "2\ny\n",
     .marker = "KVEMMC_MIGRATE\n",
     .lines = {"Failed to move data from original media to eMMC\n" + kKept,
               "was interrupted after the partitions were moved", kSuccess},
     .calls = {"mkfs.vfat -n KV_FLASH {loop}", kFromBackup[0], "umount /media/KV_FLASH",
               "mkfs.vfat -n KV_FLASH {loop}", kFromBackup[0], kFromBackup[1]},
     .emmc_unchanged = false, .end = migrated("khadas_vim3", kSources[1])},
    // A Ctrl-C at the formatting is held back until KV_FLASH is made too.
    {.name = "ACtrlCDuringTheLayoutChangeStopsTheRunAfterIt",
     .box = dual({"--signal", "mke2fs:2:INT"}), .answers = "1\ny\n", .status = 255,
     .lines = {"Stopped by signal 2 (Interrupt)"}, .absent = {"Starting copying"},
     .calls = {"mkfs.vfat -n KV_FLASH {loop}"}, .emmc_unchanged = false,
     .end = {{.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}}}},
};

E2E_SCENARIO_TABLE(Migrate, kMigrate);

}  // namespace
