// The eMMC partition table ("MPT") kept at offset 0 of the reserved partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvemmc.h"

constexpr size_t partition_name_size = 16;
constexpr uint32_t max_partitions = 32;

struct partition_entry {
  char name[partition_name_size];  // zero-terminated inside the 16 bytes
  uint64_t size;                   // bytes
  uint64_t offset;                 // bytes from the start of /dev/mmcblk0
  uint64_t mask;                   // only the low 32 bits carry meaning
};

struct mmc_partitions_fmt {
  char magic[4];  // "MPT"
  char version[12];
  uint32_t part_num;
  uint32_t checksum;
  partition_entry entries[max_partitions];
};

static_assert(sizeof(partition_entry) == 40);
static_assert(offsetof(partition_entry, name) == 0);
static_assert(offsetof(partition_entry, size) == 16);
static_assert(offsetof(partition_entry, offset) == 24);
static_assert(offsetof(partition_entry, mask) == 32);
static_assert(sizeof(mmc_partitions_fmt) == 1304);
static_assert(offsetof(mmc_partitions_fmt, magic) == 0);
static_assert(offsetof(mmc_partitions_fmt, version) == 4);
static_assert(offsetof(mmc_partitions_fmt, part_num) == 16);
static_assert(offsetof(mmc_partitions_fmt, checksum) == 20);
static_assert(offsetof(mmc_partitions_fmt, entries) == 24);

inline constexpr const char partition_table_magic[] = "MPT";

constexpr uint32_t mask_code = 1;
constexpr uint32_t mask_cache = 2;
constexpr uint32_t mask_data = 4;

// Count times the sum of the ten little-endian words of slot 0, mod 2^32;
// 0 for a count of 0 or below.
uint32_t partition_table_checksum(const partition_entry *first_entry, int count);

// Valid when the magic is "MPT", 1 <= part_num <= 32 and the checksum holds.
// On failure prints the cause and "partition verified error"; returns -1.
int verify_partition_table(const mmc_partitions_fmt *table);

// Verifies, then prints the entries from the 1-based `first` on. 0 or -1.
int verify_and_print_partition_table(const mmc_partitions_fmt *table, int first);

// Reads the 1304-byte record at offset 0 of `device`; the caller owns it.
int read_partition_table(owned<mmc_partitions_fmt> &out, const char *device);

// Exact, case-sensitive lookup over all 32 slots (empty slots skipped); the
// lowest matching slot wins. 0 and the slot in `index` (if given), or -1.
int find_partition(const mmc_partitions_fmt *table, const char *name, int *index);
// "data", else "userdata".
int find_data_partition(const mmc_partitions_fmt *table, int *index);

const char *mask_type_name(uint64_t mask);
