// Bootloader device trees in the reserved partition: the two DTB copies
// (plain, gzip-compressed or Amlogic multi-DTB container, with marker and
// block checksum), the "partitions" node that mirrors the eMMC partition
// table, writing a new table together with both copies, and the raw byte-range
// transfer used for partition relocation and the backup images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvemmc.h"
#include "partition_table.h"

// ---- Reserved partition layout ----
// Table at 0, DTB copy N at (16 + N) x 256 KiB, each copy one 256 KiB block.
constexpr uint64_t dtb_block_size = 0x40000;
constexpr int dtb_copy_count = 2;
constexpr uint64_t dtb_copy_offset(int copy) {
  return (16 + static_cast<uint64_t>(copy)) * dtb_block_size;
}
// Both copies together: what the DTB backup image holds.
constexpr uint64_t dtb_area_offset = dtb_copy_offset(0);
constexpr uint64_t dtb_area_size = dtb_copy_count * dtb_block_size;

// The last 16 bytes of a block: marker "A~D" + NUL (uncompressed blocks
// only), 8 bytes this tool leaves alone, and the block checksum.
constexpr uint64_t dtb_marker_offset = 0x3FFF0;
constexpr uint64_t dtb_checksum_offset = 0x3FFFC;
inline constexpr const char dtb_marker[] = "A~D";

// Room for the content of a compressed block once inflated.
constexpr uint64_t gzip_buf_size = 0x500000;
// A container with more entries than this is refused: vendor images carry a
// few dozen at most, and the count comes straight from the device.
constexpr uint32_t max_container_entries = 256;

inline constexpr const char partitions_node_path[] = "/partitions";

// Dtb modes of write_partition_table and rework_dtb_block: rebuild the
// partitions node from the table, or remove it. Any other value leaves the
// blocks as read (write_partition_table) or only removes the node and
// repacks (rework_dtb_block).
constexpr int dtb_mode_remove = 0;
constexpr int dtb_mode_rebuild = 1;
constexpr int dtb_mode_keep = 2;

// ---- Backup image files (raw copies of reserved-partition regions) ----
inline constexpr const char apt_backup_image_name[] = "dual_boot_apt_backup.img";
inline constexpr const char dtb_backup_image_name[] = "dual_boot_dtb_backup.img";
constexpr uint32_t apt_backup_image_size = sizeof(mmc_partitions_fmt);
constexpr uint32_t dtb_backup_image_size = static_cast<uint32_t>(dtb_area_size);

// ---- Device-tree wrappers (libfdt) ----
// Each resolves `node_path` first and returns -1 silently when it does not
// resolve; a failing libfdt call prints "<wrapper> '<code>'" and returns -1.
int delete_node(void *tree, const char *node_path);
int create_subnode(void *tree, const char *parent_path, const char *name);
int set_property_u32(void *tree, const char *node_path, const char *name, uint32_t value);
int set_property_u64(void *tree, const char *node_path, const char *name, uint64_t value);
int set_property_string(void *tree, const char *node_path, const char *name, const char *text);
// Copies the value's characters (without their NUL) to `destination`; writes
// no NUL. A value without a terminating NUL, or one that would not leave at
// least one byte of `destination_size` untouched, is refused.
int get_property_string(const void *tree, const char *node_path, const char *name,
                        char *destination, size_t destination_size);

// Fills the existing, empty node `node_path` with the partitions that follow
// "env" in `table`: "parts", "part-N" phandles, one subnode per partition.
// Any failing step fails the build: a half-built node would make the
// bootloader rebuild the eMMC table from it.
int build_partitions_node(void *tree, const char *node_path, const mmc_partitions_fmt *table);

// Removes the node (every mode) and, in dtb mode 1, builds it anew; then packs
// the tree. The tree is edited in place within `room` bytes from its first
// byte (at most 256 KiB), and is checked against that room first. A block
// holding a single tree has its node deleted before the tree is opened for
// editing; a container entry is opened first.
int rework_partitions_node(void *tree, uint64_t room, int dtb_mode, const char *node_path,
                           const mmc_partitions_fmt *table, bool single_tree);

// ---- What the bootloader makes of the node ----
// The table the vendor bootloader lays out from the "partitions" node of
// `tree` (of DTB copy `copy`): the head of `planned` up to and including
// "env", then the node's partitions in node order, each 8 MiB behind the one
// before (32 MiB behind a mask with bit 0x100), the last one (size all ones)
// up to `emmc_size` (0: unknown, the planned size stands). 0, or -1 with the
// reason when the node cannot be read that way.
int bootloader_table_from_node(const void *tree, int copy, const mmc_partitions_fmt *planned,
                               uint64_t emmc_size, mmc_partitions_fmt *rebuilt);
// For a reworked tree: in dtb mode 0 no "partitions" node is left; in mode 1
// (and in mode 2 where a node is kept) the bootloader's table from the node
// equals `planned` entry by entry. 0, or -1 naming the first slot that
// differs with both values.
int check_bootloader_rebuild(const void *tree, int copy, int dtb_mode,
                             const mmc_partitions_fmt *planned, uint64_t emmc_size);

// ---- DTB blocks ----
// zlib allocation callbacks: items x size bytes rounded up to 16.
void *zlib_alloc(void *opaque, unsigned items, unsigned size);
void zlib_free(void *opaque, void *pointer);

// Inflates one gzip member. `length`: source length in, bytes produced out.
int gunzip(uint8_t *destination, uint64_t destination_size, const uint8_t *source,
           uint64_t *length);
// Deflates `source` as a gzip member (level 1, 16 KiB window). `length`: room
// in `destination` in, bytes written out. Output that fills the room
// completely is a failure.
int gzip(uint8_t *destination, uint64_t *length, const uint8_t *source, uint64_t source_length);

// Sum of the 65535 little-endian words before the checksum word of a block.
uint32_t dtb_block_checksum(const uint8_t *block);

// Reads a string property from every tree of one 256 KiB block; for a
// container the value of the last tree is left (the buffer is cleared before
// each tree). Content with no tree leaves `value` untouched and returns 0.
int read_dtb_block_property(const uint8_t *block, const char *node_path, const char *property,
                            char *value, size_t value_size);
// The same on DTB copy 1 of "/dev/reserved" (or of `device`).
int read_dtb_property(const char *node_path, const char *property, char *value,
                      size_t value_size);
int read_dtb_property_from(const char *device, const char *node_path, const char *property,
                           char *value, size_t value_size);

// A block as the bootloader takes it: its checksum holds, it unpacks (plain
// with its marker, gzip, or a container whose entries lie inside it) and
// every tree in it is sound; a block with no tree fails. Changes nothing.
// 0, or -1 with the reason printed.
int check_dtb_block(const uint8_t *block);

// Reworks every tree of one 256 KiB block in place, then restores the
// block's checksum (and recompresses a compressed block). On failure the
// block may be partly changed and must not be written.
int rework_dtb_block(int dtb_mode, uint8_t *block, const char *node_path,
                     const mmc_partitions_fmt *table);

// The reserved area's three regions as a table write leaves them: DTB copy
// 0, copy 1, then the table. Large (512 KiB): allocate it with
// allocate_zeroed.
struct reserved_image {
  uint8_t blocks[dtb_copy_count * dtb_block_size];
  mmc_partitions_fmt table;
};
// Both DTB copies of `device` read and reworked for `table` (dtb mode as in
// write_partition_table) and checked as check_partition_table_write checks
// them, and the table taken into `image`; nothing is written. The table must
// verify.
int prepare_reserved_image(int dtb_mode, const mmc_partitions_fmt *table,
                           reserved_image *image, const char *device);
// An image composed otherwise (copies or a table taken from elsewhere),
// checked as it stands: the table verifies, each copy is a block the
// bootloader takes, and where a tree keeps a partitions node the bootloader's
// table from it is the image's table. 0, or -1 with the reason printed.
int check_reserved_image(const reserved_image *image);
// The bootloader lays out the table again from a copy's partitions node at
// power-on: new copies with a node beside the old table (or old ones beside
// the new table) would have it build a layout the eMMC does not hold. So
// where the image's copies carry a node, a write first puts out both copies
// without it (`interim`: the image's copies with the node removed; a copy
// the tool cannot rework is taken as it is). True when they differ from the
// image's copies.
bool interim_reserved_blocks(const reserved_image *image, uint8_t *interim);
// Two DTB blocks that are the same but perhaps for the time a compressed
// one was packed (and so its checksum); `a`'s checksum holds.
bool same_dtb_block(const uint8_t *a, const uint8_t *b);
// Writes the interim copies (copy 0, then copy 1) where they differ, then
// the table, then the image's copies, each one written, made durable and
// read back from the device (not the page cache) and compared before the
// next is touched: at every moment at least one sound DTB copy is on the
// device, and each sound copy either has no partitions node or one that
// matches the table. The table must verify.
int write_reserved_image(const reserved_image *image, const char *device);
// prepare_reserved_image, then write_reserved_image: a failure before the
// first write leaves the device exactly as it was.
int write_partition_table(int dtb_mode, const mmc_partitions_fmt *table, const char *device);
// What a table write makes of one DTB copy, as a plan shows it.
struct dtb_copy_report {
  bool compressed = false;
  bool container = false;
  uint32_t trees = 0;
  int node_partitions = -1;  // in the reworked trees (the most of any); -1: no node left
};
// The same checks and reworks in memory, without writing: what a later
// write_partition_table would refuse is refused here, before the question.
// Among them: each copy holds at least one tree this tool can read; one that
// holds none (an encrypted vendor tree) may still carry the node the
// bootloader lays the table out from, which no write could bring in line.
// `reports` (null, or one per copy) tell what the write would make of each.
int check_partition_table_write(int dtb_mode, const mmc_partitions_fmt *table, const char *device,
                                dtb_copy_report *reports = nullptr);
// Only that last check, on both copies of `device` as they are, for an
// operation that asks before it has planned its table; a copy that is no
// sound block (checksum, marker) is left to the write's own checks. 0, or -1
// with the reason printed.
int check_dtb_copies_readable(const char *device = path_reserved_device);

// ---- Raw regions ----
// A region is at most 4 GiB - 1 bytes; a larger size is refused with a
// message, never cut.
// Reads `size` bytes at `offset` of `path` (opened read-only) into a new
// zero-filled buffer handed to the caller; on failure `out` is left empty.
int read_file_region(owned<uint8_t> &out, const char *path, uint64_t offset, uint64_t size);
// Writes the image file `path` anew with `size` bytes of `buffer` at
// `offset`: as "PATH.new", made durable, renamed to `path`, its folder
// synced. Anything under /dev or other than a plain file under the name is
// refused: a device node is never made or replaced by a file.
int write_file_region(const uint8_t *buffer, const char *path, uint64_t offset, uint64_t size);
