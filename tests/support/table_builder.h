// Builds partition tables for tests: entries by name, size, offset and mask,
// with part_num and a checksum worked out here from the vendor's rule (the
// count times the wrapping sum of slot 0's ten little-endian words), not by
// the code under test.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "partition_table.h"

struct test_partition {
  const char *name;
  uint64_t size;
  uint64_t offset;
  uint64_t mask;
};

inline uint32_t test_table_checksum(const mmc_partitions_fmt &table) {
  const uint8_t *slot0 = reinterpret_cast<const uint8_t *>(&table.entries[0]);
  uint32_t sum = 0;
  for (int word = 0; word < 10; word++) {
    const uint8_t *b = slot0 + 4 * word;
    sum += static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
  }
  return table.part_num * sum;
}

inline mmc_partitions_fmt make_table(const std::vector<test_partition> &partitions) {
  mmc_partitions_fmt table;
  memset(&table, 0, sizeof(table));
  memcpy(table.magic, "MPT", 4);
  memcpy(table.version, "01.00.00", 8);
  uint32_t n = 0;
  for (const test_partition &p : partitions) {
    strncpy(table.entries[n].name, p.name, sizeof(table.entries[n].name));
    table.entries[n].size = p.size;
    table.entries[n].offset = p.offset;
    table.entries[n].mask = p.mask;
    n++;
  }
  table.part_num = n;
  table.checksum = test_table_checksum(table);
  return table;
}

inline mmc_partitions_fmt make_table(std::initializer_list<test_partition> partitions) {
  return make_table(std::vector<test_partition>(partitions));
}

// A table with just these names (sizes and offsets do not matter to the menu).
inline mmc_partitions_fmt make_named_table(std::initializer_list<const char *> names) {
  std::vector<test_partition> partitions;
  uint64_t n = 0;
  for (const char *name : names) partitions.push_back({name, 0x800000, 0x800000 * ++n, 0});
  return make_table(partitions);
}
