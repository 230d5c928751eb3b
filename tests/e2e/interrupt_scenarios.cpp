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

// The base of the rows a run finishes: the eMMC changed as an uncut run
// changes it.
Scenario finishing(const char *name, std::vector<std::string> box, std::vector<std::string> lines,
                   const std::string &answers = "3\ny\n", const char *marker = "KVEMMC_NEW\n") {
  const std::string preset = box[1];
  return {.name = name, .box = std::move(box), .answers = answers, .marker = marker,
          .lines = std::move(lines), .calls = {"mkfs.vfat -n KV_FLASH {loop}"},
          .emmc_unchanged = false, .end = e2e::single_boot(preset)};
}

// One change cut off again and again: each run, the first and every one
// that goes on from the journal, ends at its own point: after so many bytes
// of the relocation written to the eMMC by that run (in the middle of a
// write), or just before its Nth journal record (after the eMMC writes the
// record speaks of). The last run finishes.
Scenario cut_off(const char *name, std::vector<std::string> box, const std::string &answers,
                 const char *marker, const std::vector<std::string> &cuts) {
  std::vector<std::string> lines = {e2e::kSnapshotSaved};
  for (const std::string &cut : cuts) {
    box.insert(box.end(), {"--kill-at", cut, "--again", "y\\n"});
    lines.insert(lines.end(), {" was interrupted ", kAsk});
  }
  // The finished change ends as the change itself would have.
  lines.push_back(kSuccess + (marker == std::string("KVEMMC_MIGRATE\n")
                                  ? "\n\nPlease remove current boot media (SD or USB) and\nreboot"
                                  : "\n\nYou can now power off the device, remove the used boot"));
  return finishing(name, box, lines, answers, marker);
}

std::vector<Scenario> rows() {
  const std::vector<std::string> beelink = {"--preset", "beelink"};
  const std::vector<std::string> khadas = {"--preset", "khadas_vim3"};
  const std::vector<std::string> dual = {"--preset", "khadas_vim3", "--state", "dual"};
  // One chain per change, each with a cut in every kind of place: in the
  // middle of a write, just before a record, just after one, in the staging
  // area and over a partition's own old place.
  std::vector<Scenario> all = {
      cut_off("SuperOnBeelinkCutElevenTimes", beelink, "3\ny\n", "KVEMMC_NEW\n", kSuperCuts),
      cut_off("DataLayoutOnKhadasCutNineTimes", khadas, "3\ny\n", "KVEMMC_NEW\n", kDataLayoutCuts),
      cut_off("MigrationOnKhadasCutNineTimes", dual, "1\ny\n", "KVEMMC_MIGRATE\n", kDataLayoutCuts),
  };

  // --- The journal damaged, or out of step with the eMMC --------------------
  const std::string journal = "/storage/" + kJournal;
  // khadas_vim3 killed at `at`, and `between` run before the next start.
  auto kill = [&](const std::string &at, const std::string &between = "") {
    std::vector<std::string> box = {"--preset", "khadas_vim3", "--kill-at", at};
    if (!between.empty()) box.insert(box.end(), {"--between", between, "--again", "y\\n"});
    return box;
  };
  // The journal left as it was, refused before the question; the menu follows.
  const auto refused = [&](const char *name, std::vector<std::string> box,
                           std::vector<std::string> lines) {
    return Scenario{.name = name, .box = std::move(box), .answers = "3\ny\n",
                    .lines = std::move(lines), .absent = {kAsk},
                    .calls = {"systemctl stop opentee_linuxdriver.service"},
                    .emmc_unchanged = false,
                    .end = {{.boxtool = {"files", "{storage}", "0", "backup/kvemmc"},
                             .lines = {"relocation.journal"}}}};
  };
  // A torn last record, or one whose bytes went bad, is left out: the run
  // goes on from the one before.
  const std::vector<std::string> before_it = {
      "interrupted while moving partition 'misc' (copy 2 of 4, 0 of 8 MiB done)", kAsk, kSuccess};
  all.push_back(finishing("ATornLastRecordIsLeftOut",
                          kill("record:3", "truncate -s -4090 " + journal), before_it));
  all.push_back(finishing("ADamagedLastRecordIsLeftOut",
                          kill("record:3", "printf X | dd of=" + journal +
                                               " bs=1 seek=$(( $(stat -c %s " + journal +
                                               ") - 4096 + 20 )) conv=notrunc 2>/dev/null"),
                          before_it));
  // A journal whose head went bad is never used: nothing is finished, the
  // menu follows (and its answer "y" is no choice).
  all.push_back(refused(
      "AJournalThatFailsItsChecksChangesNothing",
      kill("record:3", "printf X | dd of=" + journal + " bs=1 seek=100 conv=notrunc 2>/dev/null"),
      {"The relocation journal '/storage/" + kJournal +
           "' fails its checks (its head is damaged): it is not used!\n"
           "Nothing of it is done; delete the file to go on without it.\n",
       "\033[1mExisting Kestrova single boot installation found on eMMC\033[0m", "\nAborting!\n"}));
  // Cut off before the table was written: the journal speaks of a table
  // that is not on the eMMC; it is named with the snapshot and nothing is
  // done (the box is as it left the factory).
  all.push_back(refused("AJournalOfATableNeverWrittenChangesNothing",
                        {"--preset", "khadas_vim3", "--kill-at", "reserved:1", "--again", "\\n"},
                        {"\nThe relocation journal '/storage/" + kJournal +
                             "' of an interrupted single boot installation does not match the "
                             "partition table on the eMMC: nothing of it is done.\nThe reserved "
                             "area (table and device trees) from before that change is in "
                             "'/storage/backup/kvemmc/reserved-",
                         "\033[1mNo Kestrova installation found on eMMC\033[0m", "\nAborting!\n"}));
  all.back().absent = {};
  all.back().end = e2e::factory_state("khadas_vim3");
  // The journal cannot be made durable (its folder's fsync fails): nothing
  // is written to the eMMC, and the journal left behind is not offered as
  // the record of a change.
  all.push_back(refused(
      "AJournalThatCannotBeWrittenChangesNothing", kill("folder-sync-fails:2"),
      {"Failed to write the relocation journal '/storage/" + kJournal +
           "': Input/output error!\nFailed to write the journal of the change: the eMMC "
           "was not changed!\n",
       "The journal '/storage/" + kJournal +
           "' is left on the boot media, but the partition table on the eMMC is not "
           "the one it records: start kvemmc again from the boot media to see what "
           "is left.\n"}));
  all.back().status = 255;
  all.back().absent = {"Failed to move partitions", "The change is recorded"};
  all.back().emmc_unchanged = true;
  all.back().end = {e2e::reserved_as_before()};
  // A record that cannot be written (a failing boot media) ends the journal,
  // not the relocation: the change is finished without it and no journal
  // is left.
  all.push_back(finishing("ARecordThatCannotBeWrittenEndsTheJournalNotTheMove",
                          kill("record-fails:2"),
                          {"Failed to record the progress of the relocation in its journal!\n"
                           "Warning: the journal can no longer follow the relocation: it is "
                           "removed, and the partitions are moved to the end without it.",
                           kSuccess}));
  all.back().absent = {"Failed to move"};
  // The reserved area's write cut off, or spoilt after it: every region that
  // differs from the journal's is written again, then the change finishes.
  const std::string reserved = "dd of=/dev/reserved conv=notrunc,fsync status=none ";
  const std::vector<std::string> mended = {
      "Writing the partition table and both device trees of the change again", kSuccess};
  all.push_back(finishing("CopyZeroWrittenCopyOneNotIsMended", kill("reserved:2", "true"), mended));
  all.push_back(finishing("ATableTornAfterBothTreesIsMended",
                          kill("reserved:3", "head -c 700 /dev/zero | tr '\\0' X | " + reserved +
                                                 "bs=700 count=1"),
                          mended));
  all.push_back(finishing("AnOldCopyOneBehindANewTableIsMended",
                          kill("record:1", reserved +
                                               "if=$(ls /storage/backup/kvemmc/reserved-*.img) "
                                               "bs=256K skip=17 seek=17 count=1"),
                          mended));
  // Cut off after KV_FLASH's copy was recorded: only KV_STORAGE is filled.
  all.push_back(finishing("AResumeRedoesOnlyTheCopyLeft", kill("record:8", "true"),
                          {"interrupted after the partitions were moved: KV_STORAGE is still to "
                           "be filled.\n" + kAsk,
                           "Copy all data from '/storage'", kSuccess}));
  all.back().nothing_left = false;  // the run killed while it had KV_* mounted
  // A journal in front of an eMMC it does not belong to, or of a change the
  // eMMC shows as complete (cut off after the mark, before the journal went):
  // refused, with the snapshot named, and nothing changes.
  const auto named = [](const std::string &why) {
    return std::vector<std::string>{
        why, "reserved area (table and device trees) from before that change", "\nAborting!\n"};
  };
  all.push_back(refused("AJournalOfAnotherEmmcChangesNothing",
                        kill("record:3", "echo 150100424a54443452000aa3e1a8e7e9 > "
                                         "/sys/block/mmcblk0/device/cid"),
                        named("' was written on another eMMC (CID ")));
  // Records 1-4 are the four copies, 5-8 the filesystems and copies, 9 the mark's.
  all.push_back(refused("AChangeTheEmmcShowsCompleteIsNotDoneAgain", kill("record:9", "true"),
                        named("' speaks of a single boot installation that the eMMC shows as "
                              "complete")));
  all.back().nothing_left = false;  // the run killed while it had KV_* mounted
  const Reading kept = all.back().end.back();
  all.back().end = e2e::single_boot("khadas_vim3");
  all.back().end.back() = kept;
  return all;
}

const std::vector<Scenario> kInterrupted = rows();

E2E_SCENARIO_TABLE(Interrupted, kInterrupted);

}  // namespace
