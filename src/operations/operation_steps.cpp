// The pieces that several operations share; see operation_steps.h.
#include "operation_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "region_io.h"
#include "storage.h"

// ---- The status word ----

void set_status_word(const char *word) {
  status_word = word;
  // Whatever the screen says next may be the last thing the user waits for.
  check_console_output();
  if (!dry_run) write_status_marker(word);
}

// ---- The table write, tried in memory ----

namespace {

int refuse_table_write() {
  printf("The new partition table cannot be written to '%s': nothing was changed!\n",
         path_reserved_device);
  return -1;
}

}  // namespace

int check_table_write(int dtb_mode, const mmc_partitions_fmt *table, reserved_image *image) {
  const int result = image ? prepare_reserved_image(dtb_mode, table, image, path_reserved_device)
                           : check_partition_table_write(dtb_mode, table, path_reserved_device);
  return result == 0 ? 0 : refuse_table_write();
}

int check_reserved_image_write(const reserved_image *image) {
  return check_reserved_image(image) == 0 ? 0 : refuse_table_write();
}

int check_layout_change(const mmc_partitions_fmt *table) {
  if (check_dtb_copies_readable(path_reserved_device) != 0 ||
      check_partition_devices_free(table) != 0)
    return refuse_table_write();
  return 0;
}

// ---- The images of the factory state that a dual-boot installation keeps ----

void image_path(char *path, size_t size, const char *name) {
  snprintf(path, size, "%s/%s", path_emmc_storage_data, name);
}

void keep_dual_boot_images(dual_boot_images &images) {
  char path[256];
  image_path(path, sizeof(path), apt_backup_image_name);
  if (path_exists(path) && read_file_region(images.table, path, 0, apt_backup_image_size) != 0) {
    puts("Failed to create backup of partition table file!");
  }
  image_path(path, sizeof(path), dtb_backup_image_name);
  if (path_exists(path) && read_file_region(images.trees, path, 0, dtb_backup_image_size) != 0) {
    puts("Failed to create backup of bootloader dtb!");
  }
}

void store_dual_boot_images(dual_boot_images &images, const char *table_failed,
                            const char *trees_failed) {
  // A copy that failed may have left no storage folder: the images go back
  // all the same, into this run's own mount only.
  if ((images.table || images.trees) && check_temp_mount_target(path_emmc_storage_data)) {
    mkdir(path_emmc_storage_data, 0755);
  }
  char path[256];
  image_path(path, sizeof(path), apt_backup_image_name);
  if (images.table && write_file_region(images.table.get(), path, 0, apt_backup_image_size) != 0) {
    puts(table_failed);
  }
  images.table.reset();
  image_path(path, sizeof(path), dtb_backup_image_name);
  if (images.trees && write_file_region(images.trees.get(), path, 0, dtb_backup_image_size) != 0) {
    puts(trees_failed);
  }
  images.trees.reset();
}

// ---- Kodi and the cleanup of a failed run ----

namespace {
constexpr const char cmd_stop_kodi[] = "systemctl stop kodi";
constexpr const char cmd_start_kodi[] = "systemctl start kodi";
}  // namespace

// ---- The OP-TEE driver ----

namespace {
constexpr const char cmd_optee_load_state[] =
    "systemctl show -p LoadState opentee_linuxdriver.service";
}  // namespace

int find_optee_driver(bool &present) {
  char state[64] = {};
  if (run_command(cmd_optee_load_state, state, sizeof(state)) < 0) {
    printf(msg_cmd_failed, cmd_optee_load_state);
    return -1;
  }
  present = strcmp(state, "LoadState=not-found") != 0;
  return 0;
}

int stop_optee_driver(bool present) {
  if (!present) return 0;
  // The commands go through /bin/sh, where "&>" would put the stop in the
  // background and report success before the service has stopped, or when
  // it never does.
  if (run_command("systemctl stop opentee_linuxdriver.service > /dev/null 2>&1") < 0) {
    puts("Error stopping opentee_linuxdriver service");
    return -1;
  }
  return 0;
}

int stop_kodi(operation_run &run) {
  puts("Stopping Kodi before start of copy process!");
  if (run_command(cmd_stop_kodi) < 0) {
    printf(msg_cmd_failed, cmd_stop_kodi);
    return -1;
  }
  run.kodi_stopped = true;
  return 0;
}

int start_kodi(operation_run &run) {
  puts("Start Kodi again to have a user interface!");
  // Whatever happens now, a second start would not help.
  run.kodi_stopped = false;
  if (run_command(cmd_start_kodi) < 0) {
    printf(msg_cmd_failed, cmd_start_kodi);
    return -1;
  }
  return 0;
}

int mount_installation_partition(operation_run &run, const mmc_partitions_fmt *table,
                                 const char *name, bool for_reading) {
  const char *folder = strcmp(name, name_kv_flash) == 0 ? path_emmc_flash_mount : path_emmc_storage_mount;
  run.mounted = true;
  // A dry run only looks: its mounts leave the filesystems as they were.
  const int mounted = dry_run       ? loop_mount_partition_read_only(table, name, folder)
                      : for_reading ? loop_mount_partition_for_reading(table, name, folder)
                                    : loop_mount_partition(table, name, folder);
  if (mounted != 0) {
    printf(msg_mount_failed, name);
    return -1;
  }
  return 0;
}

int mount_installation(operation_run &run, const mmc_partitions_fmt *table) {
  if (mount_installation_partition(run, table, name_kv_flash) != 0) return -1;
  return mount_installation_partition(run, table, name_kv_storage);
}

// `sync` sends no cache flush to a raw or loop device, and vfat has none of
// its own: what went to the eMMC through KV_FLASH's loop device, the raw
// moves and the table write become durable only once the device itself is
// flushed (its dirty pages and the eMMC's write cache).
int flush_emmc() {
  owned_fd emmc;
  if (open_region_file(emmc, path_emmc_device, O_RDONLY) != 0 ||
      sync_region_file(emmc.fd) != 0 || close_region_file(emmc) != 0) {
    printf("Failed to flush '%s': what was written to it may not be on the eMMC yet!\n",
           path_emmc_device);
    return -1;
  }
  return 0;
}

int unmount_installation(operation_run &run) {
  if (unmount_temp_folders() != 0) {
    puts(msg_umount_failed);
    return -1;
  }
  run.mounted = false;
  // A dry run wrote nothing.
  return dry_run ? 0 : flush_emmc();
}

operation_run::~operation_run() {
  if (succeeded) return;
  if (mounted && unmount_temp_folders() != 0) {
    puts("The temporary Kestrova mounts could not all be removed!");
  }
  if (kodi_stopped) start_kodi(*this);
  if (!journal_kept || !path_exists(path_relocation_journal)) return;
  if (journal_table_on_emmc()) {
    printf("The change is recorded in '%s': start kvemmc again from the boot media to finish "
           "it, or to see what is left.\n",
           path_relocation_journal);
  } else {
    printf("The journal '%s' is left on the boot media, but the partition table on the eMMC is "
           "not the one it records: start kvemmc again from the boot media to see what is "
           "left.\n",
           path_relocation_journal);
  }
}
