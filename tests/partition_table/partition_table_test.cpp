#include "partition_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "../support/table_builder.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint64_t MiB = 1 << 20;

std::string verify_output(const mmc_partitions_fmt &table, int *result, int first = 1) {
  CaptureStdout();
  *result = verify_and_print_partition_table(&table, first);
  return GetCapturedStdout();
}

// A typical Android 9 table as the bootloader lays it out.
mmc_partitions_fmt android_table() {
  return make_table({{"bootloader", 4 * MiB, 0, 0},
                     {"reserved", 64 * MiB, 36 * MiB, 0},
                     {"cache", 1120 * MiB, 108 * MiB, 2},
                     {"env", 8 * MiB, 1236 * MiB, 0},
                     {"logo", 8 * MiB, 1252 * MiB, 1},
                     {"data", 4000 * MiB, 1268 * MiB, 4}});
}

}  // namespace

// Against the rule worked out independently in table_builder.h.
TEST(PartitionTableChecksum, IsTheCountTimesTheWordSumOfSlotZero) {
  // Every word of slot 0 counts, the high words of sizes and offsets too.
  for (mmc_partitions_fmt table : {android_table(), make_table({{"data", 0x3a0000000, 0x140000000,
                                                                 0x100000004}})}) {
    EXPECT_EQ(partition_table_checksum(table.entries, static_cast<int>(table.part_num)),
              test_table_checksum(table));
    for (int count : {2, 20}) {
      table.part_num = count;
      EXPECT_EQ(partition_table_checksum(table.entries, count), test_table_checksum(table));
    }
    EXPECT_EQ(partition_table_checksum(table.entries, 0), 0u);
    EXPECT_EQ(partition_table_checksum(table.entries, -3), 0u);
  }
  // Every other slot is ignored.
  mmc_partitions_fmt table = android_table();
  uint32_t before = partition_table_checksum(table.entries, 6);
  table.entries[1].size ^= 1;
  table.entries[31].name[3] = 'x';
  EXPECT_EQ(partition_table_checksum(table.entries, 6), before);
  // The words are read little-endian.
  partition_entry entry{};
  uint8_t *bytes = reinterpret_cast<uint8_t *>(&entry);
  bytes[0] = 0x01;  // low byte of word 0
  bytes[7] = 0x02;  // high byte of word 1
  EXPECT_EQ(partition_table_checksum(&entry, 1), 0x02000001u);
}

// Every way the record fails verification, each with the line that names it.
TEST(PartitionTableVerify, NamesWhatIsWrongWithTheRecord) {
  struct {
    const char *what;
    void (*spoil)(mmc_partitions_fmt &);
    const char *line;
  } cases[] = {
      {"no magic", [](mmc_partitions_fmt &t) { t.magic[0] = 0; }, "magic error: NULL"},
      {"magic without its NUL", [](mmc_partitions_fmt &t) { memcpy(t.magic, "MPTX", 4); },
       "magic error: MPTX"},
      {"magic with control bytes", [](mmc_partitions_fmt &t) { memcpy(t.magic, "M\x1b[2", 4); },
       "magic error: M?[2"},
      {"no entries", [](mmc_partitions_fmt &t) { t.part_num = 0; }, "partition number error: 0"},
      {"33 entries", [](mmc_partitions_fmt &t) { t.part_num = 33; }, "partition number error: 33"},
      {"count with the top bit", [](mmc_partitions_fmt &t) { t.part_num = 0xffffffff; },
       "partition number error: -1"},
      // One slot "a" of 2 bytes: the sum is 0x61 + 2.
      {"checksum", [](mmc_partitions_fmt &t) { t.checksum = 0x1234; },
       "checksum error: pt_fmt->checksum=0x1234,calc_result=0x63"},
      {"checksum zero", [](mmc_partitions_fmt &t) { t.checksum = 0; },
       "checksum error: pt_fmt->checksum=0,calc_result=0x63"},
      // A size that differs only in its high word no longer verifies.
      {"high word of a size", [](mmc_partitions_fmt &t) { t.entries[0].size += 1ull << 32; },
       "checksum error: pt_fmt->checksum=0x63,calc_result=0x64"},
  };
  for (const auto &c : cases) {
    mmc_partitions_fmt table = make_table({{"a", 2, 0, 0}});
    c.spoil(table);
    int result = 0;
    EXPECT_EQ(verify_output(table, &result), std::string(c.line) + "\npartition verified error\n")
        << c.what;
    EXPECT_EQ(result, -1) << c.what;
  }
  // 32 entries is the most there are.
  mmc_partitions_fmt full = android_table();
  full.part_num = 32;
  full.checksum = test_table_checksum(full);
  EXPECT_EQ(verify_partition_table(&full), 0);
}

// Each slot on a line of its own from the given number on, sizes and offsets
// beyond 32 bits whole, a name of all 16 bytes without reading past it.
TEST(PartitionTableVerify, PrintsEverySlotWhole) {
  mmc_partitions_fmt table = make_table({
      {"data", 0x3a0000000, 0x140000000, mask_data},
      {"KV_FLASH", 0x100000000, 0x4e0000000, mask_code},
  });
  int result = -1;
  EXPECT_EQ(verify_output(table, &result),
            "[mmcblk0p01]                 data  offset 0x000140000000, size 0x0003a0000000 "
            "[14848 MB], data\n"
            "[mmcblk0p02]             KV_FLASH  offset 0x0004e0000000, size 0x000100000000 "
            "[4096 MB], code\n");
  EXPECT_EQ(result, 0);

  table = make_table({});
  for (int i = 0; i < 32; i++) snprintf(table.entries[i].name, 16, "p%d", i);
  memcpy(table.entries[31].name, "ABCDEFGHIJKLMNOP", 16);
  table.part_num = 32;
  table.checksum = test_table_checksum(table);
  std::string all = verify_output(table, &result);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 32);
  EXPECT_NE(all.find("[mmcblk0p32]     ABCDEFGHIJKLMNOP  offset"), std::string::npos) << all;
  std::string from_three = verify_output(table, &result, 3);
  EXPECT_EQ(from_three.rfind("[mmcblk0p03]                   p2", 0), 0u);
  EXPECT_EQ(std::count(from_three.begin(), from_three.end(), '\n'), 30);
}

TEST(PartitionTableMask, NamesOnlyTheExactLowWord) {
  const std::pair<uint64_t, const char *> rows[] = {
      {1, "code"},      {2, "cache"},     {4, "data"}, {0, "unkn"},
      {0x104, "unkn"},  {0x11, "unkn"},   {0x100000004ull, "data"},  // high word carries no meaning
  };
  for (const auto &[mask, name] : rows) EXPECT_STREQ(mask_type_name(mask), name) << mask;
}

TEST(PartitionTableLookup, SearchesAllSlotsAndSkipsEmptyOnes) {
  mmc_partitions_fmt table = android_table();
  int index = -1;
  EXPECT_EQ(find_partition(&table, "env", &index), 0);
  EXPECT_EQ(index, 3);
  strcpy(table.entries[20].name, "KV_STORAGE");  // beyond part_num
  EXPECT_EQ(find_partition(&table, "KV_STORAGE", &index), 0);
  EXPECT_EQ(index, 20);
  EXPECT_EQ(find_partition(&table, "", &index), -1);
  EXPECT_EQ(find_partition(&table, "ENV", nullptr), -1);
  EXPECT_EQ(find_partition(&table, "en", nullptr), -1);
}

TEST(PartitionTableLookup, TheLowerOfTwoEqualNamesWinsAndAnUnterminatedOneMatchesNothing) {
  mmc_partitions_fmt table = make_named_table({"a", "logo", "b", "logo"});
  int index = -1;
  EXPECT_EQ(find_partition(&table, "logo", &index), 0);
  EXPECT_EQ(index, 1);
  memcpy(table.entries[0].name, "KV_STORAGEXXXXXX", 16);
  EXPECT_EQ(find_partition(&table, "KV_STORAGE", nullptr), -1);
  EXPECT_EQ(find_partition(&table, "KV_STORAGEXXXXXX", nullptr), -1);
}

TEST(PartitionTableLookup, DataComesBeforeUserdata) {
  mmc_partitions_fmt both = make_named_table({"userdata", "data"});
  mmc_partitions_fmt userdata = make_named_table({"cache", "userdata"});
  mmc_partitions_fmt neither = make_named_table({"cache", "system"});
  int index = -1;
  EXPECT_EQ(find_data_partition(&both, &index), 0);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(find_data_partition(&userdata, &index), 0);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(find_data_partition(&neither, &index), -1);
}

TEST(PartitionTableGarbage, AnyBytesAreHandledWithinTheRecord) {
  // Heap-allocated at its exact size, so that a sanitizer build catches any
  // read past the record.
  owned<mmc_partitions_fmt> table = allocate_zeroed<mmc_partitions_fmt>(sizeof(mmc_partitions_fmt));
  ASSERT_TRUE(table);
  uint8_t *bytes = reinterpret_cast<uint8_t *>(table.get());
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<uint8_t>(state >> 16);
  };
  for (int round = 0; round < 500; round++) {
    for (size_t i = 0; i < sizeof(mmc_partitions_fmt); i++) bytes[i] = next();
    if (round % 2) {  // a valid header over garbage entries
      memcpy(table->magic, "MPT", 4);
      table->part_num = 1 + next() % 32;
      table->checksum = partition_table_checksum(table->entries, static_cast<int>(table->part_num));
    }
    CaptureStdout();
    int result = verify_and_print_partition_table(table.get(), 1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(result, round % 2 ? 0 : -1);
    for (char c : out) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7e)) << "round " << round;
    find_partition(table.get(), "KV_STORAGE", nullptr);
    find_data_partition(table.get(), nullptr);
  }
}
