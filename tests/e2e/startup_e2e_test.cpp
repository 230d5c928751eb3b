// End-to-end runs of the kvemmc binary: start-up checks, device gate, help,
// menus and the status marker, each run inside a throw-away box (see the
// script "sandbox" beside this file) that provides the device id, the eMMC
// size, the reserved partition and /storage of a pretend TV box.
//
// The partition tables are encoded here byte by byte, independently of the
// tool's own code.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"

#ifndef KVEMMC_BINARY
#error "KVEMMC_BINARY must name the kvemmc executable"
#endif
#ifndef KVEMMC_SANDBOX
#error "KVEMMC_SANDBOX must name the sandbox script"
#endif

namespace {

using namespace e2e;

// ---------------------------------------------------------------------------
// Partition tables, encoded by hand (1304 bytes, little-endian)
// ---------------------------------------------------------------------------

constexpr size_t kTableSize = 1304;
constexpr size_t kEntriesOffset = 24;
constexpr size_t kEntrySize = 40;

void put_u32(std::string &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void put_u64(std::string &b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t get_u32(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

struct Table {
  explicit Table(std::vector<Part> in_use) : parts(std::move(in_use)) {}

  std::vector<Part> parts;        // slots 0 .. parts.size() - 1
  std::map<int, Part> stray;      // slots written beyond part_num
  std::string magic{"MPT\0", 4};  // first four bytes
  std::optional<uint32_t> part_num;
  uint32_t checksum_delta = 0;  // added to the correct checksum

  uint32_t count() const { return part_num.value_or(static_cast<uint32_t>(parts.size())); }

  // The checksum as the vendor bootloader computes it: part_num times the sum
  // of the ten words of slot 0.
  uint32_t correct_checksum(const std::string &b) const {
    uint32_t words = 0;
    for (size_t i = 0; i < 10; ++i) words += get_u32(b, kEntriesOffset + 4 * i);
    return static_cast<uint32_t>(count() * words);
  }

  std::string bytes(size_t device_size = 4096) const {
    std::string b(kTableSize, '\0');
    b.replace(0, 4, magic.substr(0, 4));
    b.replace(4, 8, "01.00.00");
    put_u32(b, 16, count());
    auto put_entry = [&b](size_t slot, const Part &p) {
      size_t at = kEntriesOffset + slot * kEntrySize;
      b.replace(at, std::min<size_t>(p.name.size(), 16), p.name.substr(0, 16));
      put_u64(b, at + 16, p.size);
      put_u64(b, at + 24, p.offset);
      put_u64(b, at + 32, p.mask);
    };
    for (size_t i = 0; i < parts.size(); ++i) put_entry(i, parts[i]);
    for (const auto &[slot, p] : stray) put_entry(static_cast<size_t>(slot), p);
    put_u32(b, 20, correct_checksum(b) + checksum_delta);
    b.resize(std::max(device_size, kTableSize), '\0');
    return b;
  }
};

constexpr uint64_t kEmmc8G = 7818182656ull;  // 15269888 sectors

// A vendor layout: bootloader at 0 (4 MiB), reserved at 36 MiB (64 MiB), then
// each further partition 8 MiB behind the previous one. A size of 0 means
// "the rest of the eMMC".
std::vector<Part> vendor_layout(std::initializer_list<Part> further, uint64_t emmc = kEmmc8G) {
  std::vector<Part> parts{{"bootloader", 4 * MiB, 0, 0}, {"reserved", 64 * MiB, 36 * MiB, 0}};
  for (Part p : further) {
    const Part &prev = parts.back();
    p.offset = prev.offset + prev.size + 8 * MiB;
    p.size = p.size ? p.size * MiB : emmc - p.offset;
    parts.push_back(p);
  }
  return parts;
}

// Android 9 box: no "userdata", has "dtbo": both install modes.
std::vector<Part> android9_parts() {
  return vendor_layout({{"env", 8, 0, 0},       {"logo", 8, 0, 1},      {"recovery", 24, 0, 1},
                        {"misc", 8, 0, 1},      {"dtbo", 8, 0, 1},      {"cri_data", 8, 0, 2},
                        {"param", 16, 0, 2},    {"boot", 16, 0, 1},     {"rsv", 16, 0, 1},
                        {"tee", 32, 0, 1},      {"vendor", 256, 0, 1},  {"odm", 256, 0, 1},
                        {"system", 1856, 0, 1}, {"cache", 1120, 0, 2},  {"data", 0, 0, 4}});
}

// Older box: neither "userdata" nor "dtbo" nor "dto": dual boot only.
std::vector<Part> android7_parts() {
  return vendor_layout({{"cache", 512, 0, 2}, {"env", 8, 0, 0},     {"logo", 32, 0, 1},
                        {"recovery", 32, 0, 1}, {"rsv", 8, 0, 1},   {"tee", 8, 0, 1},
                        {"crypt", 32, 0, 1},  {"misc", 32, 0, 1},   {"boot", 32, 0, 1},
                        {"system", 1536, 0, 1}, {"data", 0, 0, 4}});
}

// Android 11 A/B box: the data partition is "userdata": single boot only.
std::vector<Part> android11_parts() {
  return vendor_layout(
      {{"env", 8, 0, 0},          {"frp", 2, 0, 1},           {"factory", 8, 0, 0x11},
       {"vendor_boot_a", 24, 0, 1}, {"vendor_boot_b", 24, 0, 1}, {"tee", 32, 0, 1},
       {"logo", 8, 0, 1},         {"misc", 2, 0, 1},          {"dtbo_a", 2, 0, 1},
       {"dtbo_b", 2, 0, 1},       {"cri_data", 8, 0, 2},      {"param", 16, 0, 2},
       {"odm_ext_a", 16, 0, 1},   {"odm_ext_b", 16, 0, 1},    {"oem_a", 32, 0, 1},
       {"oem_b", 32, 0, 1},       {"boot_a", 64, 0, 1},       {"boot_b", 64, 0, 1},
       {"rsv", 16, 0, 1},         {"metadata", 16, 0, 1},     {"vbmeta_a", 2, 0, 1},
       {"vbmeta_b", 2, 0, 1},     {"vbmeta_system_a", 2, 0, 1}, {"vbmeta_system_b", 2, 0, 1},
       {"super", 1800, 0, 1},     {"userdata", 0, 0, 4}});
}

// Android 9 box with a dual-boot installation: the data partition gave up
// 512 MiB at its end to KV_FLASH, KV_STORAGE covers the shortened data.
std::vector<Part> dual_boot_installed_parts() {
  std::vector<Part> parts = android9_parts();
  Part &data = parts.back();
  data.size -= 512 * MiB;
  Part storage{"KV_STORAGE", data.size, data.offset, 4};
  Part flash{"KV_FLASH", 512 * MiB, data.offset + data.size, 4};
  parts.push_back(storage);
  parts.push_back(flash);
  return parts;
}

// Single-boot installation: Android's partitions are gone ("system" too).
std::vector<Part> single_boot_installed_parts() {
  return vendor_layout({{"env", 8, 0, 0},
                        {"logo", 8, 0, 1},
                        {"dtbo", 8, 0, 1},
                        {"KV_FLASH", 512, 0, 4},
                        {"KV_STORAGE", 0, 0, 4}});
}

// ---------------------------------------------------------------------------
// Running the binary in a box
// ---------------------------------------------------------------------------

enum class Config { folder, missing, regular_file };

// What the pretend box holds, and what is typed at its console.
struct Box {
  std::optional<std::string> device_id = std::string("khadas_vim3");
  std::optional<std::string> mmcblk0_size = std::string("15269888\n");
  std::optional<std::string> reserved = Table{android9_parts()}.bytes();
  Config config = Config::folder;
  std::optional<std::string> old_marker;  // boot.hint before the run
  Running running = Running::boot_media;
  bool uname_2_6 = false;
  std::string input;  // standard input; its end is the end of input

  // A box holding nothing but /storage/.config: enough for the help.
  static Box bare() {
    Box box;
    box.device_id.reset();
    box.mmcblk0_size.reset();
    box.reserved.reset();
    return box;
  }
  static Box with_table(const Table &table) {
    Box box;
    box.reserved = table.bytes();
    return box;
  }
};

struct Result {
  std::string out;                    // standard output
  std::string err;                    // standard error
  int status = -1;                    // exit status (-1 shows as 255)
  std::optional<std::string> marker;  // final /storage/.config/boot.hint
  bool config_is_regular_file = false;
};

Result run(const Box &box, const std::vector<std::string> &args) {
  TempDir dir;
  const fs::path fixture = dir.path() / "fixture";
  const fs::path out = dir.path() / "out";
  fs::create_directory(fixture);
  fs::create_directory(out);

  if (box.device_id) write_file(fixture / "device-id", *box.device_id);
  if (box.mmcblk0_size) write_file(fixture / "mmcblk0-size", *box.mmcblk0_size);
  if (box.reserved) write_file(fixture / "reserved", *box.reserved);
  if (box.config == Config::folder) {
    fs::create_directory(fixture / "storage-config");
    if (box.old_marker) write_file(fixture / "storage-config" / "boot.hint", *box.old_marker);
  } else if (box.config == Config::regular_file) {
    write_file(fixture / "storage-config", "not a folder\n");
  }
  std::vector<std::string> argv{"/bin/bash", KVEMMC_SANDBOX, "--fixture", fixture.string(),
                                "--out", out.string(), "--storage"};
  argv.push_back(box.running == Running::emmc                 ? "emmc"
                 : box.running == Running::emmc_with_submount ? "emmc-submount"
                                                              : "bootmedia");
  if (box.running == Running::undetermined) argv.push_back("--no-mountinfo");
  if (box.uname_2_6) argv.push_back("--uname-2.6");
  argv.push_back("--");
  argv.push_back(KVEMMC_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  Process p = run_process(argv, box.input);
  expect_clean_run(p, "sandbox");

  Result r;
  r.status = p.status;
  r.out = p.out;
  r.err = p.err;
  const fs::path config = out / "storage-config";
  r.config_is_regular_file = fs::is_regular_file(config);
  if (fs::is_regular_file(config / "boot.hint")) r.marker = read_file(config / "boot.hint");
  return r;
}

Result run(const Box &box) { return run(box, {}); }

// Kernel release as the box reports it with --uname-2.6.
std::string release_2_6() {
  FILE *p = popen("setarch \"$(uname -m)\" --uname-2.6 uname -r", "r");
  if (!p) return "";
  char buf[128] = {};
  if (!fgets(buf, sizeof buf, p)) buf[0] = 0;
  pclose(p);
  int major = 0, minor = 0, patch = 0;
  if (std::sscanf(buf, "%d.%d.%d", &major, &minor, &patch) != 3) return "";
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

class Kvemmc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces and chroot";
  }
};

const std::string kMenuAAll = menu_a_answered(true, true);

// ---------------------------------------------------------------------------
// Start-up order and refusals
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, HelpWithoutConfigFolderFailsAtTheStatusMarker) {
  Box box = Box::bare();
  box.config = Config::missing;
  Result r = run(box, {"-h"});
  EXPECT_EQ(r.out, kBanner + "Failed to set boot.hint status: KVEMMC_STARTED!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(r.marker.has_value());
}

TEST_F(Kvemmc, ConfigThatIsARegularFileFailsAtTheStatusMarker) {
  Box box;
  box.config = Config::regular_file;
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + "Failed to set boot.hint status: KVEMMC_STARTED!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.config_is_regular_file);
}

TEST_F(Kvemmc, UnknownOptionsAndMissingArgumentsEndTheRun) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-q"}, {"--bogus"}, {"-f"}, {"-v", "-z", "-h"}}) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    Result r = run(Box{}, args);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.err.empty()) << "the option parser names the problem on standard error";
    EXPECT_EQ(r.marker, kStarted);
  }
}

TEST_F(Kvemmc, OldKernelIsRefusedAfterTheOptions) {
  const std::string release = release_2_6();
  ASSERT_FALSE(release.empty());
  ASSERT_EQ(release.rfind("2.6.", 0), 0u);
  Box box;
  box.uname_2_6 = true;
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + "\nSystem is not supported: " + release + "!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);

  // The help is printed before the kernel is looked at.
  r = run(box, {"-h"});
  EXPECT_EQ(r.out, kBanner + help_text(Running::boot_media, false));
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, MissingEmmcSizeEndsTheRun) {
  Box box;
  box.mmcblk0_size.reset();
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner +
                       "Parameter for block device 'mmcblk0' not found: "
                       "'/sys/block/mmcblk0/size'\n"
                       "Failed to read eMMC size! Exit!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);
}

TEST_F(Kvemmc, EmmcSizeThatIsNotAWholeNumberEndsTheRun) {
  for (const char *text : {"abc\n", "-5\n", "", "0\n"}) {
    SCOPED_TRACE(std::string("size file: '") + text + "'");
    Box box;
    box.mmcblk0_size = text;
    Result r = run(box);
    EXPECT_EQ(r.out, kBanner + "Failed to read eMMC size! Exit!\n");
    EXPECT_EQ(r.status, 255);
  }
}

TEST_F(Kvemmc, EmmcSizeIsShownInHexAndRoundedGigabytes) {
  struct Case {
    const char *sectors;
    const char *line;
  };
  for (const Case &c : {
           Case{"15269888\n", "\neMMC size: 0x0001d2000000 [8GB]\n"},   // 7.8 GB
           Case{"30535680\n", "\neMMC size: 0x0003a3e00000 [16GB]\n"},  // 15.6 GB
           Case{"7634944\n", "\neMMC size: 0x0000e9000000 [4GB]\n"},    // 3.9 GB
           Case{"3906250\n", "\neMMC size: 0x000077359400 [2GB]\n"},     // exactly 2e9 bytes
           Case{"1000000\n", "\neMMC size: 0x00001e848000 [0GB]\n"},    // 0.5 GB
       }) {
    SCOPED_TRACE(c.sectors);
    Box box;
    box.mmcblk0_size = c.sectors;
    box.reserved.reset();  // stop right behind the size line
    Result r = run(box);
    EXPECT_EQ(r.out, kBanner + c.line +
                         "Partition '/dev/reserved' does not exist!\n"
                         "Failed to read original partition table!\n");
    EXPECT_EQ(r.status, 255);
  }
}

TEST_F(Kvemmc, ReservedPartitionShorterThanATableEndsTheRun) {
  Box box;
  box.reserved = Table{android9_parts()}.bytes().substr(0, kTableSize - 1);
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G + "Error reading file!\nFailed to read original partition table!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);
}

TEST_F(Kvemmc, DamagedTableIsRefusedAtStartUpWithoutVerbose) {
  struct Case {
    const char *what;
    Table table;
    std::string cause;
  };
  Table no_magic{android9_parts()};
  no_magic.magic = std::string(4, '\0');
  Table other_magic{android9_parts()};
  other_magic.magic = std::string("XYZ\0", 4);
  Table zero{android9_parts()};
  zero.part_num = 0;
  Table too_many{android9_parts()};
  too_many.part_num = 33;
  Table huge{android9_parts()};
  huge.part_num = 0xffffffffu;
  Table bad_sum{android9_parts()};
  bad_sum.checksum_delta = 1;
  const std::string good = Table{android9_parts()}.bytes();
  const uint32_t sum = get_u32(good, 20);
  for (const Case &c : {
           Case{"first byte 0", no_magic, "magic error: NULL\n"},
           Case{"other magic", other_magic, "magic error: XYZ\n"},
           Case{"no entries", zero, "partition number error: 0\n"},
           Case{"33 entries", too_many, "partition number error: 33\n"},
           Case{"count with the top bit set", huge, "partition number error: -1\n"},
           Case{"checksum one off", bad_sum,
                "checksum error: pt_fmt->checksum=" + hex(sum + 1) + ",calc_result=" + hex(sum) +
                    "\n"},
       }) {
    SCOPED_TRACE(c.what);
    Result r = run(Box::with_table(c.table));
    EXPECT_EQ(r.out, kBanner + kSize8G + c.cause +
                         "partition verified error\n"
                         "Failed to read original partition table!\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.marker, kStarted);
  }
}

// ---------------------------------------------------------------------------
// Device gate
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, SupportedDevicesPassWithoutAWord) {
  for (std::string id : {std::string("khadas_vim3"), std::string("khadas_vim3l"),
                         std::string("amlogic-dt-id,gxl_p212_2g_kvim2"),
                         std::string("beelink_gt_king_pro\n"), std::string("minix_u9"),
                         std::string("khadas_vim3\0", 12)}) {
    SCOPED_TRACE(id);
    Box box;
    box.device_id = id;
    box.input = "\n";
    Result r = run(box);
    EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.marker, kStarted);
  }
}

TEST_F(Kvemmc, DevicesWithoutRecoveryAreRefused) {
  for (std::string id : {std::string("homatics_r_4k_plus"), std::string("buzztv_x5")}) {
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-x"}}) {
      SCOPED_TRACE(id + (args.empty() ? "" : " -x"));
      Box box;
      box.device_id = id;
      box.input = "y\n\n";
      Result r = run(box, args);
      EXPECT_EQ(r.out, kBanner + no_recovery(id));
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.marker, kStarted);
    }
  }
}

TEST_F(Kvemmc, KestrovaOptionAloneLeavesANoRecoveryDeviceUnsupported) {
  Box box;
  box.device_id = "homatics_r_4k_plus";
  box.input = "y\n\n";
  Result r = run(box, {"--kestrova"});
  EXPECT_EQ(r.out, kBanner + unsupported("homatics_r_4k_plus"));
  EXPECT_EQ(r.status, 255);
}

TEST_F(Kvemmc, KestrovaOptionWithForceAndYesLetsANoRecoveryDeviceThrough) {
  Box box;
  box.device_id = "homatics_r_4k_plus";
  box.input = "y\n\n";
  Result r = run(box, {"--kestrova", "-x"});
  EXPECT_EQ(r.out, kBanner + unsupported_question("homatics_r_4k_plus") + kSize8G + kMenuAAll +
                       kAbort);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.marker, kStarted);
}

TEST_F(Kvemmc, UnknownDeviceIsRefusedWithoutForce) {
  Box box;
  box.device_id = "odroid_n2";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + unsupported("odroid_n2"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);
}

TEST_F(Kvemmc, UnknownDeviceWithForceGoesOnOnlyAfterYes) {
  for (const char *yes : {"y\n\n", "Y\n\n", "yes please\n\n"}) {
    SCOPED_TRACE(yes);
    Box box;
    box.device_id = "odroid_n2";
    box.input = yes;
    Result r = run(box, {"-x"});
    EXPECT_EQ(r.out, kBanner + unsupported_question("odroid_n2") + kSize8G + kMenuAAll + kAbort);
    EXPECT_EQ(r.status, 0);
  }
  for (const char *no : {"\n", "n\n", " y\n", ""}) {
    SCOPED_TRACE(std::string("answer '") + no + "'");
    Box box;
    box.device_id = "odroid_n2";
    box.input = no;
    Result r = run(box, {"-x"});
    EXPECT_EQ(r.out, kBanner + unsupported_question("odroid_n2") + kAbort);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.marker, kStarted);
  }
}

TEST_F(Kvemmc, MissingDeviceIdCountsAsAnUnsupportedEmptyId) {
  Box box;
  box.device_id.reset();
  box.input = "y\n\n";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + unsupported(""));
  EXPECT_EQ(r.status, 255);

  r = run(box, {"-x"});
  EXPECT_EQ(r.out, kBanner + unsupported_question("") + kSize8G + kMenuAAll + kAbort);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, EmptyDeviceIdFileEndsTheRun) {
  Box box;
  box.device_id = "";
  Result r = run(box, {"-x"});
  EXPECT_EQ(r.out, kBanner + "Failed to read Kestrova id from DTB!\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Kvemmc, DeviceIdKeepsItsNewlineAndIsCutAt255Characters) {
  Box box;
  box.device_id = "odroid_n2\nsecond line";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + unsupported("odroid_n2\n"));
  EXPECT_EQ(r.status, 255);

  // 300 characters and no newline: only the first 255 are read, so a
  // supported name standing behind them is not seen.
  box.device_id = std::string(289, 'a') + "khadas_vim3";
  r = run(box);
  EXPECT_EQ(r.out, kBanner + unsupported(std::string(255, 'a')));
  EXPECT_EQ(r.status, 255);
}

TEST_F(Kvemmc, UnprintableBytesOfTheDeviceIdAreShownAsQuestionMarks) {
  Box box;
  box.device_id = "\x02homatics\x7f\xc3\xa9";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + no_recovery("?homatics???"));
  EXPECT_EQ(r.status, 255);

  box.device_id = "odroid\tn2\x1b[31m";
  r = run(box);
  EXPECT_EQ(r.out, kBanner + unsupported("odroid?n2?[31m"));
  EXPECT_EQ(r.status, 255);

  // Matching works on the raw bytes: a supported name among them passes.
  box.device_id = "\x01khadas_vim3\x80";
  box.input = "\n";
  r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
  EXPECT_EQ(r.status, 0);
}

// ---------------------------------------------------------------------------
// Help
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, HelpFitsWhereTheSystemRunsFrom) {
  for (Running running : {Running::boot_media, Running::emmc, Running::undetermined}) {
    Box box = Box::bare();
    box.running = running;
    for (bool long_help : {false, true}) {
      SCOPED_TRACE(std::string(long_help ? "--help" : "-h") + " running " +
                   (running == Running::boot_media ? "from the boot media"
                    : running == Running::emmc     ? "from the eMMC"
                                                   : "from where is unknown"));
      Result r = run(box, {long_help ? "--help" : "-h"});
      EXPECT_EQ(r.out, kBanner + help_text(running, long_help));
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.marker, kStarted);
    }
  }
}

TEST_F(Kvemmc, OptionsAreHandledInCommandLineOrder) {
  struct Case {
    std::vector<std::string> args;
    bool long_help;
  };
  for (const Case &c : {Case{{"-v", "-h"}, false}, Case{{"--kestrova", "-h"}, true},
                        Case{{"-h", "--kestrova"}, false}, Case{{"-h", "-q"}, false},
                        Case{{"-h", "-f", "0"}, false}, Case{{"-x", "--help", "-v"}, true}}) {
    std::string trace;
    for (const std::string &a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    Result r = run(Box::bare(), c.args);
    EXPECT_EQ(r.out, kBanner + help_text(Running::boot_media, c.long_help));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.marker, kStarted);
  }
}

// ---------------------------------------------------------------------------
// KV_FLASH size option
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, FlashSizeOutsideOneTo4095MegabytesIsRefused) {
  for (const char *arg : {"0", "4096", "-5", "abc", "12x", "", "99999999999"}) {
    SCOPED_TRACE(std::string("-f '") + arg + "'");
    Result r = run(Box{}, {"-f", arg});
    EXPECT_EQ(r.out, kBanner + "Invalid KV_FLASH partition size: '" + arg +
                         "' (use a whole number of MB from 1 to 4095)!\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.marker, kStarted);
  }
  // Options are taken in order: the bad size ends the run before the help.
  Result r = run(Box::bare(), {"-f", "0", "-h"});
  EXPECT_EQ(r.out, kBanner +
                       "Invalid KV_FLASH partition size: '0' (use a whole number of MB from 1 to "
                       "4095)!\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Kvemmc, FlashSizeFromOneTo4095MegabytesIsAccepted) {
  for (const char *arg : {"1024", "1", "4095"}) {
    SCOPED_TRACE(arg);
    Box box;
    box.input = "\n";
    Result r = run(box, {"-f", arg});
    EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
    EXPECT_EQ(r.status, 0);
  }
}

// ---------------------------------------------------------------------------
// Verbose listing of the table read at start-up
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, VerboseListsTheOriginalTableBeforeTheMenu) {
  Box box;
  box.input = "\n";
  Result r = run(box, {"-v"});
  EXPECT_EQ(r.out, kBanner + kSize8G + table_listing(android9_parts()) + kMenuAAll + kAbort);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, VerboseListsAll32SlotsWithTheirTypes) {
  const uint64_t masks[] = {0, 1, 2, 4, 0x104, 0x11, 0x100000004ull, 0x100000000ull};
  std::vector<Part> parts{{"bootloader", 4 * MiB, 0, 0}, {"reserved", 64 * MiB, 36 * MiB, 0}};
  for (int i = 3; i <= 32; ++i) {
    const Part &prev = parts.back();
    std::string name = i == 32 ? "abcdefghijklmno" : "part" + std::to_string(i);
    parts.push_back({name, static_cast<uint64_t>(i) * MiB + 4096, prev.offset + prev.size + 8 * MiB,
                     masks[i % 8]});
  }
  ASSERT_EQ(parts.size(), 32u);
  Box box = Box::with_table(Table{parts});
  box.input = "\n";
  Result r = run(box, {"-v"});
  EXPECT_EQ(r.out, kBanner + kSize8G + table_listing(parts) + menu_a_answered(true, false) + kAbort);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, VerboseWithABadChecksumEndsTheRun) {
  Table table{android9_parts()};
  table.checksum_delta = 0x100;
  const uint32_t sum = get_u32(Table{android9_parts()}.bytes(), 20);
  Result r = run(Box::with_table(table), {"-v"});
  EXPECT_EQ(r.out, kBanner + kSize8G + "\nOriginal partition table:\n" +
                       "checksum error: pt_fmt->checksum=" + hex(sum + 0x100) +
                       ",calc_result=" + hex(sum) +
                       "\npartition verified error\n"
                       "Failed to show original partition table!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.marker, kStarted);
}

// ---------------------------------------------------------------------------
// Menus
// ---------------------------------------------------------------------------

TEST_F(Kvemmc, MenuAOffersBothModesForATableWithDtboOrDto) {
  Box box;
  box.input = "\n";
  box.old_marker = "KVEMMC_NEW\nleft over\n";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.marker, kStarted) << "the start-up write replaces the whole marker";

  std::vector<Part> with_dto = android7_parts();
  with_dto.insert(with_dto.end() - 1, Part{"dto", 8 * MiB, 0, 1});
  box = Box::with_table(Table{with_dto});
  box.input = "\n";
  r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
  EXPECT_EQ(r.status, 0);
}

// Runs the box once per answer: each of `aborting` ends the run with
// "Aborting!" and 0, each of `reaching` reaches an operation, which is not
// built yet and fails. Either way the marker keeps KVEMMC_STARTED.
void expect_answers(Box box, const std::string &menu, std::initializer_list<const char *> aborting,
                    std::initializer_list<const char *> reaching) {
  for (const char *answer : aborting) {
    SCOPED_TRACE(std::string("answer '") + answer + "'");
    box.input = answer;
    Result r = run(box);
    EXPECT_EQ(r.out, menu + kAbort);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.marker, kStarted);
  }
  for (const char *answer : reaching) {
    SCOPED_TRACE(std::string("answer '") + answer + "'");
    box.input = answer;
    Result r = run(box);
    ASSERT_EQ(r.out.substr(0, menu.size()), menu);
    EXPECT_TRUE(r.out.ends_with(kUnavailable)) << r.out.substr(menu.size());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.marker, kStarted);
  }
}

TEST_F(Kvemmc, MenuAOffersDualBootOnlyWithoutDtboAndUserdata) {
  expect_answers(Box::with_table(Table{android7_parts()}),
                 kBanner + kSize8G + menu_a_answered(true, false), {"\n", "3\n", "4\n", "9\n", ""},
                 {"1\n", "2\n"});
}

TEST_F(Kvemmc, MenuAOffersSingleBootOnlyWithUserdata) {
  expect_answers(Box::with_table(Table{android11_parts()}),
                 kBanner + kSize8G + menu_a_answered(false, true), {"\n", "1\n", "2\n", "5\n"},
                 {"3\n", "4\n"});
}

TEST_F(Kvemmc, MenuAIsShownWhereverTheSystemRunsFrom) {
  for (Running running : {Running::emmc, Running::undetermined}) {
    SCOPED_TRACE(running == Running::emmc ? "eMMC" : "undetermined");
    Box box;
    box.running = running;
    box.input = "\n";
    Result r = run(box);
    EXPECT_EQ(r.out, kBanner + kSize8G + kMenuAAll + kAbort);
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(Kvemmc, MenuBForASingleBootInstallation) {
  expect_answers(Box::with_table(Table{single_boot_installed_parts()}), kBanner + kSize8G + kMenuB,
                 {"\n", "4\n", "7\n"}, {"1\n", "3\n"});
}

TEST_F(Kvemmc, MenuCForADualBootInstallation) {
  // Only the first character of the line counts: "2x" is option 2.
  expect_answers(Box::with_table(Table{dual_boot_installed_parts()}), kBanner + kSize8G + kMenuC,
                 {"\n", "8\n", "0\n"}, {"2x\n", "7\n"});
}

TEST_F(Kvemmc, MenuDWhenRunningFromTheEmmc) {
  for (const std::vector<Part> &parts : {dual_boot_installed_parts(), single_boot_installed_parts()}) {
    Box box = Box::with_table(Table{parts});
    box.running = Running::emmc;
    expect_answers(box, kBanner + kSize8G + kMenuD, {"2\n"}, {"1\n"});
  }
}

TEST_F(Kvemmc, AFilesystemMountedBelowStorageDoesNotMakeItTheBootMedia) {
  // "/ /storage/media" is a mount below /storage, not /storage itself: the
  // system still runs from the eMMC, whose storage folder is bind-mounted.
  Box box = Box::with_table(Table{dual_boot_installed_parts()});
  box.running = Running::emmc_with_submount;
  box.input = "\n";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G + kMenuD + kAbort);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, NoMenuWhenTheMountsCannotBeReadAndAnInstallationExists) {
  Box box = Box::with_table(Table{dual_boot_installed_parts()});
  box.running = Running::undetermined;
  box.input = "1\n";
  Result r = run(box);
  EXPECT_EQ(r.out, kBanner + kSize8G);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.marker, kStarted);
}

TEST_F(Kvemmc, InstallationIsFoundInASlotBeyondTheEntryCount) {
  // KV_STORAGE stands in slot 25 while part_num says 17: the name lookup
  // visits all 32 slots, and the checksum only covers slot 0.
  Table table{android9_parts()};
  ASSERT_EQ(table.parts.size(), 17u);
  table.stray[25] = Part{"KV_STORAGE", 1024 * MiB, 6 * 1024 * MiB, 4};
  Box box = Box::with_table(table);
  box.input = "\n";
  Result r = run(box, {"-v"});
  EXPECT_EQ(r.out, kBanner + kSize8G + table_listing(android9_parts()) + kMenuC + kAbort);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Kvemmc, MalformedMenuAnswersAbortCleanly) {
  Box box = Box::with_table(Table{dual_boot_installed_parts()});
  const std::string menu = kBanner + kSize8G + kMenuC;
  for (std::string answer : {std::string("\xff\xfe\x01\x00\x80\n", 6), std::string(10000, 'z') + "\n",
                             std::string(10000, '9'), std::string("\x00", 1), std::string()}) {
    SCOPED_TRACE("answer of " + std::to_string(answer.size()) + " bytes");
    box.input = answer;
    Result r = run(box);
    EXPECT_EQ(r.out, menu + kAbort);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.marker, kStarted);
  }
}

}  // namespace
