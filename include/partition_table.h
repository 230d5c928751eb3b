// The eMMC partition table ("MPT") kept at offset 0 of the reserved partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvemmc.h"
#include "region_io.h"

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

// Reads the 1304-byte record at offset 0 of the block device `device` (a
// missing node or a plain file in its place is refused); the caller owns it.
int read_partition_table(owned<mmc_partitions_fmt> &out, const char *device);

// Exact, case-sensitive lookup over all 32 slots (empty slots skipped); the
// lowest matching slot wins. 0 and the slot in `index` (if given), or -1.
int find_partition(const mmc_partitions_fmt *table, const char *name, int *index);
// "data", else "userdata".
int find_data_partition(const mmc_partitions_fmt *table, int *index);

const char *mask_type_name(uint64_t mask);

// A slot's name made safe to print: the field need not be terminated, and
// bytes that are not printable ASCII show as '?', so that names read from the
// device never reach the terminal as escape sequences.
struct printable_name {
  char text[partition_name_size + 1];
};
printable_name printable_slot_name(const char *field);

inline constexpr const char msg_partition_not_found[] = "Could not find '%s' partition!\n";

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

// Every planner function that needs the eMMC's size takes it as its last
// argument; 0 (the default) measures /dev/mmcblk0. A size that stays unknown
// makes the plan fail.
constexpr uint64_t measure_emmc_size = 0;

// Checks a table before anyone may write it: the record verifies, every name
// has 1 to 15 characters and is used once, every partition lies inside the
// eMMC and overlaps no other (KV_STORAGE may describe exactly the bytes of the
// data partition), created partitions are not empty. 0, or -1 with the
// problem printed.
int check_planned_table(const mmc_partitions_fmt *table, uint64_t emmc_size);

// Plans the table an installation writes: dual boot (install mode 1) or single
// boot (0). Prints the room of KV_FLASH and KV_STORAGE and, with -v, the new
// table. `avb_list` may be null. Dual boot measures the data filesystem
// through a loop device of `device`. 0, or -1 with the cause printed; the new
// table must not be written then.
int plan_partition_table(int install_mode, int has_userdata, const mmc_partitions_fmt *old_table,
                         mmc_partitions_fmt *new_table, avb_partition_list *avb_list,
                         uint64_t *flash_room, uint64_t *storage_room,
                         uint64_t emmc_size = measure_emmc_size,
                         const char *device = path_emmc_device);

// The data partition gives its last flash_partition_size bytes to KV_FLASH;
// KV_STORAGE names the shortened data partition. 0 or -1.
int build_dual_boot_table(const mmc_partitions_fmt *old_table, mmc_partitions_fmt *new_table,
                          uint64_t emmc_size = measure_emmc_size);
// Bootloader, reserved and the kept partitions from the start of the eMMC,
// then KV_FLASH and KV_STORAGE (to the end of the eMMC). 0 or -1.
int build_single_boot_table(int has_userdata, const mmc_partitions_fmt *old_table,
                            mmc_partitions_fmt *new_table, avb_partition_list *avb_list,
                            uint64_t emmc_size = measure_emmc_size);
// Removal of dual boot: drops KV_STORAGE and KV_FLASH and gives the data
// partition the KV_FLASH slot back. 0 or -1.
int build_android_only_table(const mmc_partitions_fmt *dual_boot_table,
                             mmc_partitions_fmt *new_table,
                             uint64_t emmc_size = measure_emmc_size);

// The named slot's size. 0 or -1 ("Could not find '%s' partition!").
int partition_size(const mmc_partitions_fmt *table, const char *name, uint64_t *size);
// Free bytes of the filesystem in the named partition, mounted for the
// measurement read-only (no journal replay) on "/media/KV_STORAGE" through a
// loop device of `device`.
int partition_free_space(const mmc_partitions_fmt *table, const char *name, uint64_t *free_bytes,
                         const char *device = path_emmc_device);

// ---- Active slot and AVB-protected partitions ----
constexpr size_t slot_text_size = 32;
constexpr size_t avb_parts_size = 256;
// The bootloader's active_slot (fw_printenv) into `slot` (32 bytes); "normal"
// when it cannot be read. Returns the text's length.
int get_active_slot(char *slot);
// Fills `list` with the partitions of `table` that verified boot needs: the
// fixed names, then those of the vbmeta node's "parts" property of the DTB on
// `reserved_device`, each with the active slot's suffix. Returns the count;
// -1 (with its line) when the active slot cannot be read and the table holds
// partitions of both slots ("_a" and "_b"), since none of them can be told.
int collect_avb_partitions(const mmc_partitions_fmt *table, avb_partition_list *list,
                           const char *reserved_device = path_reserved_device);
// The same from a slot text and a property text (null: none could be read).
int collect_avb_names(const mmc_partitions_fmt *table, avb_partition_list *list,
                      const char *slot, const char *parts);

// ---- Partition relocation ----
struct relocation_journal;  // below

// After a single-boot table was written: every partition the layout keeps
// (the data-layout keep list for has_userdata 0, every slot behind "reserved"
// for 1) whose offset differs between the two tables gets its old bytes at its
// new offset on `device`. Checks the whole plan (check_partition_moves) before
// the first write; uses a bounded buffer; flushes the device before it
// returns 0. -1 on failure, with the cause printed.
// With `journal`, its progress is recorded there (see below).
int move_partitions(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                    const mmc_partitions_fmt *new_table, const char *device = path_emmc_device,
                    relocation_journal *journal = nullptr);

// One copy of a relocation: a partition's bytes from `from` to `to`; a copy
// to a staging area (`staging`) is moved on from there by a later step.
struct relocation_step {
  printable_name name;
  uint64_t from;
  uint64_t to;
  uint64_t size;
  bool staging;
};
struct relocation_schedule {
  uint32_t count;
  relocation_step steps[2 * max_partitions];
};

// Decides, without writing anything, whether move_partitions can carry out
// the moves between these tables on `device`. Operations call it before they
// write the new table. 0 feasible, -1 with the reason printed. `schedule`
// (may be null) gets the copies in the order move_partitions runs them.
int check_partition_moves(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                          const mmc_partitions_fmt *new_table,
                          const char *device = path_emmc_device,
                          relocation_schedule *schedule = nullptr);

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

// ---- The relocation's journal ----
// A single-boot change writes, before its table, everything needed to
// finish the relocation without the old table, and then after every stretch
// of copied data (at most 64 MiB) a small record of how far it got, each
// made durable after the bytes it speaks of; after the relocation, one
// record for each further step done. A run that was cut off can be
// finished from the last record: no source byte is overwritten before the
// copy that reads it is recorded as done.
// The file: the header in its first journal_image_offset bytes, the image
// of the reserved area to write (journal_image_room bytes), then one record
// in each journal_record_block-byte block, so that a torn write of one
// record never touches another.
inline constexpr const char path_relocation_journal[] =
    "/storage/backup/kvemmc/relocation.journal";
constexpr uint64_t journal_record_interval = 0x4000000;  // 64 MiB
constexpr uint64_t journal_image_offset = 0x2000;
constexpr uint64_t journal_image_room = 0x80000;  // both DTB copies
constexpr uint64_t journal_records_offset = journal_image_offset + journal_image_room;
constexpr uint64_t journal_record_block = 0x1000;
constexpr uint32_t journal_operation_install = 1;
constexpr uint32_t journal_operation_migrate = 2;
constexpr uint32_t journal_operation_remove = 3;  // of a dual boot installation: no moves
constexpr size_t change_id_size = 16;
constexpr size_t emmc_cid_size = 33;  // 32 hex digits and the terminating zero

// The steps after the relocation, in the order a change takes them.
constexpr uint32_t journal_stage_none = 0;
constexpr uint32_t journal_stage_storage_made = 1;  // KV_STORAGE formatted
constexpr uint32_t journal_stage_flash_made = 2;    // KV_FLASH formatted
constexpr uint32_t journal_stage_flash_copied = 3;
constexpr uint32_t journal_stage_storage_copied = 4;
constexpr uint32_t journal_stage_marked = 5;  // the change's identifier is on KV_STORAGE
constexpr uint32_t journal_stage_last = journal_stage_marked;

struct journal_header {
  char magic[8];
  uint32_t header_size;
  uint32_t operation;    // journal_operation_*
  uint32_t data_source;  // where the data come from (data_source_*)
  uint32_t has_userdata;
  uint64_t emmc_size;
  char emmc_cid[emmc_cid_size];  // empty when the kernel gives none
  uint8_t change_id[change_id_size];  // random, the same on the finished KV_STORAGE
  mmc_partitions_fmt old_table;
  mmc_partitions_fmt new_table;
  char snapshot[256];  // the recovery snapshot of the reserved area before
  relocation_schedule schedule;
  // The reserved area's image that the change writes (0 bytes: none kept),
  // with its crc32, and the crc32 of each of its regions as they were
  // before, so that a later run can tell which of them were written.
  uint64_t image_size;
  uint32_t image_crc;
  uint32_t before_crc[3];  // DTB copy 0, copy 1, the table
  uint32_t reserved;
  uint32_t checksum;  // crc32 of every byte before it
};

// Where a journal says the change stands: the copies before `step` are
// done, and `done` bytes of that one; of the steps after the relocation,
// those up to `stage`.
struct journal_state {
  journal_header header;
  uint32_t step;
  uint32_t stage;  // journal_stage_*
  uint64_t done;
  uint64_t records;  // the sound records read
};

struct relocation_journal {
  owned_fd file;
  uint64_t records = 0;
  uint32_t step_count = 0;  // the copies of its schedule
  uint32_t header_checksum = 0;
  uint8_t change_id[change_id_size] = {};
  char path[256] = {};
};

// Writes `header` (the checksum is set here) and `image_size` bytes of
// `image` (may be null for none) as a new journal `path` in place of any
// older one, durable. 0, or -1 with the cause printed.
int create_relocation_journal(relocation_journal &journal, journal_header &header,
                              const char *path = path_relocation_journal,
                              const uint8_t *image = nullptr, uint64_t image_size = 0);
// Records that `done` bytes of copy `step` are on the device (which the
// caller made durable first). 0 or -1.
int record_relocation_progress(relocation_journal &journal, uint32_t step, uint64_t done);
// Records that the step `stage` after the relocation is done and durable.
// 0 or -1 (said).
int record_change_stage(relocation_journal &journal, uint32_t stage);
// Reads and checks a journal: 1 there is none; 0 `state` holds it (a torn or
// damaged last record is left out); -1 it fails its checks (said).
int read_relocation_journal(journal_state *state, const char *path = path_relocation_journal);
// The image of a journal read into `image` (header.image_size bytes), checked
// against its crc32. 0 or -1 (said).
int read_journal_image(const journal_state &state, uint8_t *image,
                       const char *path = path_relocation_journal);
// Opens the journal of `state` again for further records. 0 or -1.
int reopen_relocation_journal(relocation_journal &journal, const journal_state &state,
                              const char *path = path_relocation_journal);
int remove_relocation_journal(const char *path = path_relocation_journal);
// A journal that missed a record is closed and removed at once (a failed
// removal is said): a later run would take it up where it last wrote and
// copy again over bytes that were moved since.
void abandon_relocation_journal(relocation_journal &journal);

// Decides, without writing, whether resume_partition_moves can finish the
// journal's relocation on `device`: the moves between its two tables are
// still the ones it recorded, and fit the device. 0 or -1 (said).
int check_resumable_moves(const journal_state &state, const char *device = path_emmc_device);
// Carries out, or finishes, the relocation between the journal's two tables
// from where it stands, recording its progress in `journal`. Checks first
// that the moves of the tables are still the journal's. 0 or -1 (said).
int resume_partition_moves(const journal_state &state, relocation_journal &journal,
                           const char *device = path_emmc_device);

// Copies `size` bytes of the open device `fd` from offset `from` to offset
// `to` through `chunk` (`chunk_size` bytes), chunk after chunk in the
// direction that never overwrites a byte before it was read (from the end
// when the ranges overlap and `to` lies above `from`). 0 or -1.
int move_partition_contents(int fd, uint64_t from, uint64_t to, uint64_t size, uint8_t *chunk,
                            uint64_t chunk_size);
