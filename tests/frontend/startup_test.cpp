#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "../support/table_builder.h"
#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct temp_file {
  explicit temp_file(const std::string &content) {
    char name[] = "/tmp/kvemmc-test-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        path.clear();
      close(fd);
    }
  }
  ~temp_file() { unlink(path.c_str()); }
  std::string path;
};

}  // namespace

TEST(KernelCheck, RefusesKernelsBeforeFourNine) {
  struct {
    const char *release;
    bool supported;
  } cases[] = {{"4.8.0", false},       {"4.9.0", true},     {"4.9.113", true},
               {"5.4.0", true},        {"5.0.1", true},     {"3.14.29", false},
               {"2.6.32", false},      {"6.18.44-fc", true}, {"4.10", true},
               {"10.1.2", true},       {"4", false},        {"4.x.1", false},
               {"", false},            {"-5.4.0", false},   {"v5.4.0", false},
               {"99999999999999.1", true}};
  for (const auto &c : cases)
    EXPECT_EQ(kernel_is_supported(parse_kernel_release(c.release)), c.supported) << c.release;
}

TEST(EmmcSize, GigabytesRoundUpToAPowerOfTwo) {
  struct {
    uint32_t in, out;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {7, 8}, {8, 8}, {9, 16},
               {15, 16}, {16, 16}, {31, 32}, {120, 128}, {0x80000000u, 0x80000000u}};
  for (const auto &c : cases) EXPECT_EQ(round_up_power_of_two(c.in), c.out) << c.in;
  EXPECT_EQ(round_up_power_of_two(static_cast<uint32_t>(7818182656ull / 1000000000)), 8u);
  EXPECT_EQ(round_up_power_of_two(static_cast<uint32_t>(15634268160ull / 1000000000)), 16u);
}

TEST(DeviceGate, FindsTheGroupsAnywhereInTheId) {
  struct {
    const char *id;
    bool supported, no_recovery;
  } cases[] = {{"khadas_vim3", true, false},
               {"khadas_vim3l", true, false},
               {"amlogic,gxl_p212_2g_kvim\n", true, false},
               {"minix_u9", true, false},
               {"beelink_gt_king", true, false},
               {"homatics_box_r", false, true},
               {"buzztv_x4", false, true},
               {"beelink-buzztv", true, true},
               {"", false, false},
               {"khadas_vim", false, false},
               {"KHADAS_VIM3", false, false}};
  for (const auto &c : cases) {
    device_class d = classify_device_id(c.id);
    EXPECT_EQ(d.supported, c.supported) << c.id;
    EXPECT_EQ(d.no_recovery, c.no_recovery) << c.id;
  }
}

TEST(FlashSize, IsAWholeNumberOfMegabytes) {
  uint64_t size = 0;
  EXPECT_EQ(parse_flash_size_option("1024", &size), 0);
  EXPECT_EQ(size, 0x40000000ull);
  EXPECT_EQ(parse_flash_size_option("1", &size), 0);
  EXPECT_EQ(size, 0x100000ull);
  EXPECT_EQ(parse_flash_size_option("4095", &size), 0);
  EXPECT_EQ(size, 0xfff00000ull);
  EXPECT_EQ(parse_flash_size_option("0512", &size), 0);
  EXPECT_EQ(size, 0x20000000ull);
}

TEST(FlashSize, SizesThatWouldBeEmptyOrWrapAreRefused) {
  for (const char *text : {"0", "4096", "65536", "-5", "abc", "12x", "", " 12", "+12",
                           "99999999999999999999"}) {
    uint64_t size = 77;
    CaptureStdout();
    EXPECT_EQ(parse_flash_size_option(text, &size), -1) << text;
    EXPECT_EQ(GetCapturedStdout(), std::string("Invalid KV_FLASH partition size: '") + text +
                                       "' (use a whole number of MB from 1 to 4095)!\n");
    EXPECT_EQ(size, 77u);
  }
}

// Options in command-line order: the help ends the reading (what follows it
// is never looked at), a refusal before it ends the run. "--dry-run" takes
// no argument, and a refused one is no dry run either.
TEST(Options, AreTakenInOrderUntilTheHelp) {
  struct {
    std::vector<std::string> args;
    int result;
    bool dry_run_asked;
    const char *output;  // its start; "": nothing at all
    bool long_help;
  } cases[] = {
      {{"-q"}, -1, false, "", false},
      {{"--dry-run=yes"}, -1, false, "", false},
      {{"-f", "4096"}, -1, false, "Invalid KV_FLASH partition size: '4096'", false},
      {{"-f", "0", "-h"}, -1, false, "Invalid KV_FLASH partition size: '0'", false},
      {{"-v", "--kestrova", "-h"}, 0, false, "Usage: kvemmc [options]\n", true},
      {{"-h", "-q", "-f", "0"}, 0, false, "Usage: kvemmc [options]\n", false},
      {{"-vn", "-x", "-f", "1024"}, 1, true, "", false},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words = {"kvemmc"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    long_help = 0;
    running_from_boot_media = 1;
    EXPECT_EQ(asks_for_dry_run(argc, argv.data()), c.dry_run_asked) << words[1];
    CaptureStdout();
    EXPECT_EQ(parse_options(argc, argv.data()), c.result) << words[1];
    const std::string output = GetCapturedStdout();
    EXPECT_EQ(output.rfind(c.output, 0), 0u) << words[1] << ": " << output;
    if (!*c.output) {
      EXPECT_EQ(output, "") << words[1];
    }
    EXPECT_EQ(output.find("Dual boot of Android and Kestrova is possible.") != std::string::npos,
              c.long_help)
        << words[1];
  }
  long_help = dry_run = verbose = 0;
  refuse_unsupported_device = refuse_no_recovery_device = 1;
  flash_partition_size = default_flash_partition_size;
  running_from_boot_media = -1;
}

// The id is the file's first line, at most 255 characters, its bytes as they
// are; shown, its unprintable ones are '?'. No file is an empty id, an empty
// one fails.
TEST(DeviceId, IsTheFirstLineOfAtMost255Characters) {
  const std::string a245(245, 'a');
  struct {
    std::optional<std::string> file;
    int result;
    std::string id, shown;
  } cases[] = {
      {std::nullopt, 0, "", ""},
      {"", -1, "", ""},
      {"odroid_n2\nkhadas_vim3", 0, "odroid_n2\n", "odroid_n2\n"},
      {a245 + "khadas_vim3", 0, a245 + "khadas_vim", a245 + "khadas_vim"},
      {"odroid\tn2\033[31m\177\303\251", 0, "odroid\tn2\033[31m\177\303\251", "odroid?n2?[31m???"},
  };
  for (const auto &c : cases) {
    temp_file file(c.file.value_or(""));
    const std::string path = c.file ? file.path : file.path + ".missing";
    char buffer[512] = {};
    EXPECT_EQ(read_device_id_from(path.c_str(), buffer), c.result) << c.shown;
    EXPECT_EQ(std::string(buffer), c.id);
    char shown[512];
    printable_text(shown, sizeof(shown), buffer, strlen(buffer), true);
    EXPECT_EQ(std::string(shown), c.shown);
    EXPECT_FALSE(classify_device_id(buffer).supported) << c.shown;
  }
}

// Running from the boot media: a filesystem's root mounted at /storage. A
// folder bound there (the eMMC's installation) or a mount below it is not.
TEST(MountCheck, FindsTheBootMediaInLinesOfAnyLength) {
  const std::string long_line = "23 22 0:21 / /mnt/" + std::string(9000, 'a') + " rw - tmpfs x rw\n";
  struct {
    std::string mountinfo;
    int running;
  } cases[] = {
      {long_line + "31 22 179:34 / /storage rw - ext4 /dev/sda2 rw\n", 1},
      {"36 25 7:3 /kestrova_storage /storage rw - ext4 /dev/loop3 rw\n"
       "40 36 0:50 / /storage/media rw - tmpfs kvemmc-box-media rw\n",
       0},
      {"", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(running_from_boot_media_in(temp_file(c.mountinfo).path.c_str()), c.running)
        << c.mountinfo.substr(0, 40);
  EXPECT_EQ(running_from_boot_media_in("/proc/kvemmc-no-such-file"), -1);
}

// The state that picks the menu. Where the system runs from counts only
// when the eMMC holds an installation; undetermined then, no menu at all.
// The modes a table allows, and whether it has userdata, which the menus
// pass on to the operations.
TEST(InstallationState, FollowsTheTableAndWhereTheSystemRuns) {
  const mmc_partitions_fmt fresh =
      make_named_table({"bootloader", "reserved", "cache", "env", "logo", "data"});
  const mmc_partitions_fmt single =
      make_named_table({"bootloader", "reserved", "env", "KV_FLASH", "KV_STORAGE"});
  const mmc_partitions_fmt dual = make_named_table(
      {"bootloader", "reserved", "cache", "env", "system", "data", "KV_STORAGE", "KV_FLASH"});
  using state = installation_state;
  struct {
    const mmc_partitions_fmt &table;
    int running;
    state expected;
  } cases[] = {{fresh, 1, state::none},          {fresh, 0, state::none},
               {fresh, -1, state::none},         {single, 1, state::single_boot},
               {dual, 1, state::dual_boot},      {single, 0, state::running_from_emmc},
               {dual, 0, state::running_from_emmc}, {dual, -1, state::undetermined}};
  for (const auto &c : cases)
    EXPECT_EQ(decide_installation_state(&c.table, c.running), c.expected) << c.running;
  const mmc_partitions_fmt dto = make_named_table({"bootloader", "reserved", "dto", "data"});
  const mmc_partitions_fmt userdata =
      make_named_table({"bootloader", "reserved", "dtbo", "vbmeta_a", "super", "userdata"});
  struct {
    const mmc_partitions_fmt &table;
    install_modes modes;
  } tables[] = {{fresh, {0, 1, 0}}, {dual, {0, 1, 0}}, {dto, {1, 1, 0}}, {userdata, {1, 0, 1}}};
  for (const auto &c : tables) {
    install_modes modes = possible_install_modes(&c.table);
    EXPECT_EQ(modes.single_boot_possible, c.modes.single_boot_possible) << c.table.entries[2].name;
    EXPECT_EQ(modes.dual_boot_possible, c.modes.dual_boot_possible) << c.table.entries[2].name;
    EXPECT_EQ(modes.has_userdata, c.modes.has_userdata) << c.table.entries[2].name;
  }
  CaptureStdout();
  EXPECT_EQ(run_menu(&dual, -1), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
}
