// The layout planner: the worked layouts, the refusals that keep a wrong
// table from ever being written, and the AVB partition list.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../support/table_builder.h"
#include "dtb_test_support.h"
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

bool checksum_holds(const mmc_partitions_fmt &table) {
  return table.checksum == partition_table_checksum(table.entries, static_cast<int>(table.part_num));
}

// Keeps the -f setting of a test from leaking into the next.
class Planner : public testing::Test {
 protected:
  void TearDown() override { flash_partition_size = default_flash_partition_size; }

  // Runs `call` with standard output captured into `output`.
  template <typename F>
  int quietly(F call) {
    CaptureStdout();
    int result = call();
    output = GetCapturedStdout();
    return result;
  }
  std::string output;
  mmc_partitions_fmt planned{};
};

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

}  // namespace

// ---- Dual boot ----

TEST_F(Planner, DualBootRefusesWhatCannotBeLaidOut) {
  // No data partition.
  mmc_partitions_fmt old = make_table({{"bootloader", 4 * MiB, 0, 0}, {"system", 8 * MiB, 8 * MiB, 1}});
  EXPECT_EQ(quietly([&] { return build_dual_boot_table(&old, &planned, emmc_7456); }), -1);
  EXPECT_EQ(output, "Could not find data partition!\n");
  // A data partition no larger than KV_FLASH would wrap around.
  old = make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 512 * MiB, 8 * MiB, 4}});
  EXPECT_EQ(quietly([&] { return build_dual_boot_table(&old, &planned, emmc_7456); }), -1);
  EXPECT_EQ(output, "Data partition 'data' (512MB) is too small to give 512MB to 'KV_FLASH'!\n");
  // A data partition reaching past the end of the eMMC.
  old = make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 8000 * MiB, 8 * MiB, 4}});
  EXPECT_EQ(quietly([&] { return build_dual_boot_table(&old, &planned, emmc_7456); }), -1);
  EXPECT_NE(output.find("does not fit on the eMMC"), std::string::npos) << output;
  // 31 slots leave room for one more only: never written past slot 32.
  old = make_table({});
  for (uint32_t i = 0; i < 31; i++) {
    old.entries[i] = {{}, 8 * MiB, (8 + 16 * i) * MiB, 1};
    snprintf(old.entries[i].name, partition_name_size, i == 30 ? "data" : "p%u", i);
  }
  old.entries[30].size = 1024 * MiB;
  old.part_num = 31;
  old.checksum = partition_table_checksum(old.entries, 31);
  EXPECT_EQ(quietly([&] { return build_dual_boot_table(&old, &planned, emmc_7456); }), -1);
  EXPECT_EQ(output, "Partition table is full: no slot left for 'KV_FLASH'!\n");
}

// ---- Single boot, data layout ----

TEST_F(Planner, DataLayoutPacksInFrontOfReservedUntilOneDoesNotFit) {
  // env 8, misc 8, logo 32, dtbo 8 in front of a reserved partition at 36:
  // logo does not fit and sends itself and dtbo behind it.
  mmc_partitions_fmt old = data_layout_table();
  ASSERT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), 0);
  EXPECT_EQ(slots(planned),
            "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nreserved 36/64 0\nlogo 100/32 1\n"
            "dtbo 132/8 1\nKV_FLASH 148/512 4\nKV_STORAGE 668/6788 4\n");
  EXPECT_EQ(output, "Warning: Could not find 'dto' partition!\n");
  EXPECT_TRUE(checksum_holds(planned));
  EXPECT_EQ(memcmp(planned.magic, old.magic, 16), 0);
}

TEST_F(Planner, DataLayoutSendsALaterSmallPartitionBehindToo) {
  // logo (40) does not fit in the 16 left; dtbo (8) would, but goes behind.
  mmc_partitions_fmt old = make_table({{"bootloader", 4 * MiB, 0, 0},
                                       {"reserved", 64 * MiB, 36 * MiB, 0},
                                       {"env", 8 * MiB, 108 * MiB, 0},
                                       {"misc", 8 * MiB, 124 * MiB, 1},
                                       {"logo", 40 * MiB, 140 * MiB, 1},
                                       {"dtbo", 8 * MiB, 188 * MiB, 0x100},
                                       {"data", 1000 * MiB, 204 * MiB, 4}});
  ASSERT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), 0);
  // dtbo's mask bit 0x100 puts KV_FLASH 32 MiB behind it.
  EXPECT_EQ(slots(planned),
            "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nreserved 36/64 0\nlogo 100/40 1\n"
            "dtbo 140/8 100\nKV_FLASH 180/512 4\nKV_STORAGE 700/6756 4\n");
}

TEST_F(Planner, DataLayoutExactRoomFitsAndReservedEndsTheKeptPartitions) {
  // 8 + 8 + 8 + 8 fill the 32 MiB in front of reserved exactly.
  mmc_partitions_fmt old = make_table({{"bootloader", 4 * MiB, 0, 0},
                                       {"reserved", 64 * MiB, 36 * MiB, 0},
                                       {"env", 8 * MiB, 108 * MiB, 0},
                                       {"misc", 8 * MiB, 124 * MiB, 1},
                                       {"logo", 8 * MiB, 140 * MiB, 1},
                                       {"dto", 8 * MiB, 156 * MiB, 1},
                                       {"data", 1000 * MiB, 172 * MiB, 4}});
  ASSERT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), 0);
  EXPECT_EQ(slots(planned),
            "bootloader 0/4 0\nenv 4/8 0\nmisc 12/8 1\nlogo 20/8 1\ndto 28/8 1\nreserved 36/64 0\n"
            "KV_FLASH 108/512 4\nKV_STORAGE 628/6828 4\n");
  EXPECT_EQ(output, "Warning: Could not find 'dtbo' partition!\n");
}

TEST_F(Planner, DataLayoutNeedsBootloaderAndReserved) {
  mmc_partitions_fmt old = make_table({{"reserved", 64 * MiB, 36 * MiB, 0}, {"data", 8 * MiB, 108 * MiB, 4}});
  EXPECT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), -1);
  EXPECT_EQ(output, "No bootloader partition found!\n");
  old = make_table({{"bootloader", 4 * MiB, 0, 0}, {"data", 8 * MiB, 108 * MiB, 4}});
  EXPECT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), -1);
  EXPECT_EQ(output, "No reserved partition found!\n");
}

TEST_F(Planner, SingleBootRefusesALayoutThatDoesNotFitTheEmmc) {
  mmc_partitions_fmt old = data_layout_table();
  // KV_STORAGE would start exactly at the end: empty.
  EXPECT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, 668 * MiB); }), -1);
  EXPECT_EQ(output, "Warning: Could not find 'dto' partition!\n"
                    "Partition 'KV_STORAGE' would lie beyond the end of the eMMC!\n");
  // Unknown size of the eMMC.
  EXPECT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, 0); }), -1);
  EXPECT_EQ(output, "Size of the eMMC is unknown!\n");
  // Sizes read from a device that would wrap the running offset around.
  old.entries[1].size = ~0ull - 20 * MiB;
  old.checksum = partition_table_checksum(old.entries, static_cast<int>(old.part_num));
  EXPECT_EQ(quietly([&] { return place_single_boot_table(0, &old, &planned, nullptr, emmc_7456); }), -1);
  EXPECT_NE(output.find("would lie beyond the end of the eMMC!"), std::string::npos) << output;
}

// ---- Single boot, userdata layout ----

TEST_F(Planner, UserdataLayoutWidensTheGapOnlyBehindMaskBit0x100) {
  for (uint64_t mask : {0x100ull, 0x104ull, 4ull, 0x200ull}) {
    mmc_partitions_fmt old = userdata_layout_table(mask);
    ASSERT_EQ(quietly([&] { return place_single_boot_table(1, &old, &planned, nullptr, emmc_7456); }), 0);
    uint64_t gap = (mask & 0x100) ? 32 : 8;
    int factory = 4, logo = 5;
    ASSERT_STREQ(planned.entries[logo].name, "logo");
    EXPECT_EQ(planned.entries[logo].offset,
              planned.entries[factory].offset + planned.entries[factory].size + gap * MiB)
        << std::hex << mask;
  }
}

TEST_F(Planner, UserdataLayoutWithoutAnAvbListKeepsOnlyTheListAndSuper) {
  mmc_partitions_fmt old = userdata_layout_table();
  ASSERT_EQ(quietly([&] { return place_single_boot_table(1, &old, &planned, nullptr, emmc_7456); }), 0);
  EXPECT_EQ(slots(planned),
            "bootloader 0/4 0\nreserved 36/64 0\ncache 108/1024 2\nenv 1140/8 0\nfactory 1156/8 11\n"
            "logo 1172/8 1\nmisc 1188/2 1\nsuper 1198/2048 1\nKV_FLASH 3254/512 4\n"
            "KV_STORAGE 3774/3682 4\n");
}

TEST_F(Planner, UserdataLayoutPlacesAPartitionNamedTwiceOnce) {
  // The list names misc (kept already) and super (placed with the list, and
  // not again behind it).
  mmc_partitions_fmt old = userdata_layout_table();
  avb_partition_list avb{4, {"vendor_boot_a", "misc", "super", "dtbo_a"}};
  ASSERT_EQ(quietly([&] { return place_single_boot_table(1, &old, &planned, &avb, emmc_7456); }), 0);
  EXPECT_EQ(slots(planned),
            "bootloader 0/4 0\nreserved 36/64 0\ncache 108/1024 2\nenv 1140/8 0\nfactory 1156/8 11\n"
            "logo 1172/8 1\nmisc 1188/2 1\nvendor_boot_a 1198/64 1\nsuper 1270/2048 1\n"
            "dtbo_a 3326/8 1\nKV_FLASH 3342/512 4\nKV_STORAGE 3862/3594 4\n");
}

// ---- Removal ----

TEST_F(Planner, RemovalKeepsTheOrderWhenTheNewSlotsAreNotLast) {
  mmc_partitions_fmt dual = make_table({{"bootloader", 4 * MiB, 0, 0},
                                        {"data", 1000 * MiB, 108 * MiB, 4},
                                        {"KV_STORAGE", 1000 * MiB, 108 * MiB, 4},
                                        {"KV_FLASH", 300 * MiB, 1108 * MiB, 4},
                                        {"tail", 8 * MiB, 2000 * MiB, 1}});
  ASSERT_EQ(quietly([&] { return build_android_only_table(&dual, &planned, emmc_7456); }), 0);
  EXPECT_EQ(slots(planned), "bootloader 0/4 0\ndata 108/1300 4\ntail 2000/8 1\n");
  EXPECT_TRUE(checksum_holds(planned));
}

// ---- The check every planned table passes ----

TEST_F(Planner, CheckRefusesEveryKindOfBrokenTable) {
  struct Case {
    std::initializer_list<test_partition> slots;
    const char *message;
  };
  const Case cases[] = {
      {{{"a", 8 * MiB, 0, 0}, {"b", 8 * MiB, 4 * MiB, 0}}, "Partitions 'a' and 'b' overlap!\n"},
      {{{"a", 8 * MiB, 16 * MiB, 0}, {"b", 8 * MiB, 12 * MiB, 0}}, "Partitions 'a' and 'b' overlap!\n"},
      {{{"a", 8 * MiB, 0, 0}, {"a", 8 * MiB, 8 * MiB, 0}}, "Partition name 'a' is used twice!\n"},
      {{{"a", 8 * MiB, 0, 0}, {"", 8 * MiB, 8 * MiB, 0}},
       "Partition 2 has no valid name (1 to 15 characters)!\n"},
      {{{"a", 8 * MiB, 7452 * MiB, 0}},
       "Partition 'a' (offset 0x0001d1c00000, size 0x000000800000) does not fit on the eMMC of "
       "0x0001d2000000 bytes!\n"},
      {{{"a", ~0ull, 8 * MiB, 0}}, nullptr},
      {{{"data", 8 * MiB, 0, 4}, {"KV_STORAGE", 4 * MiB, 0, 4}},
       "Partitions 'data' and 'KV_STORAGE' overlap!\n"},
      {{{"data", 8 * MiB, 0, 4}, {"KV_FLASH", 0, 8 * MiB, 4}}, "Partition 'KV_FLASH' is empty!\n"},
  };
  for (const Case &c : cases) {
    mmc_partitions_fmt table = make_table(c.slots);
    EXPECT_EQ(quietly([&] { return check_planned_table(&table, emmc_7456); }), -1);
    if (c.message) {
      EXPECT_EQ(output, c.message);
    }
  }
  // A name filling all 16 bytes has no terminating zero.
  mmc_partitions_fmt table = make_table({{"a", 8 * MiB, 0, 0}});
  memcpy(table.entries[0].name, "0123456789abcdef", 16);
  table.checksum = partition_table_checksum(table.entries, 1);
  EXPECT_EQ(quietly([&] { return check_planned_table(&table, emmc_7456); }), -1);
  // A broken record is refused by its own check.
  table = make_table({{"a", 8 * MiB, 0, 0}});
  table.checksum ^= 1;
  EXPECT_EQ(quietly([&] { return check_planned_table(&table, emmc_7456); }), -1);
  EXPECT_NE(output.find("partition verified error"), std::string::npos);
}

TEST_F(Planner, CheckAcceptsStorageAsASecondNameForTheDataAndTouchingRanges) {
  mmc_partitions_fmt table = make_table({{"bootloader", 4 * MiB, 0, 0},
                                         {"empty", 0, 2 * MiB, 0},
                                         {"data", 8 * MiB, 4 * MiB, 4},
                                         {"KV_STORAGE", 8 * MiB, 4 * MiB, 4},
                                         {"KV_FLASH", 7444 * MiB, 12 * MiB, 4}});
  EXPECT_EQ(quietly([&] { return check_planned_table(&table, emmc_7456); }), 0) << output;
}

// ---- AVB partition list ----

TEST(AvbPartitions, NamesAreKeptOnceAndTooLongOnesAreSkippedWithAWarning) {
  mmc_partitions_fmt table = make_named_table({"dtbo_a", "boot_a", "abcdefghijklm_a"});
  avb_partition_list list{};
  CaptureStdout();
  EXPECT_EQ(collect_avb_names(&table, &list, "_a", "dtbo,boot,boot,abcdefghijklm,abcdefghijklmn"), 3);
  EXPECT_EQ(GetCapturedStdout(),
            "Warning: AVB partition name 'abcdefghijklmn_a' is too long, ignored!\n");
  EXPECT_STREQ(list.names[2], "abcdefghijklm_a");
  // A suffix that makes even the fixed names too long, with bytes that must
  // not reach the terminal.
  CaptureStdout();
  EXPECT_EQ(collect_avb_names(&table, &list, "_\x1b[2J_slot", "x"), 0);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_NE(out.find("'vendor_boot_?[2J_slot' is too long"), std::string::npos) << out;
}

