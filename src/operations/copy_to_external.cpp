// A copy of the installation the box runs from (its "/flash" and "/storage")
// onto the one external SD card or USB disk, so that the box can boot from
// that later. A device that is not prepared yet gets an msdos table, a vfat
// partition "KESTROVA" of the flash size and an ext4 partition "STORAGE" over
// the rest, which the system's udevil service mounts; on a prepared device
// each partition's copy is asked for.
//
// First half, before anything on the device changes: the search (only a
// name that is safe in a command line, never a device that holds the running
// system), the sizes, the question. Second half: the release of the device,
// its partitions and filesystems, the mounts, the two copies.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

constexpr const char path_sys_block[] = "/sys/block";
constexpr const char path_external_flash[] = "/media/KESTROVA";
constexpr const char path_external_storage[] = "/media/STORAGE";
constexpr const char label_external_flash[] = "KESTROVA";
constexpr const char label_external_storage[] = "STORAGE";

constexpr uint64_t min_storage_size = 33554432;   // 32 MiB
constexpr uint64_t unpartitioned_size = 4194304;  // 4 MiB before partition 1
constexpr uint64_t first_sector = 8192;
constexpr int mount_checks = 100;
constexpr useconds_t mount_pause = 50000;  // 50 ms
// blkid's exit code when it finds nothing: a blank device.
constexpr int blkid_nothing_found = 2;

constexpr const char msg_start_copy[] = "Starting copying of data from eMMC!";

// The running system's /storage holds the tool's own folder, which stays.
copy_scope copy_scope_of(const char *folder) {
  return strcmp(folder, path_storage) == 0 ? copy_without_own_folder : copy_whole_tree;
}

bool counts_as_external(const char *name) {
  return strcmp(name, "mmcblk1") == 0 || strstr(name, "sd") != nullptr;
}

// Lists what blkid finds on the device and its partitions; a blank device
// shows nothing.
int list_filesystems(const char *device) {
  char output[command_capture_size];
  if (format_command(scratch_buffer, scratch_buffer_size, "blkid /dev/%s* || test $? -eq %d",
                     device, blkid_nothing_found) != 0) {
    return -1;
  }
  if (run_command(scratch_buffer, output, sizeof(output)) < 0) {
    printf(msg_cmd_failed, scratch_buffer);
    return -1;
  }
  for (char *save = nullptr, *line = strtok_r(output, "\n", &save); line;
       line = strtok_r(nullptr, "\n", &save)) {
    printf("\t%s\n", line);
  }
  return 0;
}

// 1. The one external device, into `device`.
int find_external_device(char *device, size_t device_size) {
  DIR *directory = opendir(path_sys_block);
  if (!directory) {
    printf("Failed to open '%s'!\n", path_sys_block);
    return -1;
  }
  puts("\nSearching external SD or USB device...");
  int found = 0;
  int result = 0;
  for (struct dirent *entry = readdir(directory); entry && result == 0;
       entry = readdir(directory)) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !counts_as_external(name)) continue;
    found++;
    char shown[64];
    printable_text(shown, sizeof(shown), name, strlen(name), false);
    printf("Found external SD or USB device: %s\n", shown);
    if (!check_safe_name("device name", name) || strlen(name) >= device_size) {
      result = -1;
      break;
    }
    snprintf(device, device_size, "%s", name);
    result = list_filesystems(device);
  }
  closedir(directory);
  if (result != 0) return -1;
  if (found == 0) {
    puts("\nNo external SD or USB device is found!");
    return -1;
  }
  if (found > 1) {
    puts("\nMore then one external SD or USB device is found!");
    return -1;
  }
  // Never the disk the running system's own folders are on.
  for (const char *folder : {path_flash, path_storage}) {
    if (device_holds_mount(device, folder)) {
      printf("The external device '%s' holds the running system's '%s': it cannot take the copy!\n",
             device, folder);
      return -1;
    }
  }
  return 0;
}

// 2. The device holds the flash size, the storage data (at least 32 MiB)
// and the 4 MiB before the first partition. The device's size and the used
// space of "/flash" and "/storage" go to `size` and `used`.
int check_device_size(const char *device, uint64_t *size_out, uint64_t (&used_out)[2]) {
  const uint64_t size = block_device_size(device);
  *size_out = size;
  printf("\nExternal SD or USB device size: 0x%012llx [%dGB]\n\n",
         static_cast<unsigned long long>(size),
         static_cast<int>(round_up_power_of_two(static_cast<uint32_t>(size / 1000000000))));
  uint64_t used = 0;
  int measured = 0;
  for (const char *folder : {path_flash, path_storage}) {
    if (print_used_space(folder, folder, &used, copy_scope_of(folder)) < 0) {
      printf(msg_used_space_failed, folder);
      return -1;
    }
    used_out[measured++] = used;
  }
  if (used < min_storage_size) used = min_storage_size;
  const uint64_t required = flash_partition_size + used + unpartitioned_size;
  if (size < required) {
    printf(
        "External SD or USB device is too small to cover data of '%s' + '%s' from current "
        "Kestrova eMMC installation!\n",
        path_flash, path_storage);
    printf("Free space on '%s' external SD or USB device: %lldMB\n", device,
           static_cast<long long>(size >> 20));
    printf("Used space on '%s' + '%s': %lld\n", path_flash, path_storage,
           static_cast<long long>(required));
    return -1;
  }
  return 0;
}

// Both partitions are mounted where the udevil service puts them, from this
// device. 1 prepared, 0 not, -1 refused.
int is_prepared(const char *device) {
  for (const char *folder : {path_external_flash, path_external_storage}) {
    const int mounted = is_mounted(folder);
    if (mounted < 0) return -1;
    if (mounted == 0) return 0;
  }
  for (const char *folder : {path_external_flash, path_external_storage}) {
    if (!device_holds_mount(device, folder)) {
      printf("'%s' is mounted from another device than '%s'!\n", folder, device);
      return -1;
    }
  }
  return 1;
}

// The udevil service mounts the partition at "/media/LABEL" a moment after
// its restart.
int mount_by_service(const char *partition, const char *folder) {
  if (run_formatted(scratch_buffer, scratch_buffer_size, nullptr,
                    "systemctl restart udevil-mount@/dev/%s.service 2>&1", partition) != 0) {
    return -1;
  }
  for (int check = 0; check < mount_checks; check++) {
    if (is_mounted(folder) == 1) return 0;
    usleep(mount_pause);
  }
  printf("Timeout waiting for mount of '%s'!\n", folder);
  return -1;
}

// 4. A new msdos table, KESTROVA of the flash size from sector 8192, STORAGE
// over the rest, both mounted by the udevil service.
int prepare_device(const char *device) {
  if (unmount_device(device, 1) != 0) {
    printf("Error umount of the device: '%s'\n", device);
    return -1;
  }
  const long long flash_end = static_cast<long long>(first_sector + flash_partition_size / 512 - 1);
  if (run_formatted(scratch_buffer, scratch_buffer_size, nullptr,
                    "parted -s \"/dev/%s\" mktable msdos", device) != 0 ||
      run_formatted(scratch_buffer, scratch_buffer_size, nullptr,
                    "parted -s \"/dev/%s\" -a min unit s mkpart primary fat32 %lld %lld", device,
                    static_cast<long long>(first_sector), flash_end) != 0 ||
      run_formatted(scratch_buffer, scratch_buffer_size, nullptr,
                    "parted -s \"/dev/%s\" set 1 boot on", device) != 0) {
    return -1;
  }
  const char *form = strstr(device, "mmcblk") ? "%sp%d" : "%s%d";
  char flash[512], storage[512], path[sizeof(flash) + 5];
  snprintf(flash, sizeof(flash), form, device, 1);
  snprintf(storage, sizeof(storage), form, device, 2);

  snprintf(path, sizeof(path), "/dev/%s", flash);
  if (format_vfat(label_external_flash, path) != 0) {
    printf("Failed to format vfat '%s' partition!\n", label_external_flash);
    return -1;
  }
  if (run_formatted(scratch_buffer, scratch_buffer_size, nullptr,
                    "parted -s \"/dev/%s\" -a min unit s mkpart primary ext4 %lld 100%%", device,
                    flash_end + 1) != 0 ||
      run_formatted(scratch_buffer, scratch_buffer_size, nullptr, "partprobe \"/dev/%s\"",
                    device) != 0) {
    return -1;
  }
  snprintf(path, sizeof(path), "/dev/%s", storage);
  if (format_ext4(label_external_storage, path, ext4_features, 0, 0) != 0) {
    printf("Failed to format ext4 '%s' partition!\n", label_external_storage);
    return -1;
  }
  if (mount_by_service(flash, path_external_flash) != 0) return -1;
  return mount_by_service(storage, path_external_storage);
}

// "Continue? [y]" before the copy onto a prepared partition; true on "y".
bool replace_asked(const char *what) {
  printf(
      "\nWarning!\nALL existing Kestrova data on %s partition on external SD or USB device "
      "will be lost!",
      what);
  printf("\nContinue with [y] or press enter to skip %s partition!", what);
  printf("\nContinue? [y]: ");
  return read_answer() == 'y';
}

int empty_folder(const char *folder) {
  if (clear_folder(folder) != 0) {
    printf("Failed to remove content of folder '%s'\n", folder);
    return -1;
  }
  return 0;
}

// One folder of the running system onto the device; a Ctrl-C ends rsync,
// and the run.
int copy_onto_device(const char *source, const char *destination) {
  copy_guard guard;
  const int copied = copy_folder(source, destination, copy_scope_of(source));
  if (copied != 0) printf(msg_copy_failed, source, destination);
  if (check_copy_interrupted(guard) != 0 || copied != 0) return -1;
  return 0;
}

// A dry run's plan: the data, the device's room, and the steps of a
// prepared device's two questions or of an unprepared device's preparation.
int show_plan(operation_run &run, const char *device, uint64_t size, const uint64_t (&used)[2],
              bool prepared) {
  operation_plan plan;
  plan.title = "Copy the Kestrova installation on eMMC to an external SD or USB device";
  const uint64_t storage_room =
      size > flash_partition_size + unpartitioned_size ? size - flash_partition_size -
                                                             unpartitioned_size
                                                       : 0;
  plan_data(plan, path_flash, used[0], label_external_flash, flash_partition_size);
  plan_data(plan, path_storage, used[1], label_external_storage, storage_room);
  plan_point_of_no_return(plan);
  if (prepared) {
    plan_emptied(plan, path_external_flash);
    plan_emptied(plan, path_external_storage);
  } else {
    plan_step(plan, "release /dev/%s and write a new msdos partition table on it", device);
    plan_step(plan, "make partition 1 '%s' (vfat, %llu MiB) and partition 2 '%s' (ext4, the rest)",
              label_external_flash, static_cast<unsigned long long>(flash_partition_size >> 20),
              label_external_storage);
  }
  plan_step(plan, "copy '%s' to '%s'", path_flash, path_external_flash);
  plan_step(plan, "copy '%s' to '%s', kodi stopped meanwhile", path_storage,
            path_external_storage);
  return finish_dry_run(run, plan);
}

}  // namespace

int copy_to_external() {
  operation_run run;

  // 1. The device.
  char device[256] = {};
  if (find_external_device(device, sizeof(device)) != 0) return -1;

  // 2. Its size.
  uint64_t size = 0;
  uint64_t used[2] = {};
  if (check_device_size(device, &size, used) != 0) return -1;

  // 3. Prepared already, or to be prepared after the question; a dry run
  // shows its plan instead of either.
  const int prepared = is_prepared(device);
  if (prepared < 0) return -1;
  const bool ask = prepared == 1;
  if (dry_run) return show_plan(run, device, size, used, ask);
  if (!ask) {
    printf("\nWarning!\nALL existing data on external SD or USB device will be lost!");
    printf("\nPress enter to abort!");
    printf("\nContinue? [y]: ");
    if (read_answer() != 'y') {
      puts(msg_aborting);
      run.succeeded = true;
      return 0;
    }
    // ---- From here on the device changes ----
    if (prepare_device(device) != 0) return -1;
  }

  // 5. The flash folder.
  if (!ask || replace_asked("flash")) {
    if (ask && empty_folder(path_external_flash) != 0) return -1;
    puts(msg_start_copy);
    puts(msg_do_not_interrupt);
    if (copy_onto_device(path_flash, path_external_flash) != 0) return -1;
  }

  // 6. The storage folder, with kodi at rest; it is started again whatever
  // the copy's result.
  if (!ask || replace_asked("storage")) {
    if (ask && empty_folder(path_external_storage) != 0) return -1;
    if (stop_kodi(run) != 0) return -1;
    puts("");
    puts(msg_start_copy);
    puts(msg_do_not_interrupt);
    if (copy_onto_device(path_storage, path_external_storage) != 0) return -1;
    if (start_kodi(run) != 0) return -1;
  }

  // 7. Done.
  set_status_word(status_backup);
  puts("\nSuccess!\n");
  puts("\nYou can now reboot the device to use your boot media (SD or USB)!\n");
  run.succeeded = true;
  return 0;
}
