// The room of a filesystem that an installation makes afresh, and what a
// copy of a tree takes there.
//
// The room is learnt, not assumed: the filesystem is made with the very
// command line of the formatting (form_mke2fs_command,
// form_mkfs_vfat_command) in a sparse file of the partition's size in a
// scratch folder under /tmp, its free space is read from what the tool wrote
// (the ext4 superblock, the FAT boot sector), and file and folder go again.
// /tmp, not the boot media: nothing of the measurement reaches a medium the
// installation writes or reads from.
//
// Relied on from the tools (besides their exit code, 0 = done):
// - mke2fs: writes the filesystem into a regular file as into a device, with
//   a superblock whose free block and inode counts are those of the fresh
//   filesystem.
// - mkfs.vfat: chooses the FAT type, cluster size and FAT size from the size
//   of the file as from the size of the loop device of the formatting, and
//   writes them into the boot sector.
// Relied on from the kernel: ext4 keeps min(2 %, 4096) of the blocks of a
// filesystem with extents for its own allocations (s_resv_clusters), which no
// file gets, root's neither; vfat gives each file and folder whole clusters.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "frontend.h"
#include "region_io.h"
#include "storage.h"
#include "storage_internal.h"

// ---- What a copy of a tree takes ----

namespace {

constexpr uint64_t ceil_div(uint64_t value, uint64_t unit) {
  return value / unit + (value % unit != 0 ? 1 : 0);
}

// The blocks of an ext4 extent tree for a file of `blocks` blocks of `unit`
// bytes, at worst: every block its own extent. Four extents fit the inode;
// beyond, leaves of (unit - 12) / 12 extents, and index blocks over them as
// long as more than four remain.
uint64_t extent_tree_blocks(uint64_t blocks, uint64_t unit) {
  if (blocks <= 4) return 0;
  const uint64_t per_block = (unit - 12) / 12;
  uint64_t total = 0;
  for (uint64_t level = blocks; level > 4;) {
    level = ceil_div(level, per_block);
    total += level;
  }
  return total;
}

}  // namespace

void count_in_census(tree_census &census, uint64_t size, const char *path, bool folder) {
  // The last element of the path and whether it lies at the top.
  size_t length = strlen(path);
  while (length > 0 && path[length - 1] == '/') length--;
  size_t start = length;
  while (start > 0 && path[start - 1] != '/') start--;
  const uint64_t name = length - start;
  const bool top = start == 0;
  const bool tree_top = folder && (length == 0 || (length == 1 && path[0] == '.'));
  if (folder) {
    census.folders++;
    // "." and ".." in every folder.
    census.ext4_entry_bytes += 24;
    census.fat_entry_slots += 2;
  } else {
    census.files++;
    census.bytes += size;
    for (int i = 0; i < census_units; i++) {
      const uint64_t unit = census_unit(i);
      const uint64_t blocks = ceil_div(size, unit);
      census.units[i] += blocks;
      census.extent_blocks[i] += extent_tree_blocks(blocks, unit);
    }
  }
  if (tree_top) return;
  // Its entry in the folder above: ext4's record of 8 bytes and the name,
  // in 4-byte steps; vfat's short entry and a long-name entry per 13
  // characters (names written as bytes: never fewer than its characters).
  census.ext4_entry_bytes += (8 + name + 3) / 4 * 4;
  const uint64_t slots = 1 + ceil_div(name, 13);
  census.fat_entry_slots += slots;
  if (top) census.fat_top_slots += slots;
}

bool count_listed_entry(tree_census &census, const char *line) {
  // "SIZE NAME", NAME ending in "/" for a folder.
  uint64_t size = 0;
  const char *p = line;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; p++) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (size > (UINT64_MAX - digit) / 10) return false;
    size = size * 10 + digit;
  }
  if (*p != ' ' || p[1] == '\0') return false;
  const char *name = p + 1;
  const size_t length = strlen(name);
  const bool folder = name[length - 1] == '/';
  count_in_census(census, folder ? 0 : size, name, folder);
  return true;
}

uint64_t copy_need(const tree_census &census, new_filesystem kind, uint32_t unit) {
  int index = -1;
  for (int i = 0; i < census_units; i++) {
    if (census_unit(i) == unit) index = i;
  }
  if (index < 0) return UINT64_MAX;
  if (kind == new_vfat) {
    // Each folder at least a cluster; all their entries, spread over whole
    // clusters, at most one cluster more per folder.
    const uint64_t folders = census.folders + ceil_div(census.fat_entry_slots * 32, unit);
    return (census.units[index] + folders) * unit;
  }
  // ext4: each folder its first block; a folder grown past it is an htree
  // whose leaves are half full at worst, under an index block of its own
  // and its extent tree: four times what its entries fill at most.
  const uint64_t folders = census.folders + 4 * ceil_div(census.ext4_entry_bytes, unit);
  return (census.units[index] + census.extent_blocks[index] + folders) * unit;
}

// ---- The room of a filesystem made afresh ----

namespace {

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr bool power_of_two(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

int read_fat_room(const uint8_t *sector, size_t length, uint64_t file_size, filesystem_room *room) {
  if (length < 512 || sector[510] != 0x55 || sector[511] != 0xAA) return -1;
  const uint64_t bytes_per_sector = le16(sector + 11);
  const uint64_t sectors_per_cluster = sector[13];
  const uint64_t reserved = le16(sector + 14);
  const uint64_t fats = sector[16];
  const uint64_t root_entries = le16(sector + 17);
  const uint64_t fat16_size = le16(sector + 22);
  const uint64_t total = le16(sector + 19) != 0 ? le16(sector + 19) : le32(sector + 32);
  const uint64_t fat_size = fat16_size != 0 ? fat16_size : le32(sector + 36);
  if (bytes_per_sector < 512 || bytes_per_sector > 4096 || !power_of_two(bytes_per_sector) ||
      !power_of_two(sectors_per_cluster) || reserved == 0 || fats == 0 || fat_size == 0)
    return -1;
  const uint64_t cluster = bytes_per_sector * sectors_per_cluster;
  if (cluster > census_unit(census_units - 1)) return -1;
  // All of it inside the file that holds it.
  if (total == 0 || total > file_size / bytes_per_sector) return -1;
  const uint64_t root_sectors = ceil_div(root_entries * 32, bytes_per_sector);
  const uint64_t meta = reserved + fats * fat_size + root_sectors;
  if (meta >= total) return -1;
  const uint64_t clusters = (total - meta) / sectors_per_cluster;
  const bool fat32 = fat16_size == 0;
  // FAT32 keeps its root folder in the clusters (one taken already) and has
  // no fixed root folder.
  if (clusters == 0 || (fat32 && (root_entries != 0 || clusters < 2))) return -1;
  // The FAT must reach every cluster, the first two entries aside.
  const uint64_t bits = fat32 ? 32 : clusters <= 4084 ? 12 : 16;
  if ((clusters + 2) * bits > fat_size * bytes_per_sector * 8) return -1;
  room->unit = static_cast<uint32_t>(cluster);
  room->bytes = (fat32 ? clusters - 1 : clusters) * cluster;
  room->inodes = UINT64_MAX;
  // The volume label takes an entry of the fixed root folder.
  room->top_slots = fat32 ? UINT64_MAX : root_entries > 0 ? root_entries - 1 : 0;
  room->estimated = false;
  return 0;
}

int read_ext4_room(const uint8_t *superblock, size_t length, uint64_t file_size,
                   filesystem_room *room) {
  if (length < 1024 || le16(superblock + 0x38) != 0xEF53) return -1;
  const uint32_t log_block = le32(superblock + 0x18);
  if (log_block > 6) return -1;
  const uint64_t block = 1024ull << log_block;
  const bool wide = (le32(superblock + 0x60) & 0x80) != 0;  // 64bit
  const uint64_t blocks =
      le32(superblock + 0x04) | (wide ? static_cast<uint64_t>(le32(superblock + 0x150)) << 32 : 0);
  const uint64_t free_blocks =
      le32(superblock + 0x0C) | (wide ? static_cast<uint64_t>(le32(superblock + 0x158)) << 32 : 0);
  const uint64_t free_inodes = le32(superblock + 0x10);
  if (blocks == 0 || free_blocks > blocks || blocks > file_size / block) return -1;
  uint64_t kept = blocks / 50;
  if (kept > 4096) kept = 4096;
  room->unit = static_cast<uint32_t>(block);
  room->bytes = (free_blocks > kept ? free_blocks - kept : 0) * block;
  room->inodes = free_inodes;
  room->top_slots = UINT64_MAX;
  room->estimated = false;
  return 0;
}

void estimate_room(new_filesystem kind, uint64_t size, filesystem_room *room) {
  // Margins wider than what mke2fs and mkfs.vfat take on any size an
  // installation has: ext4 10 % (inode tables up to 6.25 % on small
  // filesystems, the journal, the bitmaps, the kernel's reserve) and 64 MiB,
  // 4 KiB blocks and an inode per 32 KiB (mke2fs makes one per 16 KiB, or
  // 4 KiB); vfat two FATs of 4 bytes per sector (1/64) and 1 MiB, 32 KiB
  // clusters (mkfs.vfat takes 4 KiB or less up to 4 GiB) and a fixed root
  // folder of 512 entries, as FAT16 has.
  const uint64_t margin = kind == new_ext4 ? size / 10 + (64ull << 20) : size / 64 + (1ull << 20);
  room->bytes = size > margin ? size - margin : 0;
  room->unit = kind == new_ext4 ? 4096 : 32768;
  room->inodes = kind == new_ext4 ? size / 32768 : UINT64_MAX;
  room->top_slots = kind == new_ext4 ? UINT64_MAX : 511;
  room->estimated = true;
}

namespace {

// The scratch folder and the file in it, gone on every path.
struct scratch_filesystem {
  char folder[256] = {};
  char file[320] = {};
  scratch_filesystem() = default;
  scratch_filesystem(const scratch_filesystem &) = delete;
  scratch_filesystem &operator=(const scratch_filesystem &) = delete;
  ~scratch_filesystem() {
    if (file[0]) unlink(file);
    if (folder[0]) rmdir(folder);
  }
};

// Makes the filesystem in a sparse file of `file_size` bytes and reads the
// first `length` bytes from `at` of it. 0, or -1 (said by the tool or here).
int make_scratch_filesystem(new_filesystem kind, const char *label, uint64_t file_size,
                            const char *parent, uint64_t at, uint8_t *header, size_t length) {
  scratch_filesystem scratch;
  snprintf(scratch.folder, sizeof(scratch.folder), "%s/kvemmc-room.XXXXXX", parent);
  if (!mkdtemp(scratch.folder)) {
    printf("Cannot make a scratch folder in '%s': %s\n", parent, strerror(errno));
    scratch.folder[0] = '\0';
    return -1;
  }
  snprintf(scratch.file, sizeof(scratch.file), "%s/%s.img", scratch.folder, label);
  {
    owned_fd file;
    if (open_region_file(file, scratch.file, region_create) != 0) return -1;
    if (ftruncate(file.fd, static_cast<off_t>(file_size)) != 0) {
      printf("Cannot make the scratch file '%s' %llu bytes long: %s\n", scratch.file,
             static_cast<unsigned long long>(file_size), strerror(errno));
      return -1;
    }
    if (close_region_file(file) != 0) return -1;
  }
  if (!check_safe_path("scratch file", scratch.file)) return -1;
  owned<char> command = allocate_text(long_command_size);
  if (!command) return -1;
  // What the tool says, on either stream, is shown only when it fails.
  const int formed =
      kind == new_ext4
          ? form_mke2fs_command(command.get(), long_command_size, label, scratch.file,
                                ext4_features, 0, file_size, " 2>&1")
          : form_mkfs_vfat_command(command.get(), long_command_size, label, scratch.file,
                                   " 2>&1");
  if (formed != 0) return -1;
  char said[512] = {};
  if (run_command(command.get(), said, sizeof(said)) < 0) {
    char shown[sizeof(said)];
    printable_text(shown, sizeof(shown), said, strlen(said), true);
    printf("%s\n", shown);
    return -1;
  }
  owned_fd file;
  return open_region_file(file, scratch.file, O_RDONLY) == 0 &&
                 read_region_at(file.fd, at, header, length) == 0
             ? 0
             : -1;
}

}  // namespace

int measure_new_filesystem_room(new_filesystem kind, const char *label, uint64_t size,
                                filesystem_room *room, const char *parent) {
  if (!check_safe_name("label", label) || !check_safe_path("scratch folder", parent)) return -1;
  // The formatting gives mke2fs whole MiB, and the loop device that
  // mkfs.vfat formats whole sectors.
  const uint64_t file_size = kind == new_ext4 ? size >> 20 << 20 : size & ~511ull;
  uint8_t header[1024] = {};
  const uint64_t at = kind == new_ext4 ? 1024 : 0;
  const size_t length = kind == new_ext4 ? 1024 : 512;
  const char *type = kind == new_ext4 ? "ext4" : "vfat";
  if (file_size != 0 && file_size <= INT64_MAX &&
      make_scratch_filesystem(kind, label, file_size, parent, at, header, length) == 0) {
    const int read = kind == new_ext4 ? read_ext4_room(header, length, file_size, room)
                                      : read_fat_room(header, length, file_size, room);
    if (read == 0) return 0;
    printf("The scratch %s filesystem of '%s' holds no figures that can be read!\n", type, label);
  }
  estimate_room(kind, size, room);
  printf("The usable room of '%s' is estimated (%lluMB): no scratch %s filesystem could be made "
         "and read to measure it.\n",
         label, static_cast<unsigned long long>(room->bytes >> 20), type);
  return 0;
}
