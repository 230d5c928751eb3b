// The factory device trees of a dual-boot installation that was cut off.
//
// A table write puts out both DTB copies before the table (see
// write_reserved_image). A cut in between leaves the installation's trees,
// without their partitions node or complete, beside Android's table: a box
// that boots Android as before, but whose next installation would keep those
// trees as the factory's, for a removal to write back. The recovery snapshot
// that the cut run saved holds the factory's.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "operation_steps.h"

namespace {

// The newest snapshots looked at; older ones are left alone.
constexpr int max_snapshots_looked_at = 64;

struct snapshot_name {
  char stamp[16];  // YYYYMMDD-HHMMSS
  int n;           // 1, 2, ... within the second
  char file[64];
};

// "reserved-YYYYMMDD-HHMMSS.img" or "reserved-YYYYMMDD-HHMMSS-N.img".
bool parse_snapshot_name(const char *file, snapshot_name *name) {
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

bool newer(const snapshot_name &a, const snapshot_name &b) {
  const int order = strcmp(a.stamp, b.stamp);
  return order != 0 ? order > 0 : a.n > b.n;
}

// The snapshots of `folder`, newest first; a missing folder holds none.
int list_snapshots(const char *folder, snapshot_name (&names)[max_snapshots_looked_at],
                   int *count) {
  *count = 0;
  DIR *dir = opendir(folder);
  if (!dir) return 0;
  while (const dirent *entry = readdir(dir)) {
    snapshot_name name;
    if (!parse_snapshot_name(entry->d_name, &name)) continue;
    int at = *count;
    while (at > 0 && newer(name, names[at - 1])) at--;
    if (at >= max_snapshots_looked_at) continue;
    const int kept = *count < max_snapshots_looked_at ? *count : max_snapshots_looked_at - 1;
    memmove(&names[at + 1], &names[at], (kept - at) * sizeof(snapshot_name));
    names[at] = name;
    if (*count < max_snapshots_looked_at) ++*count;
  }
  closedir(dir);
  return 0;
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
  snapshot_name names[max_snapshots_looked_at];
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
    struct stat info;
    if (snprintf(path, sizeof(path), "%s/%s", folder, names[i].file) >= static_cast<int>(sizeof(path)) ||
        stat(path, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != reserved_snapshot_size)
      continue;
    owned<uint8_t> snapshot;
    if (read_file_region(snapshot, path, 0, reserved_snapshot_size) != 0) continue;
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
  snapshot_name names[max_snapshots_looked_at];
  int count = 0;
  if (list_snapshots(folder, names, &count) != 0) return 0;
  for (int i = 0; i < count; i++) {
    char path[320];
    struct stat info;
    if (snprintf(path, sizeof(path), "%s/%s", folder, names[i].file) >= static_cast<int>(sizeof(path)) ||
        stat(path, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != reserved_snapshot_size)
      continue;
    owned<uint8_t> snapshot;
    if (read_file_region(snapshot, path, 0, reserved_snapshot_size) != 0) continue;
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
