// The recovery snapshot of the reserved area: saved before a table write,
// and looked for again where a run needs what it holds.
//
// The factory device trees of a dual-boot installation that was cut off: a
// table write puts out both DTB copies before the table (see
// write_reserved_image). A cut in between leaves the installation's trees,
// without their partitions node or complete, beside Android's table: a box
// that boots Android as before, but whose next installation would keep those
// trees as the factory's, for a removal to write back. The recovery snapshot
// that the cut run saved holds the factory's.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "devicetree.h"
#include "frontend.h"
#include "operation_steps.h"
#include "region_io.h"
#include "storage.h"

namespace {

constexpr int max_snapshots_per_second = 99;

// Makes `folder` and every missing folder above it (no shell involved).
int make_folders(const char *folder) {
  char path[256];
  if (snprintf(path, sizeof(path), "%s", folder) >= static_cast<int>(sizeof(path))) return -1;
  for (char *p = path + 1;; p++) {
    if (*p != '/' && *p != '\0') continue;
    const char kept = *p;
    *p = '\0';
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
    *p = kept;
    if (kept == '\0') return 0;
  }
}

// The time stamp of this second's snapshot names.
int snapshot_stamp(char (&stamp)[32]) {
  const time_t now = time(nullptr);
  struct tm utc;
  if (!gmtime_r(&now, &utc) || strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &utc) == 0) {
    puts("Cannot read the clock for the snapshot's name!");
    return -1;
  }
  return 0;
}

// The `n`th name of the second `stamp` (1, 2, ...); false when it does not fit.
bool snapshot_name(char *path, size_t path_size, const char *folder, const char *stamp, int n) {
  const int length = n == 1 ? snprintf(path, path_size, "%s/reserved-%s.img", folder, stamp)
                            : snprintf(path, path_size, "%s/reserved-%s-%d.img", folder, stamp, n);
  return length >= 0 && static_cast<size_t>(length) < path_size;
}

int write_and_verify(int fd, const uint8_t *bytes, uint64_t size) {
  if (write_region_at(fd, 0, bytes, size) != 0 || drop_cached_pages(fd) != 0) return -1;
  owned<uint8_t> back = allocate_zeroed(static_cast<size_t>(size));
  if (!back) {
    puts("malloc failed for backup!");
    return -1;
  }
  if (read_region_at(fd, 0, back.get(), size) != 0) return -1;
  if (memcmp(back.get(), bytes, static_cast<size_t>(size)) != 0) {
    puts("The snapshot reads back differently from what was written!");
    return -1;
  }
  return 0;
}

}  // namespace

int next_snapshot_name(char *path, size_t path_size, const char *folder) {
  char stamp[32];
  if (snapshot_stamp(stamp) != 0) return -1;
  for (int n = 1; n <= max_snapshots_per_second; n++) {
    if (!snapshot_name(path, path_size, folder, stamp, n)) break;
    if (!path_exists(path)) return 0;
  }
  puts("No free name for the recovery snapshot!");
  return -1;
}

namespace {

// What a save cut off before its rename left ("reserved-....img.new"): never
// a snapshot, only room taken on the boot media. Removed before the next one.
void sweep_unfinished_snapshots(const char *folder) {
  DIR *listing = opendir(folder);
  if (!listing) return;
  const size_t suffix = strlen(".img.new");
  while (const dirent *entry = readdir(listing)) {
    const size_t length = strlen(entry->d_name);
    if (strncmp(entry->d_name, "reserved-", 9) != 0 || length <= 9 + suffix ||
        strcmp(entry->d_name + length - suffix, ".img.new") != 0)
      continue;
    char path[320];
    if (snprintf(path, sizeof(path), "%s/%s", folder, entry->d_name) < static_cast<int>(sizeof(path)))
      unlink(path);
  }
  closedir(listing);
}

}  // namespace

int save_reserved_snapshot(const char *reserved, const char *folder, char *saved,
                           size_t saved_size) {
  owned<uint8_t> area;
  if (read_file_region(area, reserved, 0, reserved_snapshot_size) != 0) {
    printf("Failed to read '%s' for the recovery snapshot!\n", reserved);
    return -1;
  }
  if (make_folders(folder) != 0) {
    printf("Failed to create folder '%s' for the recovery snapshot!\n", folder);
    return -1;
  }
  sweep_unfinished_snapshots(folder);
  const uint64_t room = free_space(folder);
  if (room < reserved_snapshot_size) {
    printf("Not enough free space on '%s' for the recovery snapshot: %lluKB needed, %lluKB free!\n",
           folder, static_cast<unsigned long long>(reserved_snapshot_size >> 10),
           static_cast<unsigned long long>(room >> 10));
    return -1;
  }
  // Whole and durable under its own name before it takes the snapshot's:
  // a file that does not hold the whole area is no snapshot.
  char path[320] = {}, fresh[330];
  owned_fd file;
  if (next_snapshot_name(path, sizeof(path), folder) != 0) return -1;
  snprintf(fresh, sizeof(fresh), "%s.new", path);
  if (open_region_file(file, fresh, region_create) != 0 ||
      write_and_verify(file.fd, area.get(), reserved_snapshot_size) != 0 ||
      close_region_file(file) != 0 || rename(fresh, path) != 0 || sync_folder_of(path) != 0) {
    unlink(fresh);
    printf("Failed to save the recovery snapshot of '%s'!\n", reserved);
    return -1;
  }
  printf("Recovery snapshot of '%s' saved as '%s'\n", reserved, path);
  if (saved) snprintf(saved, saved_size, "%s", path);
  return 0;
}

// ---- Snapshots looked for ----

namespace {

// The newest snapshots looked at; older ones are left alone.
constexpr int max_snapshots_looked_at = 64;

struct listed_snapshot {
  char stamp[16];  // YYYYMMDD-HHMMSS
  int n;           // 1, 2, ... within the second
  char file[64];
};

// "reserved-YYYYMMDD-HHMMSS.img" or "reserved-YYYYMMDD-HHMMSS-N.img".
bool parse_snapshot_name(const char *file, listed_snapshot *name) {
  const size_t length = strlen(file);
  if (length >= sizeof(name->file) || length < 28 || strncmp(file, "reserved-", 9) != 0 ||
      strcmp(file + length - 4, ".img") != 0)
    return false;
  for (int i = 0; i < 15; i++) {
    const char c = file[9 + i];
    if (i == 8 ? c != '-' : (c < '0' || c > '9')) return false;
  }
  memcpy(name->stamp, file + 9, 15);
  name->stamp[15] = '\0';
  name->n = 1;
  const char *rest = file + 24;
  if (strcmp(rest, ".img") != 0) {
    int n = 0, used = 0;
    if (sscanf(rest, "-%3d.img%n", &n, &used) != 1 || rest[used] != '\0' || n < 2) return false;
    name->n = n;
  }
  snprintf(name->file, sizeof(name->file), "%s", file);
  return true;
}

bool newer(const listed_snapshot &a, const listed_snapshot &b) {
  const int order = strcmp(a.stamp, b.stamp);
  return order != 0 ? order > 0 : a.n > b.n;
}

// The snapshots of `folder`, newest first; a missing folder holds none.
int list_snapshots(const char *folder, listed_snapshot (&names)[max_snapshots_looked_at],
                   int *count) {
  *count = 0;
  DIR *dir = opendir(folder);
  if (!dir) return 0;
  while (const dirent *entry = readdir(dir)) {
    listed_snapshot name;
    if (!parse_snapshot_name(entry->d_name, &name)) continue;
    int at = *count;
    while (at > 0 && newer(name, names[at - 1])) at--;
    if (at >= max_snapshots_looked_at) continue;
    const int kept = *count < max_snapshots_looked_at ? *count : max_snapshots_looked_at - 1;
    memmove(&names[at + 1], &names[at], (kept - at) * sizeof(listed_snapshot));
    names[at] = name;
    if (*count < max_snapshots_looked_at) ++*count;
  }
  closedir(dir);
  return 0;
}

// The listed snapshot `name` of `folder` read whole into `snapshot`, its
// path into `path`: false for anything but a plain file of a snapshot's size.
bool read_listed_snapshot(const char *folder, const listed_snapshot &name, char (&path)[320],
                          owned<uint8_t> &snapshot) {
  struct stat info;
  return snprintf(path, sizeof(path), "%s/%s", folder, name.file) < static_cast<int>(sizeof(path)) &&
         stat(path, &info) == 0 && S_ISREG(info.st_mode) &&
         static_cast<uint64_t>(info.st_size) == reserved_snapshot_size &&
         read_file_region(snapshot, path, 0, reserved_snapshot_size) == 0;
}

// Whether DTB copy `copy` of `blocks` is the snapshot's own, or as a table
// write for the snapshot's trees leaves it: without the node, or complete.
enum class copy_form { as_snapshot, written, other };

copy_form form_of(const uint8_t *block, const uint8_t *snapshot_block, const uint8_t *interim,
                  const uint8_t *written) {
  if (same_dtb_block(block, snapshot_block)) return copy_form::as_snapshot;
  if (same_dtb_block(block, interim) || same_dtb_block(block, written)) return copy_form::written;
  return copy_form::other;
}

}  // namespace

int find_factory_trees_snapshot(int dtb_mode, const mmc_partitions_fmt *new_table, char *found,
                                size_t found_size, const char *reserved, const char *folder) {
  found[0] = '\0';
  listed_snapshot names[max_snapshots_looked_at];
  int count = 0;
  if (list_snapshots(folder, names, &count) != 0 || count == 0) return 0;
  owned<uint8_t> area;
  if (read_file_region(area, reserved, 0, reserved_snapshot_size) != 0) return -1;
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  owned<uint8_t> interim = allocate_zeroed(dtb_area_size);
  if (!image || !interim) {
    puts("malloc failed for dtb!");
    return -1;
  }
  for (int i = 0; i < count; i++) {
    char path[320];
    owned<uint8_t> snapshot;
    if (!read_listed_snapshot(folder, names[i], path, snapshot)) continue;
    // Another table: another box, or one changed since.
    if (memcmp(snapshot.get(), area.get(), apt_backup_image_size) != 0) continue;
    if (prepare_reserved_image(dtb_mode, new_table, image.get(), path) != 0) continue;
    interim_reserved_blocks(image.get(), interim.get());
    int written = 0, other = 0, snapshot_written = 0;
    for (int copy = 0; copy < dtb_copy_count; copy++) {
      const uint64_t at = dtb_copy_offset(copy), in_image = copy * dtb_block_size;
      const uint8_t *snapshot_block = snapshot.get() + at;
      const copy_form form = form_of(area.get() + at, snapshot_block, interim.get() + in_image,
                                     image->blocks + in_image);
      written += form == copy_form::written;
      other += form == copy_form::other;
      // A snapshot saved by a run after such a cut holds written trees itself.
      snapshot_written += same_dtb_block(snapshot_block, interim.get() + in_image) ||
                          same_dtb_block(snapshot_block, image->blocks + in_image);
    }
    if (snapshot_written == dtb_copy_count) continue;
    // The newest snapshot of factory trees beside this table decides.
    if (other == 0 && written > 0) snprintf(found, found_size, "%s", path);
    return 0;
  }
  return 0;
}

int find_android_snapshot(const mmc_partitions_fmt *android_only, char *found, size_t found_size,
                          const char *folder) {
  found[0] = '\0';
  listed_snapshot names[max_snapshots_looked_at];
  int count = 0;
  if (list_snapshots(folder, names, &count) != 0) return 0;
  for (int i = 0; i < count; i++) {
    char path[320];
    owned<uint8_t> snapshot;
    if (!read_listed_snapshot(folder, names[i], path, snapshot)) continue;
    mmc_partitions_fmt table;
    memcpy(&table, snapshot.get(), sizeof(table));
    if (memcmp(table.magic, android_only->magic, sizeof(table.magic)) != 0 ||
        table.part_num != android_only->part_num || table.part_num < 1 ||
        table.part_num > max_partitions ||
        table.checksum != partition_table_checksum(table.entries, static_cast<int>(table.part_num)) ||
        memcmp(table.entries, android_only->entries, table.part_num * sizeof(partition_entry)) != 0)
      continue;
    bool sound = true;
    for (int copy = 0; sound && copy < dtb_copy_count; copy++)
      sound = check_dtb_block(snapshot.get() + dtb_copy_offset(copy)) == 0;
    if (!sound) continue;
    snprintf(found, found_size, "%s", path);
    return 0;
  }
  return 0;
}
