// The real kvemmc binary on the emulated box (box): every preset in
// every installation state, the menus, the device gate, the help, "-v"
// against the table the box wrote, the status marker and the exit statuses;
// and the box itself: its images decode to the preset's table and trees with
// independent readers (boxtool, dtc, fdtget, gzip), a declined run leaves the
// eMMC byte for byte as it was, fault injection and the stand-ins work.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

#ifndef KVEMMC_BINARY
#error "KVEMMC_BINARY must name the kvemmc executable"
#endif
#ifndef KVEMMC_BOX_DIR
#error "KVEMMC_BOX_DIR must name the folder of the emulated box"
#endif
#ifndef KVEMMC_BOX_WORK
#error "KVEMMC_BOX_WORK must name a folder for the boxes' images"
#endif

namespace {

using namespace e2e;

const std::string kBox = std::string(KVEMMC_BOX_DIR) + "/box";
const std::string kBoxtool = std::string(KVEMMC_BOX_DIR) + "/boxtool";

// One run of kvemmc on a box.
struct BoxRun {
  std::string preset = "khadas_vim3";
  std::string state = "fresh";
  std::string running = "bootmedia";
  std::optional<std::string> dt_id;  // instead of the preset's id
  bool no_dt_id = false;
  bool snapshot = false;
  std::vector<std::string> externals;  // NAME:MIB
  std::vector<std::string> faults;     // TOOL:N[:CODE]
  std::string after;                   // shell command run in the box afterwards
  std::vector<std::string> args;       // kvemmc's options
  std::string input;                   // typed at the console
};

struct BoxResult : Process {
  fs::path work;
  std::optional<std::string> marker;  // /storage/.config/boot.hint afterwards
};

// The folder of the current test's box; removed when the test passed.
fs::path work_dir() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char &c : name)
    if (c == '/') c = '_';
  return fs::path(KVEMMC_BOX_WORK) / name;
}

BoxResult run_box(const BoxRun &run) {
  BoxResult r;
  r.work = work_dir();
  fs::remove_all(r.work);
  std::vector<std::string> argv{"/bin/bash", kBox, "--preset", run.preset, "--state", run.state,
                                "--running", run.running, "--workdir", r.work.string(),
                                "--kvemmc", KVEMMC_BINARY, "--timeout", "120"};
  if (run.dt_id) argv.insert(argv.end(), {"--dt-id", *run.dt_id});
  if (run.no_dt_id) argv.push_back("--no-dt-id");
  if (run.snapshot) argv.push_back("--snapshot");
  for (const std::string &e : run.externals) argv.insert(argv.end(), {"--external", e});
  for (const std::string &f : run.faults) argv.insert(argv.end(), {"--fail", f});
  if (!run.after.empty()) argv.insert(argv.end(), {"--after", run.after});
  argv.push_back("--");
  argv.insert(argv.end(), run.args.begin(), run.args.end());
  static_cast<Process &>(r) = run_process(argv, run.input);
  expect_clean_run(r, "box");
  if (fs::is_regular_file(r.work / "boot.hint")) r.marker = read_file(r.work / "boot.hint");
  return r;
}

// A reader of the box's: its standard output; it must succeed unless told.
std::string boxtool(std::vector<std::string> args, int expected_status = 0) {
  args.insert(args.begin(), kBoxtool);
  Process p = run_process(args, "");
  EXPECT_EQ(p.status, expected_status) << "boxtool " << args[1] << ": " << p.err;
  return p.out;
}

std::string shell(const std::string &command) {
  Process p = run_process({"/bin/sh", "-c", command}, "");
  EXPECT_EQ(p.status, 0) << command << ": " << p.err;
  return p.out;
}

std::vector<Part> layout_of(const fs::path &work) {
  std::vector<Part> parts;
  std::istringstream in(read_file(work / "layout"));
  Part p;
  while (in >> p.name >> p.offset >> p.size >> p.mask) parts.push_back(p);
  return parts;
}

class Box : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces and loop devices";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(work_dir());
  }
};

// ---------------------------------------------------------------------------
// Every preset in every state: menu, "-v", marker, untouched eMMC, and the
// box's images as independent readers see them
// ---------------------------------------------------------------------------

struct Case {
  const char *preset;
  const char *state;
  const char *running;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.preset << " " << c.state << " running from " << c.running;
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
  return std::string(info.param.preset) + "_" + info.param.state + "_" + info.param.running;
}

class EveryPresetAndState : public Box, public ::testing::WithParamInterface<Case> {};

std::string expected_menu(const Case &c) {
  const std::string state = c.state, preset = c.preset;
  if (std::string(c.running) == "emmc") return kMenuD;
  if (state == "dual") return kMenuC;
  if (state == "single") return kMenuB;
  // Menu A: dual boot needs a table without "userdata", single boot one with
  // "dtbo" or "userdata".
  if (preset == "gxl_p212") return menu_a_answered(true, false);
  if (preset == "beelink") return menu_a_answered(false, true);
  return menu_a_answered(true, true);
}

TEST_P(EveryPresetAndState, DecliningAtTheMenuShowsTheStateAndChangesNothing) {
  const Case c = GetParam();
  BoxRun run;
  run.preset = c.preset;
  run.state = c.state;
  run.running = c.running;
  run.snapshot = true;
  run.args = {"-v"};
  run.input = "\n";
  BoxResult r = run_box(run);

  // The table kvemmc read and printed is the one the box laid out.
  const std::vector<Part> parts = layout_of(r.work);
  ASSERT_FALSE(parts.empty());
  uint64_t sectors = 0;
  for (const Part &p : parts) sectors = std::max(sectors, (p.offset + p.size) / 512);
  EXPECT_EQ(r.out.find(kBanner), 0u) << r.out;
  EXPECT_NE(r.out.find(table_listing(parts)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(expected_menu(c)), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with(kAbort)) << r.out;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.marker, kStarted);

  // No disk tool ran, nothing on the eMMC changed. (Running from the eMMC,
  // the box itself mounts the installation, which touches its superblock.)
  EXPECT_EQ(read_file(r.work / "log" / "calls.log"), "");
  if (std::string(c.running) == "bootmedia") {
    EXPECT_EQ(boxtool({"compare", (r.work / "emmc.img").string(),
                       (r.work / "emmc.before.img").string()}),
              "same\n");
  }

  // The image holds the preset's table with a good checksum, every Android
  // partition's pattern, and two identical DTB copies of the preset's form.
  const std::string image = (r.work / "emmc.img").string();
  const std::string table = boxtool({"table", image});
  EXPECT_EQ(table, boxtool({"expect", c.preset, c.state}));
  EXPECT_EQ(table.rfind("table magic MPT version 01.00.00 count " +
                            std::to_string(parts.size()) + " ok\n",
                        0),
            0u)
      << table;
  const std::string patterns = boxtool({"patterns", image});
  EXPECT_EQ(patterns.find("BAD"), std::string::npos) << patterns;

  // An installation's KV_FLASH holds the boot media's files.
  if (std::string(c.state) != "fresh" && std::string(c.running) == "bootmedia") {
    uint64_t flash = 0;
    for (const Part &p : parts)
      if (p.name == "KV_FLASH") flash = p.offset;
    EXPECT_EQ(boxtool({"files", image, std::to_string(flash)}),
              boxtool({"files", (r.work / "flash.img").string(), "0"}));
  }

  const fs::path trees = r.work / "trees";
  const std::string dtb = boxtool({"dtb", image, trees.string()});
  const std::string preset = c.preset;
  const std::string form = preset == "gxl_p212"    ? "form tree compressed no marker ok"
                           : preset == "beelink"   ? "form container-v1 compressed no marker ok"
                                                   : "form container-v2 compressed yes marker none";
  const int tree_count = preset == "gxl_p212" ? 1 : preset == "beelink" ? 2 : 3;
  for (int copy = 0; copy < 2; ++copy) {
    EXPECT_NE(dtb.find("copy " + std::to_string(copy) + " " + form + " checksum ok trees " +
                       std::to_string(tree_count)),
              std::string::npos)
        << dtb;
  }
  // Every tree of both copies, unpacked and decompiled, is the preset's tree.
  const fs::path expected = r.work / "expected-trees";
  boxtool({"expect-trees", c.preset, c.state, expected.string()});
  for (int n = 0; n < tree_count; ++n) {
    const std::string t = "tree" + std::to_string(n);
    const std::string want = read_file(expected / (t + ".dts"));
    ASSERT_FALSE(want.empty());
    EXPECT_TRUE(read_file(trees / ("copy0-" + t + ".dts")) == want) << t << " of copy 0";
    EXPECT_TRUE(read_file(trees / ("copy1-" + t + ".dts")) == want) << t << " of copy 1";
  }

  // The /partitions node, read with fdtget: present on a factory box and on a
  // "userdata" box's single-boot installation, mirroring the table behind
  // "env" (the last one's size "the rest"); gone after any other installation.
  const std::string tree0 = (trees / "copy0-tree0.dtb").string();
  const bool has_node = std::string(c.state) == "fresh" || preset == "beelink";
  const std::string nodes = shell("fdtget -l " + tree0 + " / ");
  EXPECT_EQ(nodes.find("partitions\n") != std::string::npos, has_node) << nodes;
  if (has_node) {
    size_t env = 0;
    while (env < parts.size() && parts[env].name != "env") ++env;
    ASSERT_LT(env, parts.size());
    const size_t listed = parts.size() - env - 1;
    EXPECT_EQ(shell("fdtget " + tree0 + " /partitions parts"), std::to_string(listed) + "\n");
    for (size_t i = 0; i < listed; ++i) {
      const Part &p = parts[env + 1 + i];
      const std::string node = "/partitions/" + p.name;
      EXPECT_EQ(shell("fdtget " + tree0 + " " + node + " pname"), p.name + "\n");
      EXPECT_EQ(shell("fdtget " + tree0 + " /partitions part-" + std::to_string(i)),
                shell("fdtget " + tree0 + " " + node + " phandle"));
      const uint64_t size = i + 1 == listed ? ~0ull : p.size;
      char cells[64];
      std::snprintf(cells, sizeof cells, "%x %x\n", static_cast<unsigned>(size >> 32),
                    static_cast<unsigned>(size & 0xffffffffu));
      EXPECT_EQ(shell("fdtget -tx " + tree0 + " " + node + " size"), cells);
    }
  }

  // A gzip-compressed block unpacks with the gzip tool too.
  if (preset == "khadas_vim3") {
    EXPECT_EQ(shell("dd if=" + image + " bs=4096 skip=" + std::to_string((36 * MiB + 0x400000) / 4096) +
                    " count=64 status=none | gzip -dc 2>/dev/null | head -c 4"),
              "AML_");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Box, EveryPresetAndState,
    ::testing::Values(Case{"gxl_p212", "fresh", "bootmedia"}, Case{"gxl_p212", "dual", "bootmedia"},
                      Case{"gxl_p212", "dual", "emmc"}, Case{"khadas_vim3", "fresh", "bootmedia"},
                      Case{"khadas_vim3", "dual", "bootmedia"},
                      Case{"khadas_vim3", "single", "bootmedia"},
                      Case{"khadas_vim3", "single", "emmc"}, Case{"beelink", "fresh", "bootmedia"},
                      Case{"beelink", "single", "bootmedia"}, Case{"beelink", "single", "emmc"}),
    case_name);

// ---------------------------------------------------------------------------
// Help and the device gate on a box
// ---------------------------------------------------------------------------

TEST_F(Box, HelpFitsWhereTheBoxRunsFrom) {
  BoxRun run;
  run.args = {"-h"};
  BoxResult r = run_box(run);
  EXPECT_EQ(r.out, kBanner + help_text(Running::boot_media, false));
  EXPECT_EQ(r.status, 0);

  run.state = "dual";
  run.running = "emmc";
  run.args = {"--help"};
  r = run_box(run);
  EXPECT_EQ(r.out, kBanner + help_text(Running::emmc, true));
  EXPECT_EQ(r.status, 0);
}

TEST_F(Box, UnknownAndNoRecoveryDevicesAreRefused) {
  BoxRun run;
  run.dt_id = "amlogic-dt-id sm1_x96max";
  BoxResult r = run_box(run);
  EXPECT_EQ(r.out, kBanner + unsupported("amlogic-dt-id sm1_x96max\n"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);

  run.dt_id = "homatics-box-r-4k";
  r = run_box(run);
  EXPECT_EQ(r.out, kBanner + no_recovery("homatics-box-r-4k\n"));
  EXPECT_EQ(r.status, 255);

  run.dt_id.reset();
  run.no_dt_id = true;
  r = run_box(run);
  EXPECT_EQ(r.out, kBanner + unsupported(""));
  EXPECT_EQ(r.status, 255);
}

TEST_F(Box, ForcingAnUnknownDeviceAsksFirst) {
  BoxRun run;
  run.preset = "beelink";
  run.dt_id = "amlogic-dt-id sm1_x96max";
  run.args = {"-x"};
  run.input = "\n";
  BoxResult r = run_box(run);
  EXPECT_EQ(r.out, kBanner + unsupported_question("amlogic-dt-id sm1_x96max\n") + kAbort);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.marker, kStarted);

  run.input = "Y\n\n";
  r = run_box(run);
  EXPECT_NE(r.out.find(unsupported_question("amlogic-dt-id sm1_x96max\n")), std::string::npos);
  EXPECT_TRUE(r.out.ends_with(menu_a_answered(false, true) + kAbort)) << r.out;
  EXPECT_EQ(r.status, 0);
}

// ---------------------------------------------------------------------------
// The box's own machinery
// ---------------------------------------------------------------------------

// An injected failure hits exactly the chosen call; every call is logged;
// an external device gets its partition nodes, and the udevil stand-in
// mounts a vfat partition by its label, whose files reach the device.
TEST_F(Box, FaultsStandInsAndExternalDevicesWork) {
  BoxRun run;
  run.args = {"-h"};
  run.externals = {"sda:256"};
  run.faults = {"grep:2:7"};
  run.after =
      "grep -c root /etc/passwd; echo \"first $?\"; grep -c root /etc/passwd; echo \"second $?\";"
      "parted -s /dev/sda mklabel msdos mkpart primary fat32 1MiB 100MiB "
      "mkpart primary ext4 100MiB 100%;"
      "mkfs.vfat -n KESTROVA /dev/sda1 >/dev/null; mke2fs -q -L STORAGE /dev/sda2;"
      "systemctl restart udevil-mount@/dev/sda1.service;"
      "for i in 1 2 3 4 5 6 7 8 9 10; do grep -q /media/KESTROVA /proc/mounts && break; sleep 0.2; done;"
      "grep /media/KESTROVA /proc/mounts | cut -d' ' -f1,2;"
      "echo hello > /media/KESTROVA/greeting.txt; umount /media/KESTROVA; echo \"umount $?\";"
      "fw_printenv active_slot; cat /sys/block/sda/size";
  BoxResult r = run_box(run);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("1\nfirst 0\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("box: injected failure of grep (call 2, exit 7)\nsecond 7\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("/dev/sda1 /media/KESTROVA\numount 0\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("active_slot=normal\n524288\n"), std::string::npos) << r.err;

  const std::string calls = read_file(r.work / "log" / "calls.log");
  EXPECT_NE(calls.find("grep -c root /etc/passwd\ngrep -c root /etc/passwd\n"), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("systemctl restart udevil-mount@/dev/sda1.service\n"), std::string::npos);
  EXPECT_EQ(read_file(r.work / "log" / "systemctl.log"),
            "restart udevil-mount@/dev/sda1.service\n");

  // The file is on the vfat partition of the device's image (mtools reads
  // it at the partition's offset, 1 MiB).
  EXPECT_EQ(shell("MTOOLS_SKIP_CHECK=1 mtype -i " + (r.work / "ext-sda.img").string() +
                  "@@1048576 ::/greeting.txt"),
            "hello\n");
}

// Two boxes side by side: each has its own namespace, loop devices and
// images, and neither takes the other's down.
TEST_F(Box, TwoBoxesRunSideBySide) {
  const fs::path work = work_dir();
  fs::remove_all(work);
  const std::string one = (work / "one").string(), two = (work / "two").string();
  const std::string box = "/bin/bash " + kBox + " --kvemmc " + KVEMMC_BINARY + " --workdir ";
  const std::string out = shell("mkdir -p " + work.string() + "; " +
                                box + one + " --preset beelink -- -v </dev/null >" + one + ".out 2>&1 & " +
                                box + two + " --preset gxl_p212 -- -v </dev/null >" + two + ".out 2>&1 & " +
                                "wait %1; echo $?; wait %2; echo $?");
  EXPECT_EQ(out, "0\n0\n") << read_file(one + ".out") << read_file(two + ".out");
  EXPECT_NE(read_file(one + ".out").find("userdata"), std::string::npos);
  EXPECT_NE(read_file(two + ".out").find(" data  offset"), std::string::npos) << read_file(two + ".out");
}

// A program that hangs is stopped by the time limit (124), and the box is
// still torn down: no loop device of it stays attached.
TEST_F(Box, TimeLimitStopsAHangingRun) {
  const fs::path work = work_dir();
  fs::remove_all(work);
  Process p = run_process({"/bin/bash", kBox, "--workdir", work.string(), "--kvemmc",
                           "/usr/bin/sleep", "--timeout", "1", "--", "60"},
                          "");
  EXPECT_EQ(p.status, 124) << p.err;
  EXPECT_EQ(shell("losetup --list --noheadings -O BACK-FILE | grep -c -F " + work.string() +
                  " || true"),
            "0\n");
}

}  // namespace
