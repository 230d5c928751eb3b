// The emulated box's images (box) as test data for tests that need no
// root: a preset's eMMC as the box lays it out, read back with the box's own
// tools.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "devicetree.h"
#include "dtb_test_support.h"
#include "partition_table.h"

#ifndef KVEMMC_BOX_DIR
#error "KVEMMC_BOX_DIR must name the folder of the emulated box"
#endif

inline const std::string box_tool = std::string(KVEMMC_BOX_DIR) + "/boxtool";
constexpr uint64_t box_reserved_offset = 36ull << 20;
constexpr uint64_t box_reserved_area = dtb_area_offset + dtb_area_size;  // table and both copies

// The reserved partition (up to the end of the DTB copies) of a preset's
// eMMC in the given installation state, as a file of its own; the eMMC's
// size in `emmc_size` when asked.
inline std::string box_reserved_image(const temp_dir &dir, const std::string &preset,
                                      const std::string &state, const std::string &name,
                                      uint64_t *emmc_size = nullptr) {
  const std::string emmc = dir.file(name + "-emmc.img");
  const std::string reserved = dir.file(name + ".img");
  EXPECT_EQ(run_shell(box_tool + " write-emmc " + preset + " " + state + " " + emmc), "");
  if (emmc_size) *emmc_size = std::filesystem::file_size(emmc);
  EXPECT_EQ(run_shell("dd if=" + emmc + " of=" + reserved + " bs=64K skip=" +
                      std::to_string(box_reserved_offset / 65536) + " count=" +
                      std::to_string(box_reserved_area / 65536) + " status=none && rm " + emmc),
            "");
  return reserved;
}

// The table at the start of such a reserved image.
inline mmc_partitions_fmt box_table_of(const std::string &image) {
  mmc_partitions_fmt table;
  memset(&table, 0, sizeof(table));
  bytes raw = read_whole_file(image);
  EXPECT_GE(raw.size(), sizeof(table));
  if (raw.size() >= sizeof(table)) memcpy(&table, raw.data(), sizeof(table));
  return table;
}
