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

// ---- Layout planner ----
inline constexpr const char name_bootloader[] = "bootloader";
inline constexpr const char name_reserved[] = "reserved";
inline constexpr const char name_super[] = "super";

// Partitions a single-boot table of the data layout (no "userdata") keeps, in
// this order; the relocation walks the same list.
inline constexpr const char *const data_layout_keep_list[] = {"env", "misc", "logo", "dtbo",
                                                              "dto"};
// The same for the userdata layout.
inline constexpr const char *const userdata_layout_keep_list[] = {"cache", "env",  "frp",
                                                                  "factory", "logo", "misc"};

// Partitions Android Verified Boot needs, with the active slot's suffix.
struct avb_partition_list {
  uint32_t count;
  char names[max_partitions][partition_name_size];
};
static_assert(sizeof(avb_partition_list) == 516);

// ---- Partition relocation ----
// After a single-boot table was written: every partition the layout keeps
// (the data-layout keep list for has_userdata 0, every slot behind "reserved"
// for 1) whose offset differs between the two tables gets its old bytes at its
// new offset on `device`. Checks the whole plan (check_partition_moves) before
// the first write; uses a bounded buffer; flushes the device before it
// returns 0. -1 on failure, with the cause printed.
int move_partitions(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                    const mmc_partitions_fmt *new_table, const char *device = path_emmc_device);

// Decides, without writing anything, whether move_partitions can carry out
// the moves between these tables on `device`. Operations call it before they
// write the new table. 0 feasible, -1 with the reason printed.
int check_partition_moves(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                          const mmc_partitions_fmt *new_table,
                          const char *device = path_emmc_device);

// One partition that changes place: its slot of the new table and the offset
// its contents start at on the old table.
struct partition_move {
  partition_entry entry;
  uint64_t old_offset;
};

// The moves of one relocation, in recording order.
struct move_list {
  uint32_t count;
  partition_move moves[max_partitions];
};

// Records the move of `name` when both tables hold it at different offsets
// (a name already recorded is passed over). Reads nothing. 0 or -1 (the name
// is missing from a table, with the message printed).
int prepare_partition_move(const char *name, const mmc_partitions_fmt *old_table,
                           const mmc_partitions_fmt *new_table, move_list *list);

// Copies `size` bytes of the open device `fd` from offset `from` to offset
// `to` through `chunk` (`chunk_size` bytes), chunk after chunk in the
// direction that never overwrites a byte before it was read (from the end
// when the ranges overlap and `to` lies above `from`). 0 or -1.
int move_partition_contents(int fd, uint64_t from, uint64_t to, uint64_t size, uint8_t *chunk,
                            uint64_t chunk_size);
