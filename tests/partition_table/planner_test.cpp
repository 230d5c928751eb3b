// The layout planner: the worked layouts, the refusals that keep a wrong
// table from ever being written, and the AVB partition list.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../support/table_builder.h"
#include "partition_table.h"
#include "planner_internal.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t emmc_7456 = 7456 * MiB;

// The slots in use, one line each, sizes and offsets in MiB where whole.
std::string slots(const mmc_partitions_fmt &table) {
  std::string out;
  for (uint32_t i = 0; i < table.part_num && i < max_partitions; i++) {
    const partition_entry &e = table.entries[i];
    char line[128];
    snprintf(line, sizeof(line), "%s %llu/%llu %llx\n", e.name,
             static_cast<unsigned long long>(e.offset / MiB),
             static_cast<unsigned long long>(e.size / MiB), static_cast<unsigned long long>(e.mask));
    out += line;
  }
  return out;
}

template <typename F>
int quietly(std::string &output, F call) {
  CaptureStdout();
  int result = call();
  output = GetCapturedStdout();
  return result;
}

// An Android 9 table without "userdata": the data layout.
mmc_partitions_fmt data_layout_table() {
  return make_table({{"bootloader", 4 * MiB, 0, 0},
                     {"reserved", 64 * MiB, 36 * MiB, 0},
                     {"env", 8 * MiB, 108 * MiB, 0},
                     {"logo", 32 * MiB, 124 * MiB, 1},
                     {"misc", 8 * MiB, 164 * MiB, 1},
                     {"dtbo", 8 * MiB, 180 * MiB, 1},
                     {"system", 1024 * MiB, 196 * MiB, 1},
                     {"data", 6236 * MiB, 1220 * MiB, 4}});
}

// An Android 11 A/B table.
mmc_partitions_fmt userdata_layout_table(uint64_t factory_mask = 0x11) {
  return make_table({{"bootloader", 4 * MiB, 0, 0},
                     {"reserved", 64 * MiB, 36 * MiB, 0},
                     {"cache", 1024 * MiB, 108 * MiB, 2},
                     {"env", 8 * MiB, 1140 * MiB, 0},
                     {"factory", 8 * MiB, 1156 * MiB, factory_mask},
                     {"logo", 8 * MiB, 1172 * MiB, 1},
                     {"misc", 2 * MiB, 1188 * MiB, 1},
                     {"boot_a", 64 * MiB, 1198 * MiB, 1},
                     {"vendor_boot_a", 64 * MiB, 1270 * MiB, 1},
                     {"dtbo_a", 8 * MiB, 1342 * MiB, 1},
                     {"super", 2048 * MiB, 1358 * MiB, 1},
                     {"userdata", 4042 * MiB, 3414 * MiB, 4}});
}

// 31 slots, "data" last: room for one more only.
mmc_partitions_fmt thirty_one_slots() {
  std::vector<test_partition> partitions;
  static char names[31][8];
  for (uint32_t i = 0; i < 31; i++) {
    snprintf(names[i], sizeof(names[i]), i == 30 ? "data" : "p%u", i);
    partitions.push_back({names[i], (i == 30 ? 1024 : 8) * MiB, (8 + 16 * i) * MiB, 1});
  }
  return make_table(partitions);
}

// Sizes read from a device that would wrap the running offset around.
mmc_partitions_fmt wrapping_table() {
  mmc_partitions_fmt table = data_layout_table();
  table.entries[1].size = ~0ull - 20 * MiB;
  table.checksum = test_table_checksum(table);
  return table;
}

enum plan_kind { dual_boot, data_layout, userdata_layout, removal };

}  // namespace

// Each plan from an old table: the slots it lays out, or its refusal.
TEST(Planner, LaysOutEveryKindOfTableOrRefusesIt) {
  const avb_partition_list avb{4, {"vendor_boot_a", "misc", "super", "dtbo_a"}};
  const struct {
    const char *what;
    plan_kind kind;
    mmc_partitions_fmt old;
    uint64_t emmc;
    const char *planned;  // the slots; nullptr: refused
    const char *said;     // a part of the output
    const avb_partition_list *avb = nullptr;
  } rows[] = {
      {"dual boot without data", dual_boot,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"system", 8 * MiB, 8 * MiB, 1}}), emmc_7456,
       nullptr, "Could not find data partition!\n"},
      // A data partition no larger than KV_FLASH would wrap around.
      {"dual boot, data too small", dual_boot,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 512 * MiB, 8 * MiB, 4}}), emmc_7456,
       nullptr, "Data partition 'data' (512MB) is too small to give 512MB to 'KV_FLASH'!\n"},
      {"dual boot, data past the end", dual_boot,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 8000 * MiB, 8 * MiB, 4}}), emmc_7456,
       nullptr, "does not fit on the eMMC"},
      // Never written past slot 32.
      {"dual boot, table full", dual_boot, thirty_one_slots(), emmc_7456, nullptr,
       "Partition table is full: no slot left for 'KV_FLASH'!\n"},
      // env 8, misc 8, logo 32, dtbo 8 in front of a reserved partition at 36:
      // logo does not fit and sends itself and dtbo behind it.
      {"data layout", data_layout, data_layout_table(), emmc_7456,
       "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nreserved 36/64 0\nlogo 100/32 1\n"
       "dtbo 132/8 1\nKV_FLASH 148/512 4\nKV_STORAGE 668/6788 4\n",
       "Warning: Could not find 'dto' partition!\n"},
      // logo (40) does not fit in the 16 left; dtbo (8) would, but goes behind,
      // and its mask bit 0x100 puts KV_FLASH 32 MiB behind it.
      {"data layout, a later small one behind too", data_layout,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"reserved", 64 * MiB, 36 * MiB, 0},
                   {"env", 8 * MiB, 108 * MiB, 0}, {"misc", 8 * MiB, 124 * MiB, 1},
                   {"logo", 40 * MiB, 140 * MiB, 1}, {"dtbo", 8 * MiB, 188 * MiB, 0x100},
                   {"data", 1000 * MiB, 204 * MiB, 4}}),
       emmc_7456,
       "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nreserved 36/64 0\nlogo 100/40 1\n"
       "dtbo 140/8 100\nKV_FLASH 180/512 4\nKV_STORAGE 700/6756 4\n",
       ""},
      // 8 + 8 + 8 + 8 fill the 32 MiB in front of reserved exactly.
      {"data layout, exact room", data_layout,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"reserved", 64 * MiB, 36 * MiB, 0},
                   {"env", 8 * MiB, 108 * MiB, 0}, {"misc", 8 * MiB, 124 * MiB, 1},
                   {"logo", 8 * MiB, 140 * MiB, 1}, {"dto", 8 * MiB, 156 * MiB, 1},
                   {"data", 1000 * MiB, 172 * MiB, 4}}),
       emmc_7456,
       "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nlogo 20/8 1\ndto 28/8 1\nreserved 36/64 0\n"
       "KV_FLASH 108/512 4\nKV_STORAGE 628/6828 4\n",
       "Warning: Could not find 'dtbo' partition!\n"},
      {"data layout without bootloader", data_layout,
       make_table({{"reserved", 64 * MiB, 36 * MiB, 0}, {"data", 8 * MiB, 108 * MiB, 4}}),
       emmc_7456, nullptr, "No bootloader partition found!\n"},
      {"data layout without reserved", data_layout,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 8 * MiB, 108 * MiB, 4}}), emmc_7456,
       nullptr, "No reserved partition found!\n"},
      // KV_STORAGE would start exactly at the end: empty.
      {"KV_STORAGE at the end", data_layout, data_layout_table(), 668 * MiB, nullptr,
       "Partition 'KV_STORAGE' would lie beyond the end of the eMMC!\n"},
      {"size of the eMMC unknown", data_layout, data_layout_table(), 0, nullptr,
       "Size of the eMMC is unknown!\n"},
      {"wrapping sizes", data_layout, wrapping_table(), emmc_7456, nullptr,
       "would lie beyond the end of the eMMC!"},
      // Without an AVB list only super is placed behind misc.
      {"userdata layout", userdata_layout, userdata_layout_table(), emmc_7456,
       "bootloader 0/4 0\nreserved 36/64 0\ncache 108/1024 2\nenv 1140/8 0\nfactory 1156/8 11\n"
       "logo 1172/8 1\nmisc 1188/2 1\nsuper 1198/2048 1\nKV_FLASH 3254/512 4\n"
       "KV_STORAGE 3774/3682 4\n",
       ""},
      // The list names misc (kept already) and super (placed with the list,
      // and not again behind it).
      {"userdata layout with an AVB list", userdata_layout, userdata_layout_table(), emmc_7456,
       "bootloader 0/4 0\nreserved 36/64 0\ncache 108/1024 2\nenv 1140/8 0\nfactory 1156/8 11\n"
       "logo 1172/8 1\nmisc 1188/2 1\nvendor_boot_a 1198/64 1\nsuper 1270/2048 1\n"
       "dtbo_a 3326/8 1\nKV_FLASH 3342/512 4\nKV_STORAGE 3862/3594 4\n",
       "", &avb},
      // The new slots need not be last: the order stays.
      {"removal", removal,
       make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 1000 * MiB, 108 * MiB, 4},
                   {"KV_STORAGE", 1000 * MiB, 108 * MiB, 4}, {"KV_FLASH", 300 * MiB, 1108 * MiB, 4},
                   {"tail", 8 * MiB, 2000 * MiB, 1}}),
       emmc_7456, "bootloader 0/4 0\ndata 108/1300 4\ntail 2000/8 1\n", ""},
  };
  for (const auto &r : rows) {
    mmc_partitions_fmt planned{};
    std::string output;
    const int result = quietly(output, [&] {
      switch (r.kind) {
        case dual_boot: return build_dual_boot_table(&r.old, &planned, r.emmc);
        case removal: return build_android_only_table(&r.old, &planned, r.emmc);
        default:
          return place_single_boot_table(r.kind == userdata_layout, &r.old, &planned, r.avb,
                                         r.emmc);
      }
    });
    EXPECT_NE(output.find(r.said), std::string::npos) << r.what << ": " << output;
    ASSERT_EQ(result, r.planned ? 0 : -1) << r.what << ": " << output;
    if (!r.planned) continue;
    EXPECT_EQ(slots(planned), r.planned) << r.what;
    EXPECT_EQ(planned.checksum, test_table_checksum(planned)) << r.what;
    EXPECT_EQ(memcmp(planned.magic, r.old.magic, 16), 0) << r.what;
  }
}

TEST(Planner, UserdataLayoutWidensTheGapOnlyBehindMaskBit0x100) {
  for (uint64_t mask : {0x100ull, 0x104ull, 4ull, 0x200ull}) {
    mmc_partitions_fmt old = userdata_layout_table(mask), planned{};
    std::string output;
    ASSERT_EQ(quietly(output, [&] { return place_single_boot_table(1, &old, &planned, nullptr, emmc_7456); }), 0);
    const partition_entry &factory = planned.entries[4], &logo = planned.entries[5];
    ASSERT_STREQ(logo.name, "logo");
    EXPECT_EQ(logo.offset, factory.offset + factory.size + ((mask & 0x100) ? 32 : 8) * MiB) << std::hex << mask;
  }
}

// ---- The check every planned table passes ----

TEST(Planner, CheckRefusesEveryKindOfBrokenTable) {
  mmc_partitions_fmt unterminated = make_table({{"a", 8 * MiB, 0, 0}});
  memcpy(unterminated.entries[0].name, "0123456789abcdef", 16);
  unterminated.checksum = test_table_checksum(unterminated);
  mmc_partitions_fmt broken = make_table({{"a", 8 * MiB, 0, 0}});
  broken.checksum ^= 1;
  const struct {
    mmc_partitions_fmt table;
    const char *said;
  } rows[] = {
      {make_table({{"a", 8 * MiB, 0, 0}, {"b", 8 * MiB, 4 * MiB, 0}}), "Partitions 'a' and 'b' overlap!\n"},
      {make_table({{"a", 8 * MiB, 16 * MiB, 0}, {"b", 8 * MiB, 12 * MiB, 0}}), "Partitions 'a' and 'b' overlap!\n"},
      {make_table({{"a", 8 * MiB, 0, 0}, {"a", 8 * MiB, 8 * MiB, 0}}), "Partition name 'a' is used twice!\n"},
      {make_table({{"a", 8 * MiB, 0, 0}, {"", 8 * MiB, 8 * MiB, 0}}),
       "Partition 2 has no valid name (1 to 15 characters)!\n"},
      {make_table({{"a", 8 * MiB, 7452 * MiB, 0}}),
       "Partition 'a' (offset 0x0001d1c00000, size 0x000000800000) does not fit on the eMMC of "
       "0x0001d2000000 bytes!\n"},
      {make_table({{"a", ~0ull, 8 * MiB, 0}}), ""},
      {make_table({{"data", 8 * MiB, 0, 4}, {"KV_STORAGE", 4 * MiB, 0, 4}}),
       "Partitions 'data' and 'KV_STORAGE' overlap!\n"},
      {make_table({{"data", 8 * MiB, 0, 4}, {"KV_FLASH", 0, 8 * MiB, 4}}), "Partition 'KV_FLASH' is empty!\n"},
      // A name filling all 16 bytes has no terminating zero.
      {unterminated, ""},
      // A broken record is refused by its own check.
      {broken, "partition verified error"},
  };
  for (const auto &r : rows) {
    std::string output;
    EXPECT_EQ(quietly(output, [&] { return check_planned_table(&r.table, emmc_7456); }), -1) << r.said;
    EXPECT_NE(output.find(r.said), std::string::npos) << output;
  }
  // A second name for the data and ranges that only touch pass.
  mmc_partitions_fmt table = make_table({{"bootloader", 4 * MiB, 0, 0},
                                         {"empty", 0, 2 * MiB, 0},
                                         {"data", 8 * MiB, 4 * MiB, 4},
                                         {"KV_STORAGE", 8 * MiB, 4 * MiB, 4},
                                         {"KV_FLASH", 7444 * MiB, 12 * MiB, 4}});
  std::string output;
  EXPECT_EQ(quietly(output, [&] { return check_planned_table(&table, emmc_7456); }), 0) << output;
}

// ---- AVB partition list ----

TEST(AvbPartitions, NamesAreKeptOnceAndTooLongOnesAreSkippedWithAWarning) {
  mmc_partitions_fmt table = make_named_table({"dtbo_a", "boot_a", "abcdefghijklm_a"});
  avb_partition_list list{};
  std::string output;
  EXPECT_EQ(quietly(output, [&] {
    return collect_avb_names(&table, &list, "_a", "dtbo,boot,boot,abcdefghijklm,abcdefghijklmn");
  }), 3);
  EXPECT_EQ(output, "Warning: AVB partition name 'abcdefghijklmn_a' is too long, ignored!\n");
  EXPECT_STREQ(list.names[2], "abcdefghijklm_a");
  // A suffix that makes even the fixed names too long, with bytes that must
  // not reach the terminal.
  EXPECT_EQ(quietly(output, [&] { return collect_avb_names(&table, &list, "_\x1b[2J_slot", "x"); }), 0);
  EXPECT_EQ(output.find('\x1b'), std::string::npos);
  EXPECT_NE(output.find("'vendor_boot_?[2J_slot' is too long"), std::string::npos) << output;
}
