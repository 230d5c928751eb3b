// Each change with the power cut again and again (box --power-cut): at a
// write or just after a flush, what was not flushed is lost, kept in part or
// torn. After every cut the box starts again as a power-on would and checks
// the recovery snapshot and what the bootloader makes of the table and both
// device trees; the next run goes on (from the journal, or from the start
// when the cut came before the point of no return) and the last one ends as
// a change that was never cut off.

#include <gtest/gtest.h>

#include <algorithm>

#include "scenario.h"

namespace {

using e2e::Reading;
using e2e::Scenario;

// A cut point (see the head of box/box) and the answers of the run after it.
struct Cut {
  std::string at, next;
};

struct Chain {
  const char *name;
  std::vector<std::string> box;
  std::string answers;
  const char *marker;
  std::vector<Cut> cuts;
  std::vector<Reading> end;
  const char *calls;  // a disk-tool call the change makes
  std::string closing;
  std::vector<std::string> checks;  // texts log/power-checks holds, in order
};

Scenario chain(const Chain &c) {
  std::vector<std::string> box = c.box;
  for (const Cut &cut : c.cuts) box.insert(box.end(), {"--power-cut", cut.at, "--again", cut.next});
  std::vector<Reading> end = c.end;
  end.push_back({.boxtool = {"power-log", "{work}"}, .lines = c.checks, .absent = {"BAD"}});
  return {.name = c.name, .box = box, .answers = c.answers, .marker = c.marker,
          .lines = {c.closing}, .calls = {c.calls}, .emmc_unchanged = false, .end = end};
}

const std::string kSuccess = "\nSuccess!\n";
const std::string kSingleDone = kSuccess + "\n\nYou can now power off the device";
const std::string kMigrated = kSuccess + "\n\nPlease remove current boot media (SD or USB) and\nreboot";
const std::string kRemoved = kSuccess + "\n\nKestrova dual boot installation got removed from eMMC!\n";

// The single-boot installation as an uncut run leaves it (see
// interrupt_scenarios.cpp), the snapshots of before whole.
std::vector<Reading> single(const std::string &preset) {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", preset, "single"}},
      {.boxtool = {"trees", "{emmc}"}, .same_as = {"expect-tree-text", preset, "single"},
       .ignore = {"phandle", "part-"}},
      {.boxtool = {"patterns", "{emmc}"}, .absent = {"BAD"}},
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = {"files", "{flash}", "0"}},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
       .same_as = {"files", "{storage}", "0"},
       .ignore = {".config/boot.hint", "backup/kvemmc/", "dual_boot_"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      {.boxtool = {"files", "{storage}", "0", "backup/kvemmc"}, .absent = {"relocation.journal"}},
  };
}

std::vector<Reading> dual_boot(const std::string &preset) {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", preset, "dual"}},
      {.boxtool = {"trees", "{emmc}"}, .same_as = {"expect-tree-text", preset, "dual"},
       .ignore = {"phandle", "part-"}},
      {.boxtool = {"patterns", "{emmc}"}, .absent = {"BAD"}},
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = {"files", "{flash}", "0"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      {.boxtool = {"files", "{emmc}", "@data"}, .same_as = {"tree-files", "android"},
       .ignore = {"kestrova_storage"}},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
       .same_as = {"files", "{storage}", "0"}, .ignore = {".config/boot.hint", "dual_boot_"}},
      {.boxtool = {"file-hash", "{emmc}", "@KV_STORAGE", "kestrova_storage/dual_boot_apt_backup.img"},
       .same_as = {"hash", "{before}", "0x2400000", "1304"}},
  };
}

// The eMMC ranges the data layout of khadas_vim3 writes: the four moves (8
// MiB each, to 4, 12, 20 and 28 MiB), KV_STORAGE and KV_FLASH.
const std::string kEnv = "0x400000+0x800000", kMisc = "0xc00000+0x800000",
                  kLogo = "0x1400000+0x800000", kDtbo = "0x1c00000+0x800000",
                  kKvStorage = "0x27400000+0x380000000", kKvFlash = "0x6c00000+0x20000000";

// Before the point of no return (the new table durable), each cut leaves the
// eMMC's table as it was and the change is asked for again; after it, every
// run goes on from the journal, from the last move it recorded: a cut in a
// later move or in the formatting is reached whether the run before it got
// its record down or not. The same points serve the installation and the
// migration, which share the relocation. The last cut comes when the change
// has ended: everything it wrote, the marker too, must be durable by then.
// `all`: every point of the snapshot and the journal's head too (the
// migration shares them with the installation and takes fewer, for time).
std::vector<Cut> data_layout_cuts(const std::string &again, bool all) {
  const std::string y = "y\\n";
  std::vector<Cut> before = {
      // the recovery snapshot, the journal's head and its rename
      {"drop:storage:1", again}, {"drop:flush-storage:1", again},
      {"subset.1:flush-storage:2", again}, {"torn:flush-storage:4", again},
      {"drop:flush-storage:6", again},
      // the reserved area, lost or torn before it was flushed
      {"drop:table:1", again}, {"torn:dtb1:1", again}, {"drop:dtb0:1", again}};
  if (!all) before = {before[2], before[4], before[5]};
  std::vector<Cut> after = {
      // the relocation: within a move, the move durable without its record,
      // the record torn
      {"drop:" + kEnv + ":4", y}, {"drop:flush-emmc:1", y}, {"torn:storage:2", y},
      {"torn:" + kMisc + ":3", y}, {"drop:" + kMisc + ":16", y}, {"subset.3:" + kLogo + ":1", y},
      {"subset.4:" + kDtbo + ":8", y},
      // the formatting and the copies
      {"drop:" + kKvStorage + ":1", y}, {"subset.5:" + kKvStorage + ":200", y},
      {"drop:" + kKvFlash + ":1", y}, {"drop:" + kKvStorage + ":700", y},
      {"torn:" + kKvFlash + ":5", y}, {"subset.7:" + kKvStorage + ":640", y},
  };
  // The migration's copy reaches fewer writes into KV_STORAGE.
  const std::vector<size_t> fewer = {0, 2, 4, 6, 7, 8, 9};
  for (size_t n = 0; n < after.size(); n++)
    if (all || std::find(fewer.begin(), fewer.end(), n) != fewer.end()) before.push_back(after[n]);
  before.push_back({"drop:end:1", y});
  return before;
}

// The userdata layout of beelink: dtbo_a to 0x50000000, odm_ext_a to
// 0x51000000, vendor_boot_a to a staging area at 0xe3c00000, boot_a to
// 0x52800000, vendor_boot_a on to 0x4b800000, then "super" (2 GiB, a record
// every 64 MiB) to 0x57000000. Its snapshot and journal are those of the
// data layout above.
std::vector<Cut> userdata_layout_cuts() {
  const std::string y = "y\\n", super = "0x57000000+0x80000000";
  return {
      {"drop:table:1", "3\\ny\\n"}, {"torn:0x50000000+0x800000:5", y},
      {"subset.11:0x51000000+0x1000000:20", y}, {"drop:0xe3c00000+0x4000000:64", y},
      {"torn:0x52800000+0x4000000:100", y}, {"subset.12:0x4b800000+0x4000000:30", y},
      {"drop:" + super + ":200", y}, {"drop:flush-emmc:5", y}, {"drop:end:1", y},
  };
}

// What log/power-checks says after the last cut, the one after the end.
std::vector<std::string> durable_at_the_end(const std::string &marker) {
  return {"cut drop:end:1:", "journal absent", "marker " + marker};
}

// A dual-boot installation checks and shrinks Android's data filesystem
// before it writes its table: every cut there leaves the factory table, and
// the installation is asked for again.
std::vector<Cut> dual_boot_cuts() {
  std::vector<Cut> cuts = {{"drop:storage:1", "1\\ny\\n"}, {"drop:flush-storage:2", "1\\ny\\n"}};
  const char *modes[] = {"drop", "subset.8", "torn"};
  for (int k = 1; k <= 25; k += 4)
    cuts.push_back({std::string(modes[k % 3]) + ":@data:" + std::to_string(k), "1\\ny\\n"});
  cuts.push_back({"drop:table:1", "1\\ny\\n"});
  cuts.push_back({"torn:dtb0:1", "1\\ny\\n"});
  return cuts;
}

// A removal writes the saved table and trees back before it touches the
// partitions: up to then each cut leaves the dual boot, and the removal is
// asked for again.
std::vector<Cut> removal_cuts() {
  std::vector<Cut> cuts = {{"drop:emmc:1", "7\\ny\\n"}, {"torn:storage:3", "7\\ny\\n"},
                           {"subset.9:storage:9", "7\\ny\\n"}, {"drop:flush-storage:1", "7\\ny\\n"},
                           {"drop:flush-storage:2", "7\\ny\\n"}, {"drop:table:1", "7\\ny\\n"},
                           {"drop:dtb0:1", "7\\ny\\n"}, {"torn:dtb1:1", "7\\ny\\n"}};
  return cuts;
}

std::vector<Scenario> rows() {
  const std::vector<std::string> khadas = {"--preset", "khadas_vim3"};
  const std::vector<std::string> dual = {"--preset", "khadas_vim3", "--state", "dual"};
  const std::vector<std::string> gxl = {"--preset", "gxl_p212"};
  const char *fresh_install = "3\\ny\\n";
  const char *migrate = "1\\ny\\n";
  return {
      chain({"SingleBootOnKhadasPowerCutTwentyTwoTimes", khadas, "3\ny\n", "KVEMMC_STARTED\n",
             data_layout_cuts(fresh_install, true), single("khadas_vim3"), "mkfs.vfat -n KV_FLASH {loop}",
             kSingleDone, durable_at_the_end("KVEMMC_NEW")}),
      chain({"MigrationOnKhadasPowerCutElevenTimes", dual, "1\ny\n", "KVEMMC_STARTED\n",
             data_layout_cuts(migrate, false), single("khadas_vim3"), "mkfs.vfat -n KV_FLASH {loop}",
             kMigrated, durable_at_the_end("KVEMMC_MIGRATE")}),
      chain({"SingleBootOnBeelinkPowerCutNineTimes", {"--preset", "beelink"}, "3\ny\n",
             "KVEMMC_STARTED\n", userdata_layout_cuts(), single("beelink"),
             "mkfs.vfat -n KV_FLASH {loop}", kSingleDone, durable_at_the_end("KVEMMC_NEW")}),
      // Between the writes of the reserved area: the new table with the old
      // trees (whose /partitions node the bootloader would lay out as the
      // factory table), then each tree new without the table.
      chain({"SingleBootOnKhadasPowerCutBetweenTheReservedWrites", khadas, "3\ny\n", "KVEMMC_NEW\n",
             {{"subset.1:dtb0:1", fresh_install}, {"subset.1:dtb1:1", fresh_install},
              {"subset.1:table:1", "y\\n"}},
             single("khadas_vim3"), "mkfs.vfat -n KV_FLASH {loop}", kSingleDone}),
      chain({"DualBootOnGxlPowerCutElevenTimes", gxl, "1\ny\n", "KVEMMC_NEW\n", dual_boot_cuts(),
             dual_boot("gxl_p212"), "mkfs.vfat -n KV_FLASH {loop}", kSuccess}),
      chain({"RemovalOnKhadasPowerCutEightTimes", dual, "7\ny\n", "KVEMMC_REMOVE\n", removal_cuts(),
             e2e::factory_state("khadas_vim3"), "e2fsck -fy {loop}", kRemoved}),
  };
}

const std::vector<Scenario> kPowerCut = rows();

E2E_SCENARIO_TABLE(PowerCut, kPowerCut);

}  // namespace
