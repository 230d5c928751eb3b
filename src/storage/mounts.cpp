// Mount checks, loop mounts of eMMC partitions, folder removal and the
// release of an external disk's mounts.
//
// Whether and from what a folder is mounted is read from the kernel's
// "/proc/self/mountinfo" and decided by exact comparison of its fields.
//
// Relied on from the tools (besides their exit code, 0 = done):
// - losetup: "losetup --find" prints the path of a free loop device on one
//   line; "--offset" (and "--sizelimit") in bytes make that device show the
//   byte range of the whole-eMMC device.
// - mount, umount, mkdir, rm: nothing but the exit code.
// - parted: "-s" runs without questions; "rm N" deletes partition N.
#include <sys/sysmacros.h>

#include <cinttypes>
#include <climits>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "storage.h"
#include "storage_internal.h"

static constexpr const char msg_mount_info_failed[] =
    "Error getting info from /proc/mount for '%s'\n";

namespace {

// Decodes the kernel's octal escapes of a field ("\040" for a space, "\134"
// for a backslash), in place.
void decode_field(char *field) {
  char *to = field;
  for (const char *from = field; *from; to++) {
    if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' && from[2] <= '7' &&
        from[3] >= '0' && from[3] <= '7') {
      *to = static_cast<char>((from[1] - '0') << 6 | (from[2] - '0') << 3 | (from[3] - '0'));
      from += 4;
    } else {
      *to = *from++;
    }
  }
  *to = '\0';
}

// A line of mountinfo: "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] -
// TYPE SOURCE SUPER-OPTIONS", split at single spaces (an empty source stays
// a field of its own).
bool parse_mount_line(char *line, mount_line *out) {
  line[strcspn(line, "\n")] = '\0';
  char *fields[6];
  for (char *&field : fields) {
    if (!(field = strsep(&line, " "))) return false;
  }
  const char *tag;
  while ((tag = strsep(&line, " ")) && strcmp(tag, "-") != 0) {
  }
  char *source = tag && strsep(&line, " ") ? strsep(&line, " ") : nullptr;
  if (!source) return false;
  decode_field(fields[4]);
  decode_field(source);
  out->point = fields[4];
  out->source = source;
  unsigned major_number = 0, minor_number = 0;
  out->device = sscanf(fields[2], "%u:%u", &major_number, &minor_number) == 2
                    ? makedev(major_number, minor_number)
                    : 0;
  return true;
}

struct mount_reader {
  owned_file file;
  char *line = nullptr;
  size_t capacity = 0;
  ~mount_reader() { free(line); }
  // The next mount into `out`; false at the end.
  bool next(mount_line *out) {
    while (getline(&line, &capacity, file.get()) != -1) {
      if (parse_mount_line(line, out)) return true;
    }
    return false;
  }
};

int open_mounts(mount_reader &reader, const char *mountinfo) {
  reader.file.reset(fopen(mountinfo, "re"));
  if (reader.file) return 0;
  printf("Failed to read the mounts from '%s'!\n", mountinfo);
  return -1;
}

bool at_or_below(const char *point, const char *folder) {
  const size_t length = strlen(folder);
  return strncmp(point, folder, length) == 0 && (point[length] == '\0' || point[length] == '/');
}

}  // namespace

int look_up_mounts(const char *mountinfo, const char *folder, folder_mounts *found) {
  *found = {};
  mount_reader reader;
  if (open_mounts(reader, mountinfo) != 0) return -1;
  mount_line mount;
  while (reader.next(&mount)) {
    if (strcmp(mount.point, folder) == 0) {
      found->on = true;
      snprintf(found->source, sizeof(found->source), "%s", mount.source);
    }
    if (at_or_below(mount.point, folder)) found->at_or_below = true;
  }
  return 0;
}

bool device_mount_point(const char *mountinfo, dev_t device, char *point, size_t point_size) {
  mount_reader reader;
  reader.file.reset(fopen(mountinfo, "re"));
  if (!reader.file) return false;
  mount_line mount;
  while (reader.next(&mount)) {
    if (mount.device != device) continue;
    snprintf(point, point_size, "%s", mount.point);
    return true;
  }
  return false;
}

int partition_of(const char *device, const char *source) {
  const size_t length = strlen(device);
  if (strncmp(source, "/dev/", 5) != 0 || strncmp(source + 5, device, length) != 0) return -1;
  const char *rest = source + 5 + length;
  if (rest[0] == '\0') return 0;
  // "sda1", but "mmcblk1p1": a name that ends in a digit takes a "p".
  if (length > 0 && device[length - 1] >= '0' && device[length - 1] <= '9' && *rest++ != 'p') {
    return -1;
  }
  if (rest[0] < '1' || rest[0] > '9' || strlen(rest) > 3) return -1;
  int number = 0;
  for (; *rest; rest++) {
    if (*rest < '0' || *rest > '9') return -1;
    number = number * 10 + (*rest - '0');
  }
  return number;
}

int locate_partition(const mmc_partitions_fmt *table, const char *name, partition_entry *entry) {
  if (!check_safe_name("partition name", name)) return -1;
  int index = 0;
  if (find_partition(table, name, &index) != 0) {
    printf(msg_partition_not_found, name);
    return -1;
  }
  const partition_entry &found = table->entries[index];
  // Offset 0 or size 0 would turn "this partition" into "the whole eMMC" for
  // mke2fs and losetup.
  if (found.offset == 0 || found.size == 0 || found.offset > INT64_MAX ||
      found.size > INT64_MAX - found.offset) {
    printf("Partition '%s' has no usable location: offset 0x%012llx, size 0x%012llx!\n", name,
           static_cast<unsigned long long>(found.offset),
           static_cast<unsigned long long>(found.size));
    return -1;
  }
  *entry = found;
  return 0;
}

namespace {

// Each retry follows a device that another program took between the search
// and the attach: with several programs attaching and detaching at once,
// three taken in a row have been seen.
constexpr int max_attach_attempts = 10;

// True when the kernel shows a backing file for the loop device "/dev/loopN".
bool loop_in_use(const char *loop) {
  const char *name = strrchr(loop, '/');
  char path[loop_name_size + 64];
  snprintf(path, sizeof(path), "/sys/block/%s/loop/backing_file", name ? name + 1 : loop);
  return path_exists(path);
}

}  // namespace

int find_free_loop(char *loop, size_t loop_size) {
  if (run_command("losetup --find", loop, loop_size) < 0 || !check_safe_path("loop device", loop)) {
    puts("Error getting next free loop");
    return -1;
  }
  return 0;
}

loop_device::~loop_device() {
  if (attached) detach_loop(*this);
}

int attach_loop(loop_device &loop, const char *device, uint64_t offset, uint64_t size,
                bool read_only) {
  if (!check_safe_path("device", device)) return -1;
  if (offset > INT64_MAX || size > INT64_MAX) {
    printf("Byte range of '%s' too large for a loop device!\n", device);
    return -1;
  }
  const char *read_only_option = read_only ? " --read-only" : "";
  // The free device is found by one call and attached by a second: another
  // program may take it in between. Then the attach fails on a device that
  // is in use now, and the search goes again. The other program may also
  // have let it go again before the check: a failure on a device that is
  // free is tried once more, and the second such failure stands.
  bool tried_again_on_free = false;
  for (int attempt = 1;; attempt++) {
    if (find_free_loop(loop.name, sizeof(loop.name)) != 0) return -1;
    char command[short_command_size];
    int result =
        size == 0
            ? run_formatted(command, sizeof(command), nullptr, "losetup %s %s --offset %lld%s",
                            loop.name, device, static_cast<long long>(offset), read_only_option)
            : run_formatted(command, sizeof(command), nullptr,
                            "losetup %s %s --offset %lld --sizelimit %lld%s", loop.name, device,
                            static_cast<long long>(offset), static_cast<long long>(size),
                            read_only_option);
    if (result == 0) break;
    if (attempt == max_attach_attempts) return -1;
    if (loop_in_use(loop.name)) {
      printf("Loop device '%s' was taken meanwhile: trying another one.\n", loop.name);
    } else {
      if (tried_again_on_free) return -1;
      tried_again_on_free = true;
      printf("Loop device '%s' could not be attached and is free again: trying once more.\n",
             loop.name);
    }
  }
  loop.attached = true;
  return 0;
}

static int detach_loop_named(const char *name) {
  char command[short_command_size];
  return run_formatted(command, sizeof(command), nullptr, "losetup -d %s", name);
}

int detach_loop(loop_device &loop) {
  loop.attached = false;
  return detach_loop_named(loop.name);
}

namespace {

// The mounts this run made of its own loop devices: the folder and the loop
// device mounted there. Unmounting the folder detaches the device.
// A plain record: what is still mounted when the process ends stays so.
struct held_mount {
  bool in_use;
  char folder[short_command_size];
  char loop[loop_name_size];
};
constexpr int max_held_mounts = 4;
held_mount held_mounts[max_held_mounts];

held_mount *held_mount_at(const char *folder) {
  for (held_mount &m : held_mounts) {
    if (m.in_use && strcmp(m.folder, folder) == 0) return &m;
  }
  return nullptr;
}

}  // namespace

bool check_own_mount(const char *folder) {
  const held_mount *held = held_mount_at(folder);
  folder_mounts found;
  if (held && look_up_mounts(path_mountinfo, folder, &found) == 0 && found.on &&
      strcmp(found.source, held->loop) == 0) {
    return true;
  }
  printf("Refusing to change '%s': it is not the eMMC partition this run mounted there!\n", folder);
  return false;
}

int check_installation_unmounted() {
  for (const char *folder : {path_emmc_flash_mount, path_emmc_storage_mount}) {
    folder_mounts found;
    if (look_up_mounts(path_mountinfo, folder, &found) != 0) return -1;
    if (found.on) {
      printf("'%s' is still mounted: no eMMC partition is moved or formatted under a mounted "
             "filesystem!\n", folder);
      return -1;
    }
  }
  return 0;
}

int is_mounted(const char *folder) {
  if (!folder || !is_directory(folder)) return 0;
  if (!check_safe_path("folder", folder)) return -1;
  folder_mounts found;
  if (look_up_mounts(path_mountinfo, folder, &found) != 0) return -1;
  return found.on ? 1 : 0;
}

int unmount_path(const char *folder) {
  if (!folder || !is_directory(folder)) return 0;
  int mounted = is_mounted(folder);
  if (mounted < 0) {
    printf("Error checking if path is mounted: '%s'\n", folder);
    return -1;
  }
  char command[short_command_size];
  if (mounted > 0 &&
      run_formatted(command, sizeof(command), nullptr, "umount %s", folder) != 0) {
    return -1;
  }
  held_mount *held = held_mount_at(folder);
  if (!held) return 0;
  held->in_use = false;
  return detach_loop_named(held->loop);
}

enum class partition_access { writable, readable, untouched };

static int mount_partition(const mmc_partitions_fmt *table, const char *name, const char *folder,
                           const char *device, partition_access access) {
  partition_entry entry;
  if (locate_partition(table, name, &entry) != 0) return -1;
  if (!check_safe_path("folder", folder) || !check_safe_path("device", device)) return -1;
  if (strlen(folder) >= sizeof(held_mount::folder)) {
    printf("Folder name too long: '%s'\n", folder);
    return -1;
  }
  held_mount *slot = nullptr;
  for (held_mount &m : held_mounts) {
    if (!m.in_use) slot = &m;
  }
  if (unmount_path(folder) != 0) {
    printf(msg_umount_folder_failed, folder);
    return -1;
  }
  if (!slot) {
    printf("Too many partitions mounted at once for '%s'!\n", folder);
    return -1;
  }

  // No size limit: the loop device reaches to the end of the eMMC.
  loop_device loop;
  if (attach_loop(loop, device, entry.offset, 0, access == partition_access::untouched) != 0)
    return -1;
  char command[short_command_size];
  if (run_formatted(command, sizeof(command), nullptr, "mkdir -p %s", folder) != 0) return -1;
  // A measurement must not replay the journal or touch the superblock.
  // KV_FLASH is vfat, which has no journal and knows no "noload".
  const char *options = access == partition_access::writable   ? "rw"
                        : access == partition_access::readable   ? "ro"
                        : strcmp(name, name_kv_flash) == 0       ? "ro"
                                                                 : "ro,noload";
  if (run_formatted(command, sizeof(command), nullptr, "mount -o %s %s %s", options, loop.name,
                    folder) != 0) {
    return -1;
  }
  // The mount holds the loop device now; unmounting the folder releases it.
  snprintf(slot->folder, sizeof(slot->folder), "%s", folder);
  memcpy(slot->loop, loop.name, sizeof(slot->loop));
  slot->in_use = true;
  loop.attached = false;
  return 0;
}

int loop_mount_partition(const mmc_partitions_fmt *table, const char *name, const char *folder,
                         const char *device) {
  return mount_partition(table, name, folder, device, partition_access::writable);
}

int loop_mount_partition_read_only(const mmc_partitions_fmt *table, const char *name,
                                   const char *folder, const char *device) {
  return mount_partition(table, name, folder, device, partition_access::untouched);
}

int loop_mount_partition_for_reading(const mmc_partitions_fmt *table, const char *name,
                                     const char *folder, const char *device) {
  return mount_partition(table, name, folder, device, partition_access::readable);
}

// A folder handed to "rm -rf" must name something below the root: not "/",
// ".", ".." or any path that climbs with "..".
static bool check_removable(const char *folder) {
  if (!check_safe_path("folder", folder)) return false;
  bool names_something = false;
  bool climbs = false;
  for (const char *p = folder; *p;) {
    while (*p == '/') p++;
    const char *start = p;
    while (*p && *p != '/') p++;
    size_t length = static_cast<size_t>(p - start);
    if (length == 2 && start[0] == '.' && start[1] == '.') climbs = true;
    if (length > 0 && !(length == 1 && start[0] == '.')) names_something = true;
  }
  if (names_something && !climbs) return true;
  printf("Refusing to remove '%s'!\n", folder);
  return false;
}

// A folder at or below a temporary eMMC mount point may only be changed while
// this run's own mount is there: a lost mount must not turn "rm -rf" onto
// the boot media's root filesystem.
bool check_temp_mount_target(const char *folder) {
  for (const char *mount_point : {path_emmc_flash_mount, path_emmc_storage_mount}) {
    const size_t length = strlen(mount_point);
    if (strncmp(folder, mount_point, length) == 0 &&
        (folder[length] == '\0' || folder[length] == '/')) {
      return check_own_mount(mount_point);
    }
  }
  return true;
}

int clear_folder(const char *folder) {
  if (!folder || !is_directory(folder)) return 0;
  if (!check_removable(folder) || !check_temp_mount_target(folder)) return -1;
  char command[short_command_size];
  return run_formatted(command, sizeof(command), nullptr, "rm -rf %s/* %s/.[!.]* 2>&1 || true",
                       folder, folder);
}

// A folder that "rm -rf" may take: below the root, in this run's own mount,
// with no filesystem mounted at or below it.
static bool check_folder_removable(const char *folder) {
  if (!check_removable(folder) || !check_temp_mount_target(folder)) return false;
  // rm -rf would go on into a filesystem mounted at or below the folder.
  folder_mounts found;
  if (look_up_mounts(path_mountinfo, folder, &found) != 0) return false;
  if (found.at_or_below) {
    printf("Refusing to remove '%s': a filesystem is mounted there!\n", folder);
    return false;
  }
  return true;
}

int remove_folder(const char *folder) {
  if (!folder || !is_directory(folder)) return 0;
  if (!check_folder_removable(folder)) return -1;
  char command[short_command_size];
  return run_formatted(command, sizeof(command), nullptr, "rm -rf %s/ 2>&1 || true", folder);
}

int empty_folder_beside_factory_images(const char *folder) {
  char image[320];
  bool kept = false;
  for (const char *name : {apt_backup_image_name, dtb_backup_image_name}) {
    snprintf(image, sizeof(image), "%s/%s", folder ? folder : "", name);
    kept = kept || path_exists(image);
  }
  if (!kept) return remove_folder(folder);
  if (!check_folder_removable(folder)) return -1;
  // find hands each name to rm as it is: no shell reads the folder's names.
  char command[short_command_size];
  return run_formatted(command, sizeof(command), nullptr,
                       "find %s -mindepth 1 -maxdepth 1 ! -name %s ! -name %s -exec rm -rf {} + "
                       "2>&1 || true",
                       folder, apt_backup_image_name, dtb_backup_image_name);
}

bool device_holds_mount(const char *device, const char *folder) {
  folder_mounts found;
  return look_up_mounts(path_mountinfo, folder, &found) == 0 && found.on &&
         partition_of(device, found.source) >= 0;
}

// The number of the partition of `device` mounted at `mount_point`. Only a
// single mount of one of the disk's partitions 1 to 9 tells which partition
// to delete; anything else would delete a wrong one. 0 or -1.
static int mounted_partition(const char *device, const char *mount_point, char *number) {
  folder_mounts found;
  if (look_up_mounts(path_mountinfo, mount_point, &found) != 0) {
    printf(msg_mount_info_failed, mount_point);
    return -1;
  }
  const int partition = found.on ? partition_of(device, found.source) : -1;
  if (partition >= 1 && partition <= 9) {
    *number = static_cast<char>('0' + partition);
    return 0;
  }
  char shown[short_command_size];
  printable_text(shown, sizeof(shown), found.source, strlen(found.source));
  printf("Mount '%s' is not one partition 1 to 9 of '%s' (it shows '%s')!\n", mount_point, device,
         shown);
  return -1;
}

int unmount_device(const char *device, int delete_partitions) {
  if (!check_safe_name("device name", device)) return -1;
  owned<char> list = allocate_text(long_command_size);
  if (!list) return -1;
  // The mount points of the disk and its partitions, each ended by '\0'.
  char *filled = list.get();
  {
    mount_reader reader;
    if (open_mounts(reader, path_mountinfo) != 0) {
      printf(msg_mount_info_failed, device);
      return -1;
    }
    mount_line mount;
    while (reader.next(&mount)) {
      if (partition_of(device, mount.source) < 0) continue;
      const size_t length = strlen(mount.point) + 1;
      if (length > long_command_size - static_cast<size_t>(filled - list.get())) {
        printf("Too many mounts of '%s' to handle!\n", device);
        return -1;
      }
      memcpy(filled, mount.point, length);
      filled += length;
    }
  }
  // Every mount is checked before the first partition goes, so that a mount
  // that is none of the disk's partitions 1 to 9 changes nothing.
  char number = 0;
  for (char *point = list.get(); delete_partitions && point < filled; point += strlen(point) + 1) {
    if (mounted_partition(device, point, &number) != 0) return -1;
  }
  for (char *point = list.get(); point < filled; point += strlen(point) + 1) {
    if (delete_partitions && mounted_partition(device, point, &number) != 0) return -1;
    if (unmount_path(point) != 0) {
      printf("Could not umount path '%s' of device '%s'!\n", point, device);
      return -1;
    }
    if (delete_partitions) {
      char command[short_command_size];
      if (run_formatted(command, sizeof(command), nullptr, "parted -s \"/dev/%s\" rm %c", device,
                        number) != 0) {
        return -1;
      }
    }
    if (remove_folder(point) != 0) {
      printf(msg_remove_folder_failed, point);
      return -1;
    }
  }
  return 0;
}

int unmount_temp_folders() {
  for (const char *folder : {path_emmc_flash_mount, path_emmc_storage_mount}) {
    if (unmount_path(folder) != 0) {
      printf(msg_umount_folder_failed, folder);
      return -1;
    }
  }
  return 0;
}
