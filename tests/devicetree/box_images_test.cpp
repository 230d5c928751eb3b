// The device-tree subsystem on the emulated box's images (box): the
// reserved partition of every preset, as the box builds it, is read and
// rewritten here, and the result is judged by the box's own readers, dtc and
// fdtget, none of which share code with what is tested.

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "box_images.h"
#include "devicetree.h"
#include "dtb_test_support.h"

namespace {

// dtc's text of a tree without its /partitions node and without empty lines.
std::string without_partitions_node(const std::string &dts) {
  std::istringstream in(dts);
  std::string line, out;
  bool skipping = false;
  while (std::getline(in, line)) {
    if (!skipping && line == "\tpartitions {") {
      skipping = true;
      continue;
    }
    if (skipping) {
      if (line == "\t};") skipping = false;
      continue;
    }
    if (!line.empty()) out += line + "\n";
  }
  return out;
}

struct Preset {
  const char *name;
  const char *installed;  // the installation state whose table is written
  int dtb_mode;           // what the tool does to the node for that table
  const char *form;       // what boxtool reports for each copy
  int trees;
  const char *vbmeta_parts;  // null: no such property
};

class BoxImages : public ::testing::TestWithParam<Preset> {};

TEST_P(BoxImages, VbmetaPartsAreReadFromCopyOne) {
  const Preset p = GetParam();
  temp_dir dir;
  const std::string reserved = box_reserved_image(dir, p.name, "fresh", "reserved");
  char value[256] = {};
  int result = read_dtb_property_from(reserved.c_str(), "/firmware/android/vbmeta", "parts", value,
                                      sizeof(value));
  if (p.vbmeta_parts) {
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(value, p.vbmeta_parts);
  } else {
    EXPECT_LT(result, 0);
  }
}

// Writing the installation's table: both copies keep their form with a good
// marker and checksum, every tree decodes, the node is gone or mirrors the
// new table, the rest of each tree is unchanged, and the table is in place.
TEST_P(BoxImages, WritingTheInstallationsTableKeepsEveryTreeWhole) {
  const Preset p = GetParam();
  temp_dir dir;
  const std::string reserved = box_reserved_image(dir, p.name, "fresh", "reserved");
  const std::string installed = box_reserved_image(dir, p.name, p.installed, "installed");
  const mmc_partitions_fmt table = box_table_of(installed);

  ASSERT_EQ(run_shell(box_tool + " dtb --at 0 " + reserved + " " + dir.file("before")).find("<exit"),
            std::string::npos);
  ASSERT_EQ(write_partition_table(p.dtb_mode, &table, reserved.c_str()), 0);

  const std::string report = run_shell(box_tool + " dtb --at 0 " + reserved + " " + dir.file("after"));
  for (int copy = 0; copy < 2; ++copy) {
    EXPECT_NE(report.find("copy " + std::to_string(copy) + " form " + p.form + " checksum ok trees " +
                          std::to_string(p.trees)),
              std::string::npos)
        << report;
  }
  EXPECT_EQ(run_shell(box_tool + " table --at 0 " + reserved),
            run_shell(box_tool + " expect " + p.name + " " + p.installed));

  int env = 0;
  ASSERT_EQ(find_partition(&table, "env", &env), 0);
  const int listed = static_cast<int>(table.part_num) - env - 1;
  for (int copy = 0; copy < 2; ++copy) {
    for (int n = 0; n < p.trees; ++n) {
      const std::string name = "/copy" + std::to_string(copy) + "-tree" + std::to_string(n);
      const std::string before = run_shell("cat " + dir.file("before") + name + ".dts");
      const std::string after = run_shell("cat " + dir.file("after") + name + ".dts");
      EXPECT_TRUE(without_partitions_node(after) == without_partitions_node(before))
          << name << " changed beyond its partitions node";
      const std::string tree = dir.file("after") + name + ".dtb";
      const std::string children = run_shell("fdtget -l " + tree + " /");
      if (p.dtb_mode == dtb_mode_remove) {
        EXPECT_EQ(children.find("partitions"), std::string::npos) << children;
        continue;
      }
      EXPECT_EQ(children.rfind("partitions\n", 0), 0u) << children;  // the first child
      EXPECT_EQ(run_shell("fdtget " + tree + " /partitions parts"), std::to_string(listed) + "\n");
      std::string subnodes;
      for (int i = env + 1; i < static_cast<int>(table.part_num); ++i)
        subnodes += std::string(table.entries[i].name) + "\n";
      EXPECT_EQ(run_shell("fdtget -l " + tree + " /partitions"), subnodes);
      for (int i = env + 1; i < static_cast<int>(table.part_num); ++i) {
        const partition_entry &e = table.entries[i];
        const std::string node = std::string("/partitions/") + e.name;
        EXPECT_EQ(run_shell("fdtget " + tree + " " + node + " pname"), std::string(e.name) + "\n");
        EXPECT_EQ(run_shell("fdtget " + tree + " /partitions part-" + std::to_string(i - env - 1)),
                  run_shell("fdtget " + tree + " " + node + " phandle"));
        const uint64_t size = i + 1 == static_cast<int>(table.part_num) ? ~0ull : e.size;
        char cells[64];
        snprintf(cells, sizeof cells, "%x %x\n", static_cast<unsigned>(size >> 32),
                 static_cast<unsigned>(size & 0xffffffffu));
        EXPECT_EQ(run_shell("fdtget -tx " + tree + " " + node + " size"), cells) << node;
        EXPECT_EQ(run_shell("fdtget " + tree + " " + node + " mask"),
                  std::to_string(static_cast<uint32_t>(e.mask)) + "\n");
      }
    }
  }
}

void PrintTo(const Preset &p, std::ostream *os) { *os << p.name; }

std::string preset_name(const ::testing::TestParamInfo<Preset> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    EveryPreset, BoxImages,
    ::testing::Values(
        Preset{"gxl_p212", "dual", dtb_mode_remove, "tree compressed no marker ok", 1, nullptr},
        Preset{"khadas_vim3", "dual", dtb_mode_remove, "container-v2 compressed yes marker none", 3,
               "boot,system,vendor"},
        Preset{"beelink", "single", dtb_mode_rebuild, "container-v1 compressed no marker ok", 2,
               "boot,vendor_boot,vbmeta_system"}),
    preset_name);

}  // namespace
