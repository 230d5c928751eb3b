// A single-boot change cut off by SIGKILL (a pulled power cord, a crash) at
// points spread over its relocation, then finished by the next run from the
// boot media: each time the end state is that of a run that was never cut
// off, as the box's own readers see it. And the journal that makes this
// possible, damaged or out of step with the eMMC: used only when it is sound.

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using e2e::Reading;
using e2e::Scenario;

constexpr uint64_t MiB = 1 << 20;
const std::string kAsk = "\nFinish it now?\nContinue? [y]: ";
const std::string kSuccess = "\nSuccess!\n";
const std::string kJournal = "backup/kvemmc/relocation.journal";

// What the change would have left without the interruption: the preset's
// single-boot table and trees, every kept partition's bytes in place, the
// boot media's data in both partitions, no journal.
std::vector<Reading> finished(const std::string &preset) {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", preset, "single"}},
      {.boxtool = {"trees", "{emmc}"},
       .same_as = {"expect-tree-text", preset, "single"},
       .ignore = {"phandle", "part-"}},
      {.boxtool = {"patterns", "{emmc}"}, .absent = {"BAD"}},
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = {"files", "{flash}", "0"}},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"},
       .same_as = {"files", "{storage}", "0"},
       .ignore = {".config/boot.hint", "backup/kvemmc", "dual_boot_"}, .absent = {"backup/kvemmc"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      {.boxtool = {"files", "{storage}", "0", "backup/kvemmc"}, .absent = {"relocation.journal"}},
  };
}

// One change cut off again and again: each run, the first and every one
// that goes on from the journal, ends at its own point: after so many bytes
// of the relocation written to the eMMC by that run (in the middle of a
// write), or just before its Nth journal record (after the eMMC writes the
// record speaks of). The last run finishes.
struct Chain {
  const char *name;
  std::vector<std::string> box;
  std::string answers;
  const char *marker;
  std::vector<std::string> cuts;
};

// So many MiB and `odd` bytes more (or fewer).
std::string bytes(double mib, int64_t odd = 0) {
  return "bytes:" + std::to_string(static_cast<int64_t>(mib * MiB) + odd);
}
std::string record(int n) { return "record:" + std::to_string(n); }

// Records fall at the end of each copy and every 64 MiB within one. The
// data layout moves four partitions of 8 MiB (records at 8, 16, 24, 32 MiB);
// the userdata layout six copies: dtbo_a (to 8), odm_ext_a (24), vendor_boot_a
// to a staging area (88), boot_a (152), vendor_boot_a on (216), then
// "super", 2 GiB over its own old place (every 64 MiB up to 2264). The
// comments give where each run's end falls in the whole relocation.
const std::vector<std::string> kDataLayoutCuts = {
    bytes(3, 5) /* 3 */, bytes(9.5) /* 9.5 */, bytes(2.1) /* 10.1 */, bytes(8.7) /* 16.7 */,
    record(1) /* 24, unrecorded */, bytes(5, 3) /* 21 */, bytes(8.2) /* 24.2 */,
    bytes(7.9) /* 31.9 */, record(1) /* 32, unrecorded */};
const std::vector<std::string> kSuperCuts = {
    bytes(4) /* 4 */, bytes(30) /* 30, staging */, bytes(40, 777) /* 64, staging */,
    record(1) /* 88, staged, unrecorded */, bytes(100) /* 124 */, bytes(150) /* 238 */,
    bytes(300, 4096) /* 516 */, bytes(500) /* 972 */, bytes(700) /* 1620 */, bytes(641) /* 2201 */,
    bytes(63) /* 2263 */};

Scenario cut_off(const Chain &c) {
  std::vector<std::string> box = c.box;
  std::vector<std::string> lines = {e2e::kSnapshotSaved};
  for (const std::string &cut : c.cuts) {
    box.insert(box.end(), {"--kill-at", cut, "--again", "y\\n"});
    lines.push_back(" was interrupted ");
    lines.push_back(kAsk);
  }
  // The finished change ends as the change itself would have.
  lines.push_back(kSuccess + (c.marker == std::string("KVEMMC_MIGRATE\n")
                                  ? "\n\nPlease remove current boot media (SD or USB) and\nreboot"
                                  : "\n\nYou can now power off the device, remove the used boot"));
  return {.name = c.name,
          .box = box,
          .answers = c.answers,
          .marker = c.marker,
          .lines = lines,
          .calls = {"mkfs.vfat -n KV_FLASH {loop}"},
          .emmc_unchanged = false,
          .end = finished(c.box[1])};
}

std::vector<Scenario> rows() {
  const std::vector<std::string> beelink = {"--preset", "beelink"};
  const std::vector<std::string> khadas = {"--preset", "khadas_vim3"};
  const std::vector<std::string> dual = {"--preset", "khadas_vim3", "--state", "dual"};
  // One chain per change, each with a cut in every kind of place: in the
  // middle of a write, just before a record, just after one, in the staging
  // area and over a partition's own old place.
  std::vector<Scenario> all = {
      cut_off({"SuperOnBeelinkCutElevenTimes", beelink, "3\ny\n", "KVEMMC_NEW\n", kSuperCuts}),
      cut_off({"DataLayoutOnKhadasCutNineTimes", khadas, "3\ny\n", "KVEMMC_NEW\n", kDataLayoutCuts}),
      cut_off({"MigrationOnKhadasCutNineTimes", dual, "1\ny\n", "KVEMMC_MIGRATE\n", kDataLayoutCuts}),
  };

  // --- The journal damaged, or out of step with the eMMC --------------------
  const std::vector<std::string> cut = {"--preset", "khadas_vim3", "--kill-at", "record:3"};
  const std::string journal = "/storage/" + kJournal;
  auto with = [&](std::vector<std::string> box, const std::string &between) {
    box.insert(box.end(), {"--between", between, "--again", "y\\n"});
    return box;
  };
  // A torn last record, or one whose bytes went bad, is left out: the run
  // goes on from the one before.
  auto resumed_before_it = [&](const char *name, const std::string &between) {
    return Scenario{
        .name = name,
        .box = with(cut, between),
        .answers = "3\ny\n",
        .marker = "KVEMMC_NEW\n",
        .lines = {"interrupted while moving partition 'misc' (copy 2 of 4, 0 of 8 MiB done)", kAsk,
                  kSuccess},
        .calls = {"mkfs.vfat -n KV_FLASH {loop}"},
        .emmc_unchanged = false,
        .end = finished("khadas_vim3")};
  };
  all.push_back(resumed_before_it("ATornLastRecordIsLeftOut", "truncate -s -4090 " + journal));
  all.push_back(resumed_before_it("ADamagedLastRecordIsLeftOut",
                                  "printf X | dd of=" + journal + " bs=1 seek=$(( $(stat -c %s " +
                                      journal + ") - 4096 + 20 )) conv=notrunc 2>/dev/null"));
  // A journal whose head went bad is never used: nothing is finished, the
  // menu follows (and its answer "y" is no choice).
  all.push_back(
      {.name = "AJournalThatFailsItsChecksChangesNothing",
       .box = with(cut, "printf X | dd of=" + journal + " bs=1 seek=100 conv=notrunc 2>/dev/null"),
       .answers = "3\ny\n",
       .lines = {"The relocation journal '/storage/" + kJournal +
                     "' fails its checks (its head is damaged): it is not used!\n"
                     "Nothing of it is done; delete the file to go on without it.\n",
                 "\033[1mExisting Kestrova single boot installation found on eMMC\033[0m",
                 "\nAborting!\n"},
       .absent = {kAsk},
       .calls = {"systemctl stop opentee_linuxdriver.service"},
       .emmc_unchanged = false,
       .end = {{.boxtool = {"files", "{storage}", "0", "backup/kvemmc"},
                .lines = {"relocation.journal"}}}});
  // Cut off before the table was written: the journal speaks of a table
  // that is not on the eMMC; it is named with the snapshot and nothing is
  // done (the box is as it left the factory).
  all.push_back({.name = "AJournalOfATableNeverWrittenChangesNothing",
                 .box = {"--preset", "khadas_vim3", "--kill-at", "reserved:1", "--again", "\\n"},
                 .answers = "3\ny\n",
                 .lines = {"\nThe relocation journal '/storage/" + kJournal +
                               "' of an interrupted single boot installation does not match the "
                               "partition table on the eMMC: nothing of it is done.\nThe reserved "
                               "area (table and device trees) from before that change is in "
                               "'/storage/backup/kvemmc/reserved-",
                           "\033[1mNo Kestrova installation found on eMMC\033[0m", "\nAborting!\n"},
                 .calls = {"systemctl stop opentee_linuxdriver.service"},
                 .emmc_unchanged = false,
                 .end = e2e::factory_state("khadas_vim3")});
  // The journal cannot be made durable (its folder's fsync fails): nothing
  // is written to the eMMC, and the journal left behind is not offered as
  // the record of a change.
  all.push_back(
      {.name = "AJournalThatCannotBeWrittenChangesNothing",
       .box = {"--preset", "khadas_vim3", "--kill-at", "folder-sync-fails:2"},
       .answers = "3\ny\n",
       .status = 255,
       .lines = {"Failed to write the relocation journal '/storage/" + kJournal +
                     "': Input/output error!\nFailed to write the journal of the change: the eMMC "
                     "was not changed!\n",
                 "The journal '/storage/" + kJournal +
                     "' is left on the boot media, but the partition table on the eMMC is not "
                     "the one it records: start kvemmc again from the boot media to see what "
                     "is left.\n"},
       .absent = {"Failed to move partitions", "The change is recorded"},
       .calls = {"systemctl stop opentee_linuxdriver.service"},
       .end = {e2e::reserved_as_before()}});
  // A record that cannot be written (a failing boot media) ends the journal,
  // not the relocation: the change is finished without it and no journal
  // is left.
  all.push_back({.name = "ARecordThatCannotBeWrittenEndsTheJournalNotTheMove",
                 .box = {"--preset", "khadas_vim3", "--kill-at", "record-fails:2"},
                 .answers = "3\ny\n",
                 .marker = "KVEMMC_NEW\n",
                 .lines = {"Failed to record the progress of the relocation in its journal!\n"
                           "Warning: the journal can no longer follow the relocation: it is "
                           "removed, and the partitions are moved to the end without it.",
                           kSuccess},
                 .absent = {"Failed to move"},
                 .calls = {"mkfs.vfat -n KV_FLASH {loop}"},
                 .emmc_unchanged = false,
                 .end = finished("khadas_vim3")});
  // The reserved area's write cut off, or spoilt after it: every region that
  // differs from the journal's is written again, then the change finishes.
  const std::string reserved = "dd of=/dev/reserved conv=notrunc,fsync status=none ";
  auto mended = [&](const char *name, std::vector<std::string> box) {
    return Scenario{.name = name,
                    .box = box,
                    .answers = "3\ny\n",
                    .marker = "KVEMMC_NEW\n",
                    .lines = {"Writing the partition table and both device trees of the change again",
                              kSuccess},
                    .calls = {"mkfs.vfat -n KV_FLASH {loop}"},
                    .emmc_unchanged = false,
                    .end = finished("khadas_vim3")};
  };
  const std::vector<std::string> khadas_cut = {"--preset", "khadas_vim3", "--kill-at"};
  auto cut_at = [&](const std::string &at) {
    std::vector<std::string> box = khadas_cut;
    box.push_back(at);
    return box;
  };
  all.push_back(mended("CopyZeroWrittenCopyOneNotIsMended",
                       with(cut_at("reserved:2"), "true")));
  all.push_back(mended("ATableTornAfterBothTreesIsMended",
                       with(cut_at("reserved:3"), "head -c 700 /dev/zero | tr '\\0' X | " +
                                                      reserved + "bs=700 count=1")));
  all.push_back(mended("AnOldCopyOneBehindANewTableIsMended",
                       with(cut_at("record:1"), reserved +
                                                    "if=$(ls /storage/backup/kvemmc/reserved-*.img) "
                                                    "bs=256K skip=17 seek=17 count=1")));
  // Cut off after KV_FLASH's copy was recorded: only KV_STORAGE is filled.
  all.push_back(mended("AResumeRedoesOnlyTheCopyLeft", with(cut_at("record:8"), "true")));
  all.back().lines = {"interrupted after the partitions were moved: KV_STORAGE is still to be "
                      "filled.\n" + kAsk,
                      "Copy all data from '/storage'", kSuccess};
  all.back().nothing_left = false;  // the run killed while it had KV_* mounted
  // A journal in front of an eMMC it does not belong to, or of a change the
  // eMMC shows as complete (cut off after the mark, before the journal went):
  // refused before the question, nothing changes, the menu follows.
  auto refused = [&](const char *name, std::vector<std::string> box, const std::string &why) {
    return Scenario{.name = name,
                    .box = box,
                    .answers = "3\ny\n",
                    .lines = {why, "reserved area (table and device trees) from before that change",
                              "\nAborting!\n"},
                    .absent = {kAsk},
                    .calls = {"systemctl stop opentee_linuxdriver.service"},
                    .emmc_unchanged = false,
                    .end = {{.boxtool = {"files", "{storage}", "0", "backup/kvemmc"},
                             .lines = {"relocation.journal"}}}};
  };
  all.push_back(refused("AJournalOfAnotherEmmcChangesNothing",
                        with(cut, "echo 150100424a54443452000aa3e1a8e7e9 > "
                                  "/sys/block/mmcblk0/device/cid"),
                        "' was written on another eMMC (CID "));
  // Records 1-4 are the four copies, 5-8 the filesystems and copies, 9 the mark's.
  all.push_back(refused("AChangeTheEmmcShowsCompleteIsNotDoneAgain",
                        with(cut_at("record:9"), "true"),
                        "' speaks of a single boot installation that the eMMC shows as complete"));
  all.back().nothing_left = false;  // the run killed while it had KV_* mounted
  all.back().end = finished("khadas_vim3");
  all.back().end.back() = {.boxtool = {"files", "{storage}", "0", "backup/kvemmc"},
                           .lines = {"relocation.journal"}};
  return all;
}

const std::vector<Scenario> kInterrupted = rows();

E2E_SCENARIO_TABLE(Interrupted, kInterrupted);

}  // namespace
