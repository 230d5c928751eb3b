// Builds partition tables for tests: entries by name, size, offset and mask,
// with part_num and a valid checksum.
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
  table.checksum = partition_table_checksum(table.entries, static_cast<int>(n));
  return table;
}

inline mmc_partitions_fmt make_table(std::initializer_list<test_partition> partitions) {
  return make_table(std::vector<test_partition>(partitions));
}

// A table with just these names (sizes and offsets do not matter to the menu).
inline mmc_partitions_fmt make_named_table(std::initializer_list<const char *> names) {
  mmc_partitions_fmt table = make_table({});
  uint32_t n = 0;
  for (const char *name : names) {
    strncpy(table.entries[n].name, name, sizeof(table.entries[n].name));
    table.entries[n].size = 0x800000;
    table.entries[n].offset = 0x800000ull * (n + 1);
    n++;
  }
  table.part_num = n;
  table.checksum = partition_table_checksum(table.entries, static_cast<int>(n));
  return table;
}
