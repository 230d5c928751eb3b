// The planner on the tables of the emulated box's presets. The box lays out
// each preset's factory table and, independently, the tables a dual-boot and
// a single-boot installation leave; the planner must arrive at exactly those
// from the factory table, and removal must lead back to the factory table.
// Tables are compared as the box's own reader decodes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "box_images.h"
#include "partition_table.h"
#include "planner_internal.h"

namespace {

// The box's reader on a table written to a file of its own.
std::string decoded(const temp_dir &dir, const mmc_partitions_fmt &table) {
  const std::string file = dir.file("planned-table.img");
  write_whole_file(file, bytes(reinterpret_cast<const uint8_t *>(&table),
                               reinterpret_cast<const uint8_t *>(&table) + sizeof(table)));
  return run_shell(box_tool + " table --at 0 " + file);
}

class PresetTables : public testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    const char *path = getenv("PATH");
    saved_path = path ? path : "";
    fresh_image = box_reserved_image(dir, GetParam(), "fresh", "fresh", &emmc_size);
    fresh = box_table_of(fresh_image);
    ASSERT_EQ(verify_partition_table(&fresh), 0);
  }
  void TearDown() override { setenv("PATH", saved_path.c_str(), 1); }

  std::string expected(const std::string &state) {
    return run_shell(box_tool + " expect " + GetParam() + " " + state);
  }

  temp_dir dir;
  std::string saved_path;
  std::string fresh_image;
  uint64_t emmc_size = 0;
  mmc_partitions_fmt fresh{};
  mmc_partitions_fmt planned{};
};

// The presets whose menu offers dual boot, and those that offer single boot.
class DualBootPresets : public PresetTables {};
class SingleBootPresets : public PresetTables {
 protected:
  // fw_printenv: the real tool on the preset's bootloader environment.
  void SetUp() override {
    PresetTables::SetUp();
    const std::string env = dir.file("uboot-env.img");
    ASSERT_EQ(run_shell(box_tool + " env-image " + GetParam() + " " + env), "");
    ASSERT_EQ(run_shell("mkdir " + dir.file("bin") + " && echo '" + env + " 0x0 0x10000' > " +
                        dir.file("fw_env.config") + " && printf '#!/bin/sh\\nexec /usr/bin/fw_printenv -c " +
                        dir.file("fw_env.config") + " \"$@\"\\n' > " + dir.file("bin/fw_printenv") +
                        " && chmod 755 " + dir.file("bin/fw_printenv")),
              "");
    setenv("PATH", (dir.file("bin") + ":" + saved_path).c_str(), 1);
  }
};

TEST_P(DualBootPresets, DualBootAndItsRemovalMatchTheBox) {
  testing::internal::CaptureStdout();
  int built = build_dual_boot_table(&fresh, &planned, emmc_size);
  std::string output = testing::internal::GetCapturedStdout();
  ASSERT_EQ(built, 0) << output;
  EXPECT_EQ(decoded(dir, planned), expected("dual"));

  const mmc_partitions_fmt dual = box_table_of(box_reserved_image(dir, GetParam(), "dual", "dual"));
  mmc_partitions_fmt removed{};
  ASSERT_EQ(build_android_only_table(&dual, &removed, emmc_size), 0);
  EXPECT_EQ(memcmp(&removed, &fresh, sizeof(fresh)), 0) << decoded(dir, removed);
}

TEST_P(SingleBootPresets, SingleBootMatchesTheBoxWithTheAvbPartitionsOfTheActiveSlot) {
  const int has_userdata = find_partition(&fresh, "userdata", nullptr) == 0;
  // The active slot comes from the bootloader's environment, the rest of the
  // list from the vbmeta node of the preset's reserved partition.
  avb_partition_list avb{};
  testing::internal::CaptureStdout();
  int listed = has_userdata ? collect_avb_partitions(&fresh, &avb, fresh_image.c_str()) : 0;
  int built = place_single_boot_table(has_userdata, &fresh, &planned, has_userdata ? &avb : nullptr,
                                      emmc_size);
  std::string output = testing::internal::GetCapturedStdout();
  ASSERT_EQ(built, 0) << output;
  EXPECT_EQ(decoded(dir, planned), expected("single"));
  if (has_userdata) {
    // Fixed names first, then the property's; vendor_boot_a only once.
    ASSERT_EQ(listed, 4);
    EXPECT_STREQ(avb.names[0], "vendor_boot_a");
    EXPECT_STREQ(avb.names[3], "boot_a");
    EXPECT_EQ(output, "");
  } else {
    EXPECT_EQ(output, "Warning: Could not find 'dto' partition!\n");
  }
}

TEST_P(PresetTables, EveryPlanOfTheFactoryTablePassesTheCheck) {
  // What the menu would offer or not: a plan either fails with its message
  // or yields a table that passes the check on this eMMC.
  for (int has_userdata : {0, 1}) {
    testing::internal::CaptureStdout();
    int built = place_single_boot_table(has_userdata, &fresh, &planned, nullptr, emmc_size);
    testing::internal::GetCapturedStdout();
    if (built == 0) {
      EXPECT_EQ(check_planned_table(&planned, emmc_size), 0);
      EXPECT_EQ(planned.entries[planned.part_num - 1].offset + planned.entries[planned.part_num - 1].size,
                emmc_size);
    }
  }
  // One byte less eMMC than the factory table needs is refused.
  testing::internal::CaptureStdout();
  EXPECT_EQ(build_dual_boot_table(&fresh, &planned, emmc_size - 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("does not fit on the eMMC"), std::string::npos);
}

std::string preset_name(const testing::TestParamInfo<const char *> &info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(EveryPreset, PresetTables,
                         testing::Values("gxl_p212", "khadas_vim3", "beelink"), preset_name);
INSTANTIATE_TEST_SUITE_P(Presets, DualBootPresets, testing::Values("gxl_p212", "khadas_vim3"),
                         preset_name);
INSTANTIATE_TEST_SUITE_P(Presets, SingleBootPresets, testing::Values("khadas_vim3", "beelink"),
                         preset_name);

}  // namespace
