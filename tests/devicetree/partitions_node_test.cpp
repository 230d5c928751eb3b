// The partitions node as the bootloader will read it, checked with fdtget and
// dtc rather than with our own reader.
#include <gtest/gtest.h>

#include <cstring>

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

// Nodes built from a table, read back with fdtget.
TEST(PartitionsNode, TheBuiltNodeAsFdtgetReadsIt) {
  const struct {
    std::string dts;
    mmc_partitions_fmt table;
    bool single_tree;
    std::vector<std::pair<const char *, const char *>> read;  // fdtget arguments, output
  } rows[] = {
      // env as the last entry leaves only a parts count of zero.
      {box_dts("box", "boot", true), make_table({{"bootloader", 4 * mib, 0, 0}, {"env", 8 * mib, 12 * mib, 0}}),
       true, {{"-p /partitions", "parts\n"}, {"-l /partitions", ""}, {"/partitions parts", "0\n"}}},
      // Phandles start at one in a tree without any.
      {"/dts-v1/;\n/ { model = \"bare\"; };\n", android_table(), true,
       {{"/partitions/data phandle", "1\n"}, {"/partitions/system phandle", "2\n"},
        {"/partitions part-0", "5\n"}}},
      // Every node answering to the path goes.
      {"/dts-v1/;\n/ { partitions@1 { a { }; }; partitions { b { }; }; partitions@2 { }; };\n",
       android_table(), false, {{"-l /", "partitions\n"}, {"/partitions parts", "5\n"}}},
  };
  for (const auto &r : rows) {
    bytes tree = in_room(compile_dts(r.dts));
    ASSERT_EQ(rework(tree, dtb_mode_rebuild, r.table, r.single_tree), 0) << r.dts;
    for (auto [arguments, shown] : r.read) EXPECT_EQ(fdtget(tree.data(), arguments), shown) << r.dts;
  }
}

// Each refusal prints its line last.
TEST(PartitionsNode, TreesAndTablesThatCannotBeBuiltAreRefused) {
  const bytes box = compile_dts(box_dts("box", "boot", true));
  const bytes unlisted = compile_dts(box_dts("box", "boot", false));
  // libfdt 1.6.1's own check loops for ever on a property length that wraps
  // its offset, and follows a null name in trees older than version 16.
  const bytes compiled = compile_dts("/dts-v1/;\n/ { p = <1>; };\n");
  bytes wrapping = in_room(compiled), ancient = in_room(compiled);
  // compiled[11]: the structure block's offset, below 256.
  memcpy(&wrapping[compiled[11] + 12], "\xff\xff\xff\xf4", 4);  // after root node and property tag
  ancient[23] = 4;  // version
  mmc_partitions_fmt bad_name = android_table();
  strcpy(bad_name.entries[6].name, "bo/ot");
  const std::string failed = "Failed to create new partition table: -1!\n";
  const struct {
    const char *what;
    bytes tree;
    int mode;
    mmc_partitions_fmt table;
    std::string last_lines;
  } rows[] = {
      {"no env", in_room(box), dtb_mode_rebuild,
       make_table({{"bootloader", 4 * mib, 0, 0}, {"data", 8 * mib, 12 * mib, 4}}),
       "Could not find 'env' partition!\n" + failed},
      {"no node name", in_room(box), dtb_mode_rebuild, bad_name, "Invalid partition name in slot 6!\n" + failed},
      // An edit that does not fit fails instead of leaving a half-built node.
      {"no room", in_room(unlisted, unlisted.size() + 64), dtb_mode_rebuild, android_table(), " '-3'\n" + failed},
      // A tree that claims more than its room is refused before any edit.
      {"short room", in_room(unlisted, unlisted.size() - 4), dtb_mode_remove, android_table(),
       "Invalid device tree: total size beyond its room!\n"},
      {"wrapping", wrapping, dtb_mode_remove, android_table(),
       "Invalid device tree: property value runs past the structure block!\n"},
      {"ancient", ancient, dtb_mode_remove, android_table(), "Invalid device tree: version older than 16!\n"},
  };
  for (auto r : rows) {
    CaptureStdout();
    EXPECT_EQ(rework(r.tree, r.mode, r.table), -1) << r.what;
    const std::string printed = GetCapturedStdout();
    EXPECT_TRUE(printed.ends_with(r.last_lines)) << r.what << ": " << printed;
  }
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
  bytes tree = in_room(compile_dts(box_dts("old", "boot", true), "-V 16"));
  mmc_partitions_fmt table = android_table();
  CaptureStdout();
  ASSERT_EQ(rework(tree, dtb_mode_remove, table), 0);
  EXPECT_EQ(GetCapturedStdout(), "delete_node '-10'\n");  // FDT_ERR_BADVERSION, then opened
  EXPECT_EQ(fdtget(tree.data(), "-l /"), "firmware\nsoc\n");
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
