// The two DTB copies in the reserved partition: recognising a block (plain,
// gzip, multi-DTB container), reading a property from it, reworking its trees
// and writing both copies together with a new partition table.
#include <libfdt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "devicetree.h"
#include "internal.h"
#include "region_io.h"
#include "frontend.h"

namespace {

// First bytes of a content, read as a little-endian word.
constexpr uint32_t fdt_magic_word = 0xEDFE0DD0;        // D0 0D FE ED
constexpr uint32_t container_magic_word = 0x5F4C4D41;  // "AML_"
constexpr uint16_t gzip_magic_half = 0x8B1F;           // 1F 8B
constexpr uint64_t gzip_mtime_offset = 4;              // the time a member was packed

bool is_gzip_block(const uint8_t *block) {
  return static_cast<uint16_t>(block[0] | block[1] << 8) == gzip_magic_half;
}

constexpr uint64_t container_header_size = 12;
constexpr uint64_t fdt_header_size = sizeof(fdt_header);

uint32_t load_le32(const uint8_t *p) {
  uint32_t value;
  memcpy(&value, p, sizeof(value));  // the target is little-endian (kvemmc.h)
  return value;
}

void store_le32(uint8_t *p, uint32_t value) { memcpy(p, &value, sizeof(value)); }

// The content of a block: the block itself up to its marker, or what its gzip
// member inflates to.
struct dtb_content {
  const uint8_t *data = nullptr;
  uint64_t length = 0;
  // How far a tree may grow when edited: the marker of an uncompressed
  // block, the end of the inflate buffer of a compressed one.
  uint64_t room_end = 0;
  bool compressed = false;
  owned<uint8_t> gzip_buf;
};

int unpack_dtb_block(const uint8_t *block, dtb_content &content) {
  if (is_gzip_block(block)) {
    content.gzip_buf = allocate_zeroed(gzip_buf_size);
    if (!content.gzip_buf) {
      puts("malloc failed for gzip_buf!");
      return -1;
    }
    uint64_t length = dtb_block_size;
    int result = gunzip(content.gzip_buf.get(), gzip_buf_size, block, &length);
    if (result < 0) {
      printf("Failed to decompress gzipped dtb: %d!\n", result);
      content.gzip_buf.reset();
      return -1;
    }
    content.data = content.gzip_buf.get();
    content.length = length;
    content.room_end = gzip_buf_size;
    content.compressed = true;
    return 0;
  }
  const char *marker = reinterpret_cast<const char *>(block + dtb_marker_offset);
  if (memcmp(marker, dtb_marker, sizeof(dtb_marker)) != 0) {
    char shown[dtb_block_size - dtb_marker_offset + 1];
    printable_text(shown, sizeof(shown), marker, dtb_block_size - dtb_marker_offset);
    printf("Error dtb magic: %s!\n", shown);
    return -1;
  }
  content.data = block;
  content.length = dtb_marker_offset;
  content.room_end = dtb_marker_offset;
  return 0;
}

enum class content_kind { none, tree, container };

content_kind kind_of(const dtb_content &content) {
  if (content.length < 4) return content_kind::none;
  uint32_t magic = load_le32(content.data);
  if (magic == fdt_magic_word) return content_kind::tree;
  if (magic == container_magic_word) return content_kind::container;
  return content_kind::none;
}

// Where one tree lies in the content, and how far it may reach: `size` when
// read, `room` when edited (up to the next container entry, at most 256 KiB).
struct dtb_tree {
  uint64_t offset;
  uint64_t size;
  uint64_t room;
};

// Lists the trees of the content in entry order. When reading, entries whose
// table slot or tree lies outside the content are skipped; when editing they
// fail, since a tree that cannot be reached cannot be brought in line with
// the new table. Entries not starting with the FDT magic are skipped.
int list_trees(const dtb_content &content, bool editing, dtb_tree *trees, uint32_t *count) {
  *count = 0;
  switch (kind_of(content)) {
    case content_kind::none:
      return 0;
    case content_kind::tree:
      trees[0] = {0, content.length, std::min(content.room_end, dtb_block_size)};
      *count = 1;
      return 0;
    case content_kind::container:
      break;
  }
  if (content.length < container_header_size) {
    if (!editing) return 0;
    puts("Truncated dtb container header!");
    return -1;
  }
  uint32_t version = load_le32(content.data + 4);
  uint32_t entries = load_le32(content.data + 8);
  if (entries > max_container_entries) {
    printf("Too many entries in dtb container: %u!\n", entries);
    return -1;
  }
  uint64_t id_width = version == 1 ? 4 : version == 2 ? 16 : 0;
  uint64_t entry_size = 3 * id_width + 8;
  uint64_t table_end = container_header_size + entries * entry_size;

  // Every tree offset that lies in the content bounds the room of the trees
  // before it, whether or not it holds a tree itself.
  uint64_t offsets[max_container_entries];
  bool inside[max_container_entries];
  for (uint32_t i = 0; i < entries; i++) {
    uint64_t entry = container_header_size + i * entry_size;
    inside[i] = false;
    if (entry + entry_size > content.length) {
      if (!editing) continue;
      printf("Dtb container entry %u lies outside the content!\n", i);
      return -1;
    }
    offsets[i] = load_le32(content.data + entry + 3 * id_width);
    if (offsets[i] < table_end || offsets[i] + fdt_header_size > content.length) {
      if (!editing) continue;
      printf("Device tree of dtb container entry %u lies outside the content!\n", i);
      return -1;
    }
    inside[i] = true;
  }
  for (uint32_t i = 0; i < entries; i++) {
    if (!inside[i] || load_le32(content.data + offsets[i]) != fdt_magic_word) continue;
    uint64_t next = content.room_end;
    for (uint32_t j = 0; j < entries; j++)
      if (inside[j] && offsets[j] > offsets[i]) next = std::min(next, offsets[j]);
    uint64_t offset = offsets[i];
    trees[(*count)++] = {offset, content.length - offset,
                         std::min(next - offset, dtb_block_size)};
  }
  return 0;
}

// A block unpacked and its trees listed (see list_trees).
struct block_trees {
  dtb_content content;
  dtb_tree trees[max_container_entries];
  uint32_t count = 0;
};
int unpack_trees(const uint8_t *block, bool editing, block_trees &out) {
  if (unpack_dtb_block(block, out.content) != 0) return -1;
  return list_trees(out.content, editing, out.trees, &out.count);
}

// Reads a region back after writing and compares it with what was meant.
int verify_region(int fd, uint64_t offset, const uint8_t *expected, uint64_t size,
                  uint8_t *scratch, const char *what) {
  if (read_region_at(fd, offset, scratch, size) != 0) return -1;
  if (memcmp(scratch, expected, static_cast<size_t>(size)) == 0) return 0;
  printf("Error verifying %s: the bytes read back differ from the bytes written!\n", what);
  return -1;
}

int rework_copy(int dtb_mode, uint8_t *block, int copy, const mmc_partitions_fmt *table) {
  if (dtb_mode != dtb_mode_remove && dtb_mode != dtb_mode_rebuild) return 0;
  if (rework_dtb_block(dtb_mode, block, partitions_node_path, table) >= 0) return 0;
  if (dtb_mode == dtb_mode_remove)
    printf("Could not remove node '%s' from dtb%d!\n", partitions_node_path, copy);
  else
    printf("Could not rework node '%s' from dtb%d!\n", partitions_node_path, copy);
  return -1;
}

}  // namespace

uint32_t dtb_block_checksum(const uint8_t *block) {
  uint32_t sum = 0;
  for (uint64_t offset = 0; offset < dtb_checksum_offset; offset += 4) sum += load_le32(block + offset);
  return sum;
}

int read_dtb_block_property(const uint8_t *block, const char *node_path, const char *property,
                            char *value, size_t value_size) {
  block_trees listed;
  if (unpack_trees(block, false, listed) != 0) return -1;
  for (uint32_t i = 0; i < listed.count; i++) {
    // One clean value: nothing of a longer value of an earlier tree is left.
    memset(value, 0, value_size);
    const uint8_t *tree = listed.content.data + listed.trees[i].offset;
    int result = check_tree(tree, listed.trees[i].size);
    if (result == 0) result = get_property_string(tree, node_path, property, value, value_size);
    if (result < 0) {
      memset(value, 0, value_size);
      printf("Failed to get value of property '%s' at '%s': %d!\n", property, node_path, result);
      return result;
    }
  }
  return 0;
}

namespace {

// Opens `device` and allocates `size` bytes for its DTB copies.
int open_for_dtb(owned_fd &file, owned<uint8_t> &buffer, const char *device, int mode,
                 uint64_t size) {
  if (open_region_file(file, device, mode) != 0) return -1;
  buffer = allocate_zeroed(static_cast<size_t>(size));
  if (!buffer) {
    puts("malloc failed for dtb!");
    return -1;
  }
  return 0;
}

}  // namespace

int read_dtb_property_from(const char *device, const char *node_path, const char *property,
                           char *value, size_t value_size) {
  owned_fd file;
  owned<uint8_t> block;
  if (open_for_dtb(file, block, device, O_RDONLY, dtb_block_size) != 0) return -1;
  if (read_region_at(file.fd, dtb_copy_offset(1), block.get(), dtb_block_size) != 0) return -1;
  return read_dtb_block_property(block.get(), node_path, property, value, value_size);
}

int read_dtb_property(const char *node_path, const char *property, char *value,
                      size_t value_size) {
  return read_dtb_property_from(path_reserved_device, node_path, property, value, value_size);
}

int check_dtb_block(const uint8_t *block) {
  const uint32_t stored = load_le32(block + dtb_checksum_offset);
  const uint32_t computed = dtb_block_checksum(block);
  if (stored != computed) {
    printf("Dtb block checksum error: stored %#x, computed %#x!\n", stored, computed);
    return -1;
  }
  block_trees listed;
  if (unpack_trees(block, true, listed) != 0) return -1;
  if (listed.count == 0) {
    puts("Dtb block holds no device tree!");
    return -1;
  }
  for (uint32_t i = 0; i < listed.count; i++) {
    if (check_tree(listed.content.data + listed.trees[i].offset, listed.trees[i].size) != 0)
      return -1;
  }
  return 0;
}

int rework_dtb_block(int dtb_mode, uint8_t *block, const char *node_path,
                     const mmc_partitions_fmt *table) {
  dtb_content content;
  if (unpack_dtb_block(block, content) != 0) return -1;
  dtb_tree trees[max_container_entries];
  uint32_t count = 0;
  if (list_trees(content, true, trees, &count) != 0) return -1;
  content_kind kind = kind_of(content);
  uint8_t *data = content.compressed ? content.gzip_buf.get() : block;

  // What is compressed again: the whole content, grown trees included.
  uint64_t length = content.length;
  if (kind == content_kind::tree) length = 0;
  for (uint32_t i = 0; i < count; i++) {
    const dtb_tree &tree = trees[i];
    if (check_tree(content.data + tree.offset, tree.size) != 0) return -1;
    int result = rework_partitions_node(data + tree.offset, tree.room, dtb_mode, node_path, table,
                                        kind == content_kind::tree);
    if (result < 0) return result;
    length = std::max(length, tree.offset + fdt_totalsize(data + tree.offset));
  }

  if (!content.compressed) {
    if (kind != content_kind::none)
      store_le32(block + dtb_checksum_offset, dtb_block_checksum(block));
    return 0;
  }
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  // The member must end before the marker area: the checksum goes there.
  uint64_t written = dtb_marker_offset;
  int result = gzip(block, &written, data, length);
  if (result < 0) {
    printf("Failed to compress data to dtb: %d!\n", result);
    return -1;
  }
  store_le32(block + gzip_mtime_offset, now);
  store_le32(block + dtb_checksum_offset, dtb_block_checksum(block));
  return 0;
}

namespace {

// The eMMC's size for the bootloader's rule, or 0 where it cannot be read.
uint64_t emmc_size_if_known() {
  return path_exists("/sys/block/mmcblk0/size") ? block_device_size("mmcblk0") : 0;
}

// A copy whose content holds no tree this tool can read (an encrypted vendor
// tree, say) may still hold a partitions node for its bootloader: a new
// table beside it could be laid out anew from the old node at power-on.
int check_copy_holds_trees(const block_trees &listed, int copy) {
  if (listed.count > 0) return 0;
  printf("DTB copy %d holds no device tree that this tool can read: the bootloader's copy of the "
         "partition layout in it can be neither read nor rewritten, so a new partition table "
         "could be undone at the next boot!\n", copy);
  return -1;
}

// Every tree of a reworked copy as the bootloader will read it.
int check_rebuild_of_copy(const uint8_t *block, int copy, int dtb_mode,
                          const mmc_partitions_fmt *table, uint64_t emmc_size,
                          dtb_copy_report *report) {
  block_trees listed;
  if (unpack_trees(block, false, listed) != 0 || check_copy_holds_trees(listed, copy) != 0)
    return -1;
  *report = {listed.content.compressed, kind_of(listed.content) == content_kind::container,
             listed.count, -1};
  for (uint32_t i = 0; i < listed.count; i++) {
    const uint8_t *tree = listed.content.data + listed.trees[i].offset;
    if (check_tree(tree, listed.trees[i].size) != 0 ||
        check_bootloader_rebuild(tree, copy, dtb_mode, table, emmc_size) != 0)
      return -1;
    const int node = fdt_path_offset(tree, partitions_node_path);
    if (node < 0) continue;
    int length = 0;
    const uint8_t *parts = static_cast<const uint8_t *>(fdt_getprop(tree, node, "parts", &length));
    const uint32_t count = parts && length == 4
                               ? uint32_t{parts[0]} << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]
                               : 0;
    report->node_partitions =
        std::max(report->node_partitions, static_cast<int>(std::min(count, max_partitions)));
  }
  return 0;
}

// The table verified and both DTB copies of `file` read into `blocks` and
// reworked for it, and what the bootloader will make of them checked;
// nothing is written.
int prepare_table_write(int dtb_mode, const mmc_partitions_fmt *table, int fd, uint8_t *blocks,
                        dtb_copy_report *reports) {
  // A table the bootloader would refuse is never written.
  if (verify_partition_table(table) != 0) return -1;
  const uint64_t emmc_size = emmc_size_if_known();
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    uint8_t *block = blocks + copy * dtb_block_size;
    if (read_region_at(fd, dtb_copy_offset(copy), block, dtb_block_size) != 0) return -1;
    if (rework_copy(dtb_mode, block, copy, table) != 0) return -1;
    // A table that the bootloader would lay out differently from the node
    // is rewritten by it at the next power-on.
    dtb_copy_report report;
    if (check_rebuild_of_copy(block, copy, dtb_mode, table, emmc_size, &report) != 0) return -1;
    if (reports) reports[copy] = report;
  }
  return 0;
}

}  // namespace

int check_partition_table_write(int dtb_mode, const mmc_partitions_fmt *table, const char *device,
                                dtb_copy_report *reports) {
  owned_fd file;
  owned<uint8_t> blocks;
  if (open_for_dtb(file, blocks, device, O_RDONLY, dtb_area_size) != 0) return -1;
  return prepare_table_write(dtb_mode, table, file.fd, blocks.get(), reports);
}

int prepare_reserved_image(int dtb_mode, const mmc_partitions_fmt *table,
                           reserved_image *image, const char *device) {
  owned_fd file;
  if (open_region_file(file, device, O_RDONLY) != 0) return -1;
  if (prepare_table_write(dtb_mode, table, file.fd, image->blocks, nullptr) != 0) return -1;
  memcpy(&image->table, table, sizeof(image->table));
  return close_region_file(file);
}

int check_reserved_image(const reserved_image *image) {
  if (verify_partition_table(&image->table) != 0) return -1;
  const uint64_t emmc_size = emmc_size_if_known();
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    const uint8_t *block = image->blocks + copy * dtb_block_size;
    dtb_copy_report report;
    if (check_dtb_block(block) != 0 ||
        check_rebuild_of_copy(block, copy, dtb_mode_keep, &image->table, emmc_size, &report) != 0)
      return -1;
  }
  return 0;
}

namespace {

// Whether a block looks like one the tool can rework (its checksum holds,
// and it is gzip or carries the marker), without a word either way.
int check_dtb_block_quietly(const uint8_t *block) {
  if (load_le32(block + dtb_checksum_offset) != dtb_block_checksum(block)) return -1;
  if (is_gzip_block(block)) return 0;
  return memcmp(block + dtb_marker_offset, dtb_marker, sizeof(dtb_marker)) == 0 ? 0 : -1;
}

// One region written, made durable and read back from the device itself
// (the cached pages are dropped first) before the caller goes on.
int write_durable_region(int fd, uint64_t offset, const uint8_t *bytes, uint64_t size,
                         uint8_t *scratch, const char *what) {
  if (write_region_at(fd, offset, bytes, size) != 0) return -1;
  if (drop_cached_pages(fd) != 0) return -1;
  return verify_region(fd, offset, bytes, size, scratch, what);
}

}  // namespace

int check_dtb_copies_readable(const char *device) {
  owned_fd file;
  owned<uint8_t> block;
  if (open_for_dtb(file, block, device, O_RDONLY, dtb_block_size) != 0) return -1;
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    if (read_region_at(file.fd, dtb_copy_offset(copy), block.get(), dtb_block_size) != 0)
      return -1;
    // What is no sound block at all is named by the table write's own checks.
    if (check_dtb_block_quietly(block.get()) != 0) continue;
    block_trees listed;
    if (unpack_trees(block.get(), false, listed) != 0 || check_copy_holds_trees(listed, copy) != 0)
      return -1;
  }
  return 0;
}

bool interim_reserved_blocks(const reserved_image *image, uint8_t *interim) {
  memcpy(interim, image->blocks, dtb_copy_count * dtb_block_size);
  bool differs = false;
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    uint8_t *block = interim + copy * dtb_block_size;
    const uint8_t *final_block = image->blocks + copy * dtb_block_size;
    if (check_dtb_block_quietly(block) != 0 ||
        rework_dtb_block(dtb_mode_remove, block, partitions_node_path, &image->table) < 0) {
      // A copy the tool cannot read goes out as it is.
      memcpy(block, final_block, dtb_block_size);
      continue;
    }
    // A compressed block carries the time it was packed: the interim copy
    // takes the final one's, so that a later run computes the same bytes
    // (and a copy without a node to remove comes out as it is).
    if (is_gzip_block(block)) {
      memcpy(block + gzip_mtime_offset, final_block + gzip_mtime_offset, 4);
      store_le32(block + dtb_checksum_offset, dtb_block_checksum(block));
    }
    if (memcmp(block, final_block, dtb_block_size) != 0) differs = true;
  }
  return differs;
}

bool same_dtb_block(const uint8_t *a, const uint8_t *b) {
  if (load_le32(a + dtb_checksum_offset) != dtb_block_checksum(a)) return false;
  if (!is_gzip_block(a) || !is_gzip_block(b)) return memcmp(a, b, dtb_block_size) == 0;
  constexpr uint64_t after_mtime = gzip_mtime_offset + 4;
  return memcmp(a, b, gzip_mtime_offset) == 0 &&
         memcmp(a + after_mtime, b + after_mtime, dtb_checksum_offset - after_mtime) == 0;
}

int write_reserved_image(const reserved_image *image, const char *device) {
  // A table the bootloader would refuse is never written.
  if (verify_partition_table(&image->table) != 0) return -1;
  owned_fd file;
  owned<uint8_t> scratch;
  if (open_for_dtb(file, scratch, device, O_RDWR, dtb_block_size) != 0) return -1;
  owned<uint8_t> interim = allocate_zeroed(dtb_copy_count * dtb_block_size);
  if (!interim) {
    puts("malloc failed for dtb!");
    return -1;
  }
  const bool with_interim = interim_reserved_blocks(image, interim.get());
  auto write_copies = [&](const uint8_t *blocks, const uint8_t *skip_same) {
    for (int copy = 0; copy < dtb_copy_count; copy++) {
      const uint8_t *block = blocks + copy * dtb_block_size;
      if (skip_same && memcmp(block, skip_same + copy * dtb_block_size, dtb_block_size) == 0)
        continue;
      char what[16];
      snprintf(what, sizeof(what), "dtb%d", copy);
      if (write_durable_region(file.fd, dtb_copy_offset(copy), block, dtb_block_size,
                               scratch.get(), what) != 0)
        return -1;
    }
    return 0;
  };
  if (write_copies(with_interim ? interim.get() : image->blocks, nullptr) != 0) return -1;
  if (write_durable_region(file.fd, 0, reinterpret_cast<const uint8_t *>(&image->table),
                           sizeof(image->table), scratch.get(), "the partition table") != 0)
    return -1;
  if (with_interim && write_copies(image->blocks, interim.get()) != 0) return -1;
  return close_region_file(file);
}

int write_partition_table(int dtb_mode, const mmc_partitions_fmt *table, const char *device) {
  // Both copies are reworked before anything is written, so that a failure
  // leaves the device exactly as it was.
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!image) {
    puts("malloc failed for dtb!");
    return -1;
  }
  if (prepare_reserved_image(dtb_mode, table, image.get(), device) != 0) return -1;
  return write_reserved_image(image.get(), device);
}
