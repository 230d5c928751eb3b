// The kernel's devices of the eMMC's partitions ("/dev/env", "/dev/data",
// ...), laid out from the table it read at boot. Each keeps a page cache of
// its own at the partition's old offset: a dirty page there is written back
// whenever the kernel likes, also into what a new table has made another
// partition. So before a layout change none of them may be in use, and each
// one's cache is written and dropped.
//
// Relied on: mountinfo's third field is the mounted device's major:minor;
// /sys/dev/block/MAJOR:MINOR/holders lists the devices built on one (device
// mapper, md); /sys/block/loopN/loop/backing_file names a loop device's
// backing file; BLKFLSBUF writes a block device's dirty pages and drops its
// cached ones (root only).
#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "region_io.h"
#include "storage.h"

namespace {

// "/dev/NAME" of slot `index` when that is a block device, with its number.
bool partition_device(const mmc_partitions_fmt *table, uint32_t index, const char *folder,
                      char (&path)[loop_name_size], dev_t *device) {
  const partition_entry &entry = table->entries[index];
  char name[partition_name_size + 1] = {};
  memcpy(name, entry.name, partition_name_size);
  if (!name[0] || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return false;
  if (snprintf(path, sizeof(path), "%s/%s", folder, name) >= static_cast<int>(sizeof(path)))
    return false;
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISBLK(info.st_mode)) return false;
  *device = info.st_rdev;
  return true;
}

// The first device built on `device`, into `holder`; false when none.
bool held_by(dev_t device, char *holder, size_t holder_size) {
  char folder[64];
  snprintf(folder, sizeof(folder), "/sys/dev/block/%u:%u/holders", major(device), minor(device));
  DIR *holders = opendir(folder);
  if (!holders) return false;
  bool found = false;
  while (const dirent *entry = readdir(holders)) {
    if (entry->d_name[0] == '.') continue;
    found = snprintf(holder, holder_size, "%s", entry->d_name) > 0;
    break;
  }
  closedir(holders);
  return found;
}

// The loop device whose backing file is `device`, into `loop`; false when none.
bool backs_loop(dev_t device, char *loop, size_t loop_size) {
  DIR *block = opendir("/sys/block");
  if (!block) return false;
  bool found = false;
  while (const dirent *entry = readdir(block)) {
    if (strncmp(entry->d_name, "loop", 4) != 0) continue;
    char path[320];
    snprintf(path, sizeof(path), "/sys/block/%s/loop/backing_file", entry->d_name);
    FILE *file = fopen(path, "re");
    if (!file) continue;  // not attached
    char backing[loop_name_size] = {};
    const bool read = fgets(backing, sizeof(backing), file) != nullptr;
    fclose(file);
    backing[strcspn(backing, "\n")] = '\0';
    struct stat info;
    if (!read || stat(backing, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != device)
      continue;
    found = snprintf(loop, loop_size, "/dev/%s", entry->d_name) > 0;
    break;
  }
  closedir(block);
  return found;
}

// The partition lies in `new_table` with the same name, offset and size:
// its device's cache stays right (the bootloader's areas, what is not moved).
bool keeps_its_place(const partition_entry &entry, const mmc_partitions_fmt *new_table) {
  for (uint32_t i = 0; i < new_table->part_num && i < max_partitions; i++) {
    const partition_entry &kept = new_table->entries[i];
    if (strncmp(kept.name, entry.name, sizeof(kept.name)) == 0 && kept.offset == entry.offset &&
        kept.size == entry.size)
      return true;
  }
  return false;
}

}  // namespace

int check_partition_devices_free(const mmc_partitions_fmt *table, const char *folder) {
  for (uint32_t i = 0; i < table->part_num && i < max_partitions; i++) {
    char path[loop_name_size];
    dev_t device;
    if (!partition_device(table, i, folder, path, &device)) continue;
    const printable_name name = printable_slot_name(table->entries[i].name);
    char user[loop_name_size];
    const char *how = nullptr;
    if (device_mount_point(path_mountinfo, device, user, sizeof(user))) {
      how = "is mounted at '%s': unmount it";
    } else if (held_by(device, user, sizeof(user))) {
      how = "is held by '%s': release it";
    } else if (backs_loop(device, user, sizeof(user))) {
      how = "is the backing file of '%s': detach it";
    }
    if (!how) continue;
    char use[2 * loop_name_size];
    snprintf(use, sizeof(use), how, user);
    printf("'%s', the kernel's device of the eMMC partition '%s', %s before the eMMC's layout "
           "changes!\n", path, name.text, use);
    return -1;
  }
  return 0;
}

int flush_partition_devices(const mmc_partitions_fmt *table, const mmc_partitions_fmt *new_table,
                            const char *folder) {
  for (uint32_t i = 0; i < table->part_num && i < max_partitions; i++) {
    char path[loop_name_size];
    dev_t device;
    if (keeps_its_place(table->entries[i], new_table) ||
        !partition_device(table, i, folder, path, &device))
      continue;
    owned_fd file;
    if (open_region_file(file, path, O_RDONLY) != 0 || sync_region_file(file.fd) != 0) {
      printf("Failed to flush the cache of '%s'!\n", path);
      return -1;
    }
    if (ioctl(file.fd, BLKFLSBUF, 0) != 0) {
      printf("Failed to flush the cache of '%s': %s!\n", path, strerror(errno));
      return -1;
    }
  }
  return 0;
}
