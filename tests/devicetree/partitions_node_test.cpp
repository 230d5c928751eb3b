// The partitions node as the bootloader will read it, checked with fdtget and
// dtc rather than with our own reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "devicetree.h"
#include "dtb_test_support.h"
#include "table_builder.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint64_t mib = 1 << 20;

// A tree at the start of a buffer of `room` bytes.
bytes in_room(const bytes &tree, size_t room = 0x40000) {
  bytes buffer(room);
  memcpy(buffer.data(), tree.data(), std::min(room, tree.size()));
  return buffer;
}

int rework(bytes &tree, int mode, const mmc_partitions_fmt &table, bool single_tree = true) {
  return rework_partitions_node(tree.data(), tree.size(), mode, "/partitions", &table, single_tree);
}

}  // namespace

TEST(PartitionsNode, EnvAsTheLastEntryLeavesOnlyAPartsCountOfZero) {
  bytes tree = in_room(compile_dts(box_dts("box", "boot", true)));
  mmc_partitions_fmt table = make_table({{"bootloader", 4 * mib, 0, 0}, {"env", 8 * mib, 12 * mib, 0}});
  ASSERT_EQ(rework(tree, dtb_mode_rebuild, table), 0);
  EXPECT_EQ(fdtget(tree.data(), "-p /partitions"), "parts\n");
  EXPECT_EQ(fdtget(tree.data(), "-l /partitions"), "");
  EXPECT_EQ(fdtget(tree.data(), "/partitions parts"), "0\n");
}

TEST(PartitionsNode, PhandlesStartAtOneInATreeWithoutAny) {
  bytes tree = in_room(compile_dts("/dts-v1/;\n/ { model = \"bare\"; };\n"));
  mmc_partitions_fmt table = android_table();
  ASSERT_EQ(rework(tree, dtb_mode_rebuild, table), 0);
  EXPECT_EQ(fdtget(tree.data(), "/partitions/data phandle"), "1\n");
  EXPECT_EQ(fdtget(tree.data(), "/partitions/system phandle"), "2\n");
  EXPECT_EQ(fdtget(tree.data(), "/partitions part-0"), "5\n");
}

TEST(PartitionsNode, RebuildFailsWithoutEnvOrWithNamesThatAreNoNodeNames) {
  mmc_partitions_fmt no_env = make_table({{"bootloader", 4 * mib, 0, 0}, {"data", 8 * mib, 12 * mib, 4}});
  bytes tree = in_room(compile_dts(box_dts("box", "boot", true)));
  CaptureStdout();
  EXPECT_EQ(rework(tree, dtb_mode_rebuild, no_env), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Could not find 'env' partition!\nFailed to create new partition table: -1!\n");

  mmc_partitions_fmt bad_name = android_table();
  strcpy(bad_name.entries[6].name, "bo/ot");
  CaptureStdout();
  EXPECT_EQ(rework(tree, dtb_mode_rebuild, bad_name), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Invalid partition name in slot 6!\nFailed to create new partition table: -1!\n");
}

TEST(PartitionsNode, AnEditThatDoesNotFitFailsInsteadOfLeavingAHalfBuiltNode) {
  bytes compiled = compile_dts(box_dts("box", "boot", false));
  bytes tree = in_room(compiled, compiled.size() + 64);
  mmc_partitions_fmt table = android_table();
  CaptureStdout();
  EXPECT_EQ(rework(tree, dtb_mode_rebuild, table), -1);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find(" '-3'\n"), std::string::npos) << out;  // FDT_ERR_NOSPACE
  EXPECT_NE(out.find("Failed to create new partition table: -1!\n"), std::string::npos) << out;

  // A tree that claims more than its room is refused before any edit.
  bytes short_room = in_room(compiled, compiled.size() - 4);
  CaptureStdout();
  EXPECT_EQ(rework(short_room, dtb_mode_remove, table), -1);
  EXPECT_EQ(GetCapturedStdout(), "Invalid device tree: total size beyond its room!\n");
}

TEST(PropertyString, CopiesTheCharactersOnlyAndRefusesWhatDoesNotFitOrEnd) {
  std::string long_value(300, 'p');
  bytes tree = compile_dts("/dts-v1/;\n/ { n { short = \"abc\"; edge = \"" + std::string(255, 'e') +
                           "\"; full = \"" + std::string(256, 'f') + "\"; long = \"" + long_value +
                           "\"; raw = [61 62 63]; }; };\n");
  char value[256] = "vwxyz";
  EXPECT_EQ(get_property_string(tree.data(), "/n", "short", value, sizeof(value)), 0);
  EXPECT_STREQ(value, "abcyz");
  EXPECT_EQ(get_property_string(tree.data(), "/n", "edge", value, sizeof(value)), 0);
  EXPECT_EQ(value[255], '\0');

  // 256 characters leave no room for the terminator the caller's buffer keeps.
  const char *refused[][2] = {{"full", "value too long"},
                              {"long", "value too long"},
                              {"raw", "value not terminated"},
                              {"missing", "property not found"}};
  for (auto &r : refused) {
    CaptureStdout();
    EXPECT_EQ(get_property_string(tree.data(), "/n", r[0], value, sizeof(value)), -1);
    EXPECT_EQ(GetCapturedStdout(), std::string("get_property_string '") + r[1] + "'\n");
  }
  CaptureStdout();
  EXPECT_EQ(get_property_string(tree.data(), "/nowhere", "short", value, sizeof(value)), -1);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(PartitionsNode, AnOlderTreeLayoutStillLosesItsOldNode) {
  // Version 16 trees cannot be edited before they are opened.
  temp_dir dir;
  std::ofstream(dir.file("old.dts")) << box_dts("old", "boot", true);
  run_shell("dtc -q -I dts -O dtb -V 16 -o " + dir.file("old.dtb") + " " + dir.file("old.dts"));
  bytes tree = in_room(read_whole_file(dir.file("old.dtb")));
  mmc_partitions_fmt table = android_table();
  CaptureStdout();
  ASSERT_EQ(rework(tree, dtb_mode_remove, table), 0);
  EXPECT_EQ(GetCapturedStdout(), "delete_node '-10'\n");  // FDT_ERR_BADVERSION, then opened
  EXPECT_EQ(fdtget(tree.data(), "-l /"), "firmware\nsoc\n");
}

TEST(PartitionsNode, EveryNodeAnsweringToThePathGoes) {
  bytes tree = in_room(compile_dts(
      "/dts-v1/;\n/ { partitions@1 { a { }; }; partitions { b { }; }; partitions@2 { }; };\n"));
  mmc_partitions_fmt table = android_table();
  ASSERT_EQ(rework(tree, dtb_mode_rebuild, table, false), 0);
  EXPECT_EQ(fdtget(tree.data(), "-l /"), "partitions\n");
  EXPECT_EQ(fdtget(tree.data(), "/partitions parts"), "5\n");
}

TEST(PartitionsNode, TreesThatWouldTripLibfdtAreRefusedFirst) {
  // libfdt 1.6.1's own check loops for ever on a property length that wraps
  // its offset, and follows a null name in trees older than version 16.
  bytes compiled = compile_dts("/dts-v1/;\n/ { p = <1>; };\n");
  uint32_t structure = uint32_t(compiled[8] << 24 | compiled[9] << 16 | compiled[10] << 8 | compiled[11]);
  bytes wrapping = in_room(compiled);
  memcpy(&wrapping[structure + 12], "\xff\xff\xff\xf4", 4);  // after root node and property tag
  bytes ancient = in_room(compiled);
  ancient[23] = 4;  // version
  mmc_partitions_fmt table = android_table();
  CaptureStdout();
  EXPECT_EQ(rework(wrapping, dtb_mode_remove, table), -1);
  EXPECT_EQ(rework(ancient, dtb_mode_remove, table), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Invalid device tree: property value runs past the structure block!\n"
            "Invalid device tree: version older than 16!\n");
}

// The bootloader's own layout from a node built for a plan: the plan passes;
// a plan that differs from the node in one sector, one mask bit, the order of
// two partitions or the end of the eMMC is refused, naming the first slot.
TEST(BootloaderRebuild, RefusesEveryPlanTheBootloaderWouldLayOutDifferently) {
  const mmc_partitions_fmt plan = android_table();  // laid out by the rule, data last
  const partition_entry &last = plan.entries[plan.part_num - 1];
  const uint64_t emmc = last.offset + last.size;
  bytes tree = in_room(compile_dts(box_dts("box", "boot", true)));
  ASSERT_EQ(rework(tree, dtb_mode_rebuild, plan), 0);

  struct wrong_plan {
    const char *what;
    void (*spoil)(mmc_partitions_fmt &);
    uint64_t emmc_size;
    const char *first_slot;  // nullptr: passes
  };
  const wrong_plan cases[] = {
      {"as built", [](mmc_partitions_fmt &) {}, emmc, nullptr},
      {"size of the eMMC unknown", [](mmc_partitions_fmt &) {}, 0, nullptr},
      {"one sector later", [](mmc_partitions_fmt &t) { t.entries[6].offset += 512; }, emmc,
       "slot 6 ('boot')"},
      {"a mask bit", [](mmc_partitions_fmt &t) { t.entries[5].mask |= 0x100; }, emmc,
       "slot 5 ('misc')"},
      {"two swapped",
       [](mmc_partitions_fmt &t) { std::swap(t.entries[4].name, t.entries[5].name); }, emmc,
       "slot 4 ('misc')"},
      {"a larger eMMC", [](mmc_partitions_fmt &) {}, emmc + 512, "slot 8 ('data')"},
      {"one partition more",
       [](mmc_partitions_fmt &t) {
         t.entries[t.part_num] = t.entries[t.part_num - 1];
         std::strcpy(t.entries[t.part_num++].name, "extra");
       },
       emmc, "slot 9 ('extra')"},
  };
  for (const wrong_plan &c : cases) {
    mmc_partitions_fmt planned = plan;
    c.spoil(planned);
    CaptureStdout();
    const int result = check_bootloader_rebuild(tree.data(), 1, dtb_mode_rebuild, &planned, c.emmc_size);
    const std::string output = GetCapturedStdout();
    EXPECT_EQ(result, c.first_slot ? -1 : 0) << c.what << "\n" << output;
    if (c.first_slot) {
      EXPECT_NE(output.find(c.first_slot), std::string::npos) << c.what << output;
    }
  }

  // 32 MiB behind a mask with bit 0x100: the same plan is now wrong.
  mmc_partitions_fmt wide = plan;
  wide.entries[4].mask = 0x101;
  bytes wide_tree = in_room(compile_dts(box_dts("box", "boot", true)));
  ASSERT_EQ(rework(wide_tree, dtb_mode_rebuild, wide), 0);
  CaptureStdout();
  EXPECT_EQ(check_bootloader_rebuild(wide_tree.data(), 0, dtb_mode_rebuild, &wide, emmc), -1);
  EXPECT_NE(GetCapturedStdout().find("slot 5 ('misc')"), std::string::npos);

  // Removed: no node may be left.
  bytes removed = in_room(compile_dts(box_dts("box", "boot", true)));
  // (A node kept as it was is read too: the box's old node is not this plan.)
  CaptureStdout();
  EXPECT_EQ(check_bootloader_rebuild(removed.data(), 0, dtb_mode_keep, &plan, emmc), -1);
  GetCapturedStdout();
  ASSERT_EQ(rework(removed, dtb_mode_remove, plan), 0);
  EXPECT_EQ(check_bootloader_rebuild(removed.data(), 0, dtb_mode_remove, &plan, emmc), 0);
  CaptureStdout();
  EXPECT_EQ(check_bootloader_rebuild(tree.data(), 0, dtb_mode_remove, &plan, emmc), -1);
  EXPECT_NE(GetCapturedStdout().find("still holds a '/partitions' node"), std::string::npos);
}
