// Each change with the power cut again and again (box --power-cut): at a
// write or just after a flush, what was not flushed is lost, kept in part or
// torn. After every cut the box starts again as a power-on would and checks
// the recovery snapshot and what the bootloader makes of the table and both
// device trees; the next run goes on (from the journal, or from the start
// when the cut came before the point of no return) and the last one ends as
// a change that was never cut off.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::joined;
using e2e::Reading;
using e2e::Scenario;

struct Chain {
  const char *name;
  std::vector<std::string> box;
  std::string answers;              // typed at each run before the first
  std::vector<std::string> points;  // resuming point, points[resumes_from];
  size_t resumes_from;              // from there on, "y" goes on
  std::vector<Reading> end;
  std::string closing;
  const char *durable;  // the marker log/power-checks names after the last cut
  std::vector<std::string> said = {};  // texts the runs print before `closing`, in order
  const char *marker = "KVEMMC_STARTED\n";
  const char *calls = "mkfs.vfat -n KV_FLASH {loop}";  // a disk-tool call the change makes
};

// Cut points (see the head of box/box), in the order of the runs. A chain's
// points up to its first "resuming" one leave the eMMC as it was and the
// change is asked for again; from there on every run finishes the change
// from the journal. Each point is one the run reaches whatever the cut
// before it kept (a cut a run never reaches is a fault of the chain:
// power-checks says so). How the kernel merges a copy's writes depends on
// the machine's load, but no write that reaches the box is over 1 MiB: a
// cut at the Kth write to a range that a copy fills is reached when K is at
// most the range's size in MiB.
Scenario chain(const Chain &c) {
  std::vector<std::string> box = c.box, checks, lines = c.said;
  std::string again;  // the answers as the box takes them (%b escapes)
  for (const char ch : c.answers) again += ch == '\n' ? std::string("\\n") : std::string(1, ch);
  for (size_t n = 0; n < c.points.size(); n++)
    box.insert(box.end(), {"--power-cut", c.points[n], "--again", n < c.resumes_from ? again : "y\\n"});
  if (c.durable) checks = {"cut drop:end:1:", "journal absent", std::string("marker ") + c.durable};
  std::vector<Reading> end = c.end;
  end.push_back({.boxtool = {"power-log", "{work}"}, .lines = checks, .absent = {"BAD"}});
  lines.push_back(c.closing);
  return {.name = c.name, .box = box, .answers = c.answers, .marker = c.marker,
          .lines = lines, .calls = {c.calls}, .emmc_unchanged = false, .end = end};
}

const std::string kSuccess = "\nSuccess!\n";
const std::string kSingleDone = kSuccess + "\n\nYou can now power off the device";
const std::string kMigrated = kSuccess + "\n\nPlease remove current boot media (SD or USB) and\nreboot";
const std::string kRemoved = kSuccess + "\n\nKestrova dual boot installation got removed from eMMC!\n";

std::vector<Reading> dual_boot(const std::string &preset) {
  std::vector<Reading> end = e2e::laid_out_as_modelled(preset, "dual");
  end.insert(end.end(), {
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = {"files", "{flash}", "0"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      {.boxtool = {"files", "{emmc}", "@data"}, .same_as = {"tree-files", "android"},
       .ignore = {"kestrova_storage"}},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
       .same_as = {"files", "{storage}", "0"},
       .ignore = {".config/boot.hint", "backup/kvemmc", "dual_boot_"},
       .absent = {"backup/kvemmc"}},
      {.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", "kestrova_storage/dual_boot_apt_backup.img"},
       .same_as = {"hash", "{before}", "0x2400000", "1304"}},
      {.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", "kestrova_storage/dual_boot_dtb_backup.img"},
       .same_as = {"hash", "{before}", "0x2800000", "0x80000"}},
  });
  return end;
}

// The status marker (writes 1 to 6, flushes 1 to 4), the recovery snapshot
// (writes 7 to 14, then its flush and its folder's) and the journal's head
// and rename: every flush of the boot media, writes between them in each
// mode, then the first copy's write lost.
const std::vector<std::string> kSnapshotAndJournal = {
    "subset.1:storage:3",      "drop:flush-storage:1",    "drop:flush-storage:3",
    "torn.3:storage:10",       "drop:flush-storage:4",    "subset.4:flush-storage:5",
    "drop:flush-storage:6",    "torn:storage:17",         "drop:flush-storage:7",
    "subset.5:flush-storage:8", "drop:flush-storage:9",   "torn.6:storage:20",
    "drop:flush-storage:10",   "drop:flush-storage:11",   "drop:dtb0:1"};

// The eMMC ranges the data layout of khadas_vim3 writes: the four moves (8
// MiB each, to 4, 12, 20 and 28 MiB), KV_STORAGE and KV_FLASH.
const std::string kEnv = "0x400000+0x800000", kMisc = "0xc00000+0x800000",
                  kLogo = "0x1400000+0x800000", kDtbo = "0x1c00000+0x800000",
                  kKvStorage = "0x27400000+0x380000000", kKvFlash = "0x6c00000+0x20000000";

// From a first copy made durable (`begun`, the one point in a run from the
// start): the reserved area's mend, each move (within it, durable without its
// record, the record torn), the formatting (KV_STORAGE made but not recorded,
// recorded), the copy, and the end, when everything must be durable.
std::vector<std::string> data_layout_after(const std::string &begun) {
  const std::string s = kKvStorage, f = kKvFlash;
  return {begun,
          "torn:dtb1:1",           "drop:flush-emmc:2",      "subset.1:table:1",
          "drop:" + kEnv + ":4",   "drop:flush-emmc:1",      "torn:storage:6",
          "torn:" + kMisc + ":3",  "drop:" + kMisc + ":8",  "subset.3:" + kLogo + ":1",
          "subset.4:" + kDtbo + ":8", "drop:" + s + ":1",    "subset.5:" + s + ":300",
          "torn:" + s + ":600",    "drop:flush-emmc:4",      "drop:flush-storage:5",
          "drop:" + f + ":1",      "torn:" + f + ":3",       "subset.6:" + s + ":10",
          "drop:" + s + ":40",     "drop:end:1"};
}

// The userdata layout of beelink: dtbo_a to 0x50000000, odm_ext_a to
// 0x51000000, vendor_boot_a to a staging area at 0xe3c00000, boot_a to
// 0x52800000, vendor_boot_a on to 0x4b800000, then "super" (2 GiB, a record
// every 64 MiB) to 0x57000000. Its copies carry a partitions node: both go
// out without it first (dtb0:1, dtb1:1), then the table, then with it
// (dtb0:2, dtb1:2).
std::vector<std::string> userdata_layout_after() {
  const std::string s = "0xf8000000+0x64fc00000", f = "0xd7800000+0x20000000";
  return {"drop:flush-emmc:1",
          "torn:dtb1:1",
          "drop:flush-emmc:2",
          "subset.1:table:1",
          "drop:dtb0:2",
          "torn.3:dtb1:2",
          "drop:flush-emmc:5",
          "torn:0x50000000+0x800000:5",
          "subset.11:0x51000000+0x1000000:16",
          "drop:0xe3c00000+0x4000000:64",
          "torn:0x52800000+0x4000000:60",
          "subset.12:0x4b800000+0x4000000:30",
          "drop:0x57000000+0x80000000:200",
          "drop:" + s + ":1",
          "torn:" + s + ":600",
          "drop:" + f + ":1",
          "subset.6:" + s + ":10",
          "drop:end:1"};
}

// A migration with the data on the eMMC first saves them to the boot media:
// cuts within that copy and at each flush after it.
const std::vector<std::string> kSavedDataSnapshotAndJournal = {
    "subset.1:storage:3",     "drop:flush-storage:1",
    "drop:flush-storage:3",   "torn:storage:30",          "subset.2:storage:150",
    "drop:storage:200",       "drop:flush-storage:5",     "torn.4:flush-storage:6",
    "drop:flush-storage:8",   "subset.3:flush-storage:9", "drop:flush-storage:11",
    "torn:flush-storage:13",  "drop:flush-storage:15",    "drop:dtb0:1"};

// A dual-boot installation checks and shrinks Android's data filesystem
// before it writes its table: every cut there leaves the factory table, and
// the installation is asked for again. From a cut within the resize on, each
// start first checks and resizes the filesystem again (the cuts that follow
// fall there), then the installation goes on; at the end its trees are
// written but not its table.
const std::vector<std::string> kDualBoot = {
    "drop:storage:1",      "subset.1:storage:3",   "drop:flush-storage:1", "torn:storage:4",
    "subset.2:flush-storage:2", "drop:flush-storage:3", "torn.3:storage:6", "drop:flush-storage:4",
    "drop:flush-emmc:1",   "subset.4:storage:10",  "torn:storage:14",      "drop:flush-storage:5",
    "subset.5:storage:15", "drop:flush-storage:6", "drop:flush-emmc:2",    "drop:flush-emmc:3",
    "drop:@data:1",        "torn:@data:2",         "drop:flush-emmc:4",    "subset.6:@data:3",
    "drop:flush-emmc:5",   "drop:flush-emmc:7",    "torn.2:@data:4",       "drop:flush-emmc:9",
    "subset.7:@data:6",    "drop:@data:10",        "torn:@data:20",        "subset.8:@data:26",
    "drop:flush-emmc:13",  "drop:@data:8",         "drop:dtb0:1",          "drop:table:1"};

// A removal writes the saved table and trees back before it touches the
// partitions: up to its journal and a first write of copy 0 each cut leaves
// the dual boot, and the removal is asked for again. From there on each run
// finishes it from the journal: the reserved area again (its copies carry a
// node, so both go out without one first, dtb0:1 and dtb1:1, then the table,
// then dtb0:2 and dtb1:2), Kestrova's folder deleted, Android's data
// checked (about @data:12) and grown (from about @data:20).
const std::vector<std::string> kRemoval = {
    "subset.1:storage:2",   "drop:flush-storage:1", "torn.2:storage:5",     "drop:flush-storage:4",
    "drop:flush-emmc:1",    "drop:flush-emmc:2",    "torn:@data:1",         "drop:flush-emmc:3",
    "subset.4:storage:9",   "torn.3:storage:11",    "subset.5:storage:14",  "drop:flush-storage:5",
    "torn.4:storage:15",    "drop:flush-storage:6", "drop:flush-storage:8", "drop:flush-storage:10",
    "drop:dtb0:1",          "torn:dtb0:1",          "drop:flush-emmc:1",    "torn.5:dtb1:1",
    "drop:table:1",         "drop:flush-emmc:3",    "torn:dtb0:2",          "subset.8:dtb1:2",
    "drop:flush-emmc:5",    "drop:@data:3",         "torn:@data:11",        "drop:@data:14",
    "subset.9:@data:20",    "torn:@data:30",        "drop:@data:36",        "drop:storage:8",
    "drop:end:1"};
const size_t kRemovalResumesFrom = 17;  // after torn:dtb0:1

std::vector<Scenario> rows() {
  const std::vector<std::string> khadas = {"--preset", "khadas_vim3"};
  const std::vector<std::string> dual = {"--preset", "khadas_vim3", "--state", "dual"};
  const std::vector<std::string> from_boot_media =
      joined(kSnapshotAndJournal, data_layout_after("drop:flush-emmc:1"));
  const size_t begun = kSnapshotAndJournal.size();
  // The eMMC's own data come back from their copy on the boot media.
  const std::vector<Reading> from_emmc =
      e2e::single_boot("khadas_vim3", {"files", "{before}", "@KV_FLASH"},
                       {"files", "{before}", "@KV_STORAGE", "kestrova_storage"});
  const std::vector<Reading> from_backup = e2e::single_boot(
      "khadas_vim3", {"files", "{flash}", "0"}, {"files", "{storage}", "0", "backup/eMMC_backup/kestrova_storage"});
  return {
      chain({"SingleBootOnKhadas", khadas, "3\ny\n", from_boot_media, begun,
             e2e::single_boot("khadas_vim3"), kSingleDone, "KVEMMC_NEW"}),
      chain({"SingleBootOnBeelink", {"--preset", "beelink"}, "3\ny\n",
             joined(kSnapshotAndJournal, userdata_layout_after()), begun,
             e2e::single_boot("beelink"), kSingleDone, "KVEMMC_NEW"}),
      chain({"MigrationWithTheBootMediasData", dual, "1\ny\n", from_boot_media, begun,
             e2e::single_boot("khadas_vim3"), kMigrated, "KVEMMC_MIGRATE"}),
      chain({"MigrationWithTheEmmcsData", dual, "2\ny\n",
             joined(kSavedDataSnapshotAndJournal, data_layout_after("drop:dtb1:1")),
             kSavedDataSnapshotAndJournal.size(), from_emmc, kMigrated, "KVEMMC_MIGRATE"}),
      chain({"MigrationWithABackupsData", joined(dual, {"--boot-backup"}), "3\ny\n",
             from_boot_media, begun, from_backup, kMigrated, "KVEMMC_MIGRATE"}),
      chain({"DualBootOnGxl", {"--preset", "gxl_p212"}, "1\ny\n", kDualBoot, kDualBoot.size(),
             dual_boot("gxl_p212"), kSuccess, nullptr,
             {"was being resized when the run before was cut off: it is checked and resized to",
              "before its partition table: Android's own are kept from the snapshot"},
             "KVEMMC_NEW\n"}),
      chain({"RemovalOnKhadas", dual, "7\ny\n", kRemoval, kRemovalResumesFrom,
             e2e::factory_state("khadas_vim3"), kRemoved, "KVEMMC_REMOVE",
             {"A removal of a dual boot installation was interrupted while Android's partition "
              "table and device trees were written.\n\nFinish it now?",
              "A removal of a dual boot installation was interrupted after Android's partition "
              "table was written: Kestrova's data are still to be deleted and Android's data "
              "filesystem to be grown.\n\nFinish it now?"},
             "KVEMMC_STARTED\n", "e2fsck -fy {loop}"}),
  };
}

const std::vector<Scenario> kPowerCut = rows();

E2E_SCENARIO_TABLE(PowerCut, kPowerCut);

}  // namespace
