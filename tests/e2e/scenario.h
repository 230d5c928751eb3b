// One scenario: the real kvemmc binary run on the emulated box (box/box),
// and what must hold afterwards. Every end-to-end case is a row of this
// record in a table; `run_scenario` runs it and checks everything the row
// names.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace e2e {

// A reading of the box's images after the run, by one of the box's own
// readers (box/boxtool), independent of kvemmc. In the arguments, "{emmc}"
// stands for the eMMC image, "{before}" for its copy from before the run,
// "{storage}" and "{flash}" for the boot media's two images and "{work}" for
// the box's folder.
struct Reading {
  std::vector<std::string> boxtool;  // arguments, e.g. {"table", "{emmc}"}
  std::vector<std::string> lines;    // texts its output holds, in this order
  std::vector<std::string> same_as;  // a second reading with the same output,
  std::vector<std::string> ignore;   // but for the lines of either holding these

  std::vector<std::string> absent;   // texts its output does not hold
};

struct Scenario {
  const char *name;                // the test's name
  std::vector<std::string> box;    // the box's options (see the head of box/box)
  std::vector<std::string> args;   // kvemmc's options
  std::string answers;             // typed at the console; its end is the end of input
  int status = 0;                  // kvemmc's exit status
  const char *marker = "KVEMMC_STARTED\n";  // boot.hint afterwards; nullptr: none
  std::vector<std::string> lines;  // texts standard output holds, in this order
  std::vector<std::string> absent; // texts it does not hold
  const char *golden = nullptr;    // instead: all of standard output is this
                                   // file of tests/e2e/golden
  bool lists_layout = false;       // the output lists the table the box laid out
  // Disk-tool calls that log/calls.log holds as whole lines, in this order
  // ("{loop}" stands for any loop device, "{scratch}" for a scratch folder
  // of the tool's in /tmp); empty: no disk tool ran at all
  // (a "systemctl show" of a unit aside).
  std::vector<std::string> calls;
  // The eMMC image is byte for byte as it was before the run. (A box running
  // from the eMMC mounts the installation itself, which changes it.)
  bool emmc_unchanged = true;
  // kvemmc left no loop device attached and nothing mounted below /media.
  bool nothing_left = true;
  std::vector<Reading> end;        // the end state, as the box's readers see it
  // The box runs kvemmc with -n first, with the same answers: that run ends
  // with 0, writes nothing (eMMC, boot media, marker, external devices),
  // stops no service, runs no tool that writes, and shows a plan whose new
  // table and moves are what the real run then writes.
  bool dry_run = false;
  // The same operation as another row, on another preset: it runs only with
  // the boxes' own build (KVEMMC_BOX_BINARY), where a size or offset 32 bits
  // wide may part the presets; this machine's build takes the same path.
  bool boxes_build_only = false;
};

// The line that names the recovery snapshot, up to its time stamp.
inline const std::string kSnapshotSaved =
    "Recovery snapshot of '/dev/reserved' saved as '/storage/backup/kvemmc/reserved-";

// The file at the top of a backup folder that marks the backup complete.
inline const std::string kBackupMark = ".kvemmc-backup-complete";
// A dual boot's storage folder is emptied beside its images of the factory
// state, and its copy takes no file of their names from the source.
inline const std::string kDualEmptying =
    "find /media/KV_STORAGE/kestrova_storage -mindepth 1 -maxdepth 1 ! -name dual_boot_apt_backup.img "
    "! -name dual_boot_dtb_backup.img -exec rm -rf {} +";
inline const std::string kDualStorageCopy =
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc --exclude=/dual_boot_apt_backup.img "
    "--exclude=/dual_boot_dtb_backup.img /storage/ /media/KV_STORAGE/kestrova_storage/";
inline const std::string kDualBackupStorageCopy =
    "rsync -ah --info=progress2 --exclude=/backup/kvemmc --exclude=/.kvemmc-backup-complete "
    "--exclude=/dual_boot_apt_backup.img --exclude=/dual_boot_dtb_backup.img "
    "/storage/backup/eMMC_backup/kestrova_storage/ /media/KV_STORAGE/kestrova_storage/";

// The box's options `box`, then `more`.
inline std::vector<std::string> joined(std::vector<std::string> box,
                                       const std::vector<std::string> &more) {
  box.insert(box.end(), more.begin(), more.end());
  return box;
}
// A box with a single-boot or dual-boot installation, and `more`.
inline std::vector<std::string> single(const std::vector<std::string> &more = {}) {
  return joined({"--state", "single"}, more);
}
inline std::vector<std::string> dual(const std::vector<std::string> &more = {}) {
  return joined({"--state", "dual"}, more);
}

// Readings that the tables of several operations share.
// The table and both DTB copies are what they were before the run.
Reading reserved_as_before();
// The box as it left the factory: its table and reserved area, Android's
// files alone in a clean data partition `data`, every partition's pattern.
std::vector<Reading> factory_state(const std::string &preset, const std::string &data = "data");
// An installation laid out as the box's own model of it for `state`
// ("single" or "dual"): its table, its trees (generated phandles aside),
// every kept partition's bytes at its place.
std::vector<Reading> laid_out_as_modelled(const std::string &preset, const std::string &state);
// What a single-boot change leaves when it ends, cut off or not: the
// preset's table and trees, every kept partition's bytes in place, the data
// of its source (the boot media's by default) in both partitions, no journal.
std::vector<Reading> single_boot(const std::string &preset,
                                 std::vector<std::string> flash = {"files", "{flash}", "0"},
                                 std::vector<std::string> storage = {"files", "{storage}", "0"});

// Runs the row on a box of its own and checks it (GoogleTest expectations).
void run_scenario(const Scenario &row);

// For GoogleTest: a row's name as the test's name and in its messages.
std::string scenario_name(const Scenario &row);
void PrintTo(const Scenario &row, std::ostream *os);

}  // namespace e2e

// One test per row of `table`, named SUITE.Runs/ROW under the prefix Box.
#define E2E_SCENARIO_TABLE(SUITE, table)                                    \
  class SUITE : public ::testing::TestWithParam<e2e::Scenario> {};          \
  TEST_P(SUITE, Runs) { e2e::run_scenario(GetParam()); }                    \
  INSTANTIATE_TEST_SUITE_P(Box, SUITE, ::testing::ValuesIn(table),          \
                           [](const auto &info) { return e2e::scenario_name(info.param); })
