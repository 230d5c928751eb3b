// Removal of a dual-boot installation: Android gets its table, its device
// trees and the space of KV_FLASH back; Kestrova's data go.
//
// First half, before anything is written: the question, the Android-only
// table and the reserved area composed for it, the mounts, the check of the
// two images saved at installation (those that are sound take their place in
// it, the saved trees only beside the saved table) and of the area so
// composed, the recovery snapshot. Second half: the OP-TEE driver stopped,
// the reserved area written one region at a time, the deletion of Kestrova's
// data, the unmount and the growth of Android's data filesystem, which no
// signal cuts short.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

constexpr const char msg_apt_read_failed[] = "Failed to read backup of bootloader APT!";
constexpr const char msg_dtb_read_failed[] = "Failed to read backup of bootloader dtb!";
constexpr const char msg_not_restored[] = "Backup '%s' is not restored: %s!\n";

// Reads a saved image whole: it must hold exactly `size` bytes. `read_failed`
// is the line for an image that cannot be read. Null when it is missing or
// refused (with the reason printed).
int read_image(owned<uint8_t> &image, const char *path, uint64_t size, const char *read_failed) {
  image.reset();
  if (!path_exists(path)) return 0;
  if (read_file_region(image, path, 0, size) != 0) {
    puts(read_failed);
    printf(msg_not_restored, path, "it cannot be read whole");
    return 0;
  }
  struct stat info;
  if (stat(path, &info) != 0 || static_cast<uint64_t>(info.st_size) != size) {
    printf(msg_not_restored, path, "it is longer than the saved area");
    image.reset();
  }
  return 0;
}

bool same_entry(const partition_entry &a, const partition_entry &b) {
  return strncmp(a.name, b.name, sizeof(a.name)) == 0 && a.size == b.size &&
         a.offset == b.offset && a.mask == b.mask;
}

// The saved table goes back only when it is a sound table of the very
// partitions the Android-only table holds: anything else would point the
// bootloader at partitions that are not there.
void check_saved_table(owned<uint8_t> &image, const char *path,
                       const mmc_partitions_fmt *android_only) {
  if (!image) return;
  mmc_partitions_fmt saved;
  memcpy(&saved, image.get(), sizeof(saved));
  if (verify_partition_table(&saved) != 0) {
    printf(msg_not_restored, path, "it is no valid partition table");
    image.reset();
    return;
  }
  bool same = saved.part_num == android_only->part_num;
  for (uint32_t i = 0; same && i < saved.part_num; i++) {
    same = same_entry(saved.entries[i], android_only->entries[i]);
  }
  if (!same) {
    printf(msg_not_restored, path, "its partitions differ from those of the Android-only table");
    image.reset();
  }
}

// Both DTB copies of the saved area must be blocks the bootloader can take.
void check_saved_trees(owned<uint8_t> &image, const char *path) {
  if (!image) return;
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    if (check_dtb_block(image.get() + copy * dtb_block_size) != 0) {
      printf(msg_not_restored, path,
             copy == 0 ? "its first DTB copy is damaged" : "its second DTB copy is damaged");
      image.reset();
      return;
    }
  }
}

// What a real run would do from its snapshot on (see finish_dry_run).
int show_plan(operation_run &run, const mmc_partitions_fmt *table,
              const mmc_partitions_fmt *android_only, int has_userdata, bool optee_driver,
              bool apt_restored, bool dtb_restored) {
  operation_plan plan;
  plan.title = "Remove the Kestrova dual boot installation from eMMC";
  plan_table_write(plan, table, android_only, has_userdata, false);
  plan_emptied(plan, path_emmc_flash_mount);
  plan_emptied(plan, path_emmc_storage_data);
  if (plan_snapshot(plan) != 0) return -1;
  plan_point_of_no_return(plan);
  if (optee_driver) plan_step(plan, "stop the OP-TEE driver service");
  if (dtb_restored)
    plan_step(plan, "write DTB copy 0, then copy 1, from the saved '%s'", dtb_backup_image_name);
  else
    plan_step(plan, "write DTB copy 0, then copy 1, reworked for the Android-only table");
  if (apt_restored)
    plan_step(plan, "then write the saved table '%s'", apt_backup_image_name);
  else
    plan_step(plan, "then write the Android-only partition table");
  plan_step(plan, "delete the Kestrova data on %s and %s", name_kv_flash, name_kv_storage);
  plan_step(plan, "grow Android's data filesystem over the space of %s", name_kv_flash);
  return finish_dry_run(run, plan);
}

}  // namespace

int end_removal(operation_run &run, const mmc_partitions_fmt *android_only) {
  // 7. Kestrova's data in Android's data filesystem.
  if (remove_folder(path_emmc_storage_data) != 0) {
    printf(msg_remove_folder_failed, path_emmc_storage_data);
    return -1;
  }

  // 8. Unmount.
  if (unmount_installation(run) != 0) return -1;

  // 9, 10. Android's data filesystem over the space KV_FLASH had.
  int data = 0;
  if (find_data_partition(android_only, &data) != 0) {
    puts("Could not find data partition!");
    return -1;
  }
  // A Ctrl-C or a lost console must not end resize2fs half-way.
  critical_window window;
  if (open_critical_window(window) != 0) return -1;
  if (resize_data_filesystem(android_only, android_only->entries[data].name) != 0) {
    puts("Failed to resize data partition!");
    return -1;
  }
  if (close_critical_window(window) != 0) return -1;
  if (end_relocation_journal() != 0) return -1;

  // 11. Done.
  set_status_word(status_remove);
  puts("\nSuccess!\n");
  puts("\nKestrova dual boot installation got removed from eMMC!\n");
  run.succeeded = true;
  return 0;
}

int remove_dual_boot(int has_userdata, const mmc_partitions_fmt *table) {
  operation_run run;

  // 1. Consent; a dry run shows its plan instead, once every check passed.
  if (check_layout_change(table) != 0) return -1;
  bool optee_driver = false;
  if (find_optee_driver(optee_driver) != 0) return -1;
  warn_if_emmc_worn();
  if (!dry_run) {
    printf("\nWarning!\nALL existing Kestrova data on eMMC will be lost!");
    printf("\nPress enter to abort!");
    printf("\nContinue? [y]: ");
    fflush(stdout);
    if (read_answer() != 'y') {
      puts(msg_aborting);
      run.succeeded = true;
      return 0;
    }
  }

  // 3. The Android-only table, before anything is mounted: a table it cannot
  // be built from stops the run here.
  mmc_partitions_fmt android_only;
  if (build_android_only_table(table, &android_only) != 0) {
    puts("Failed to create new partition table!");
    return -1;
  }
  // The reserved area as the removal leaves it, composed in memory: the
  // copies reworked for that table, or the saved ones, and that table, or
  // the saved one. Each region is then written once.
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!image) {
    puts("malloc failed for dtb!");
    return -1;
  }
  if (check_table_write(has_userdata, &android_only, image.get()) != 0) return -1;

  // 2. Mount the installation's two partitions.
  if (mount_installation(run, table) != 0) return -1;

  // The images saved at installation go back only when they are sound.
  char apt_path[256], dtb_path[256];
  image_path(apt_path, sizeof(apt_path), apt_backup_image_name);
  image_path(dtb_path, sizeof(dtb_path), dtb_backup_image_name);
  owned<uint8_t> apt_image, dtb_image;
  read_image(apt_image, apt_path, apt_backup_image_size, msg_apt_read_failed);
  check_saved_table(apt_image, apt_path, &android_only);
  read_image(dtb_image, dtb_path, dtb_backup_image_size, msg_dtb_read_failed);
  check_saved_trees(dtb_image, dtb_path);
  // Without them, the snapshot saved before the installation holds the same.
  char snapshot_before[320] = {};
  if (!apt_image || !dtb_image) {
    const char *what = apt_image ? "device trees are" : dtb_image ? "table is" : "table and device trees are";
    find_android_snapshot(&android_only, snapshot_before, sizeof(snapshot_before));
    if (snapshot_before[0] &&
        ((!apt_image && read_file_region(apt_image, snapshot_before, 0, apt_backup_image_size) != 0) ||
         (!dtb_image && read_file_region(dtb_image, snapshot_before, dtb_area_offset,
                                         dtb_backup_image_size) != 0)))
      return -1;
    if (snapshot_before[0])
      printf("Android's %s restored from the snapshot '%s' of this box instead.\n", what,
             snapshot_before);
  }
  // The saved trees belong beside the saved table: without it the trees
  // reworked for the Android-only table stand.
  if (!apt_image && dtb_image) {
    printf(msg_not_restored, dtb_path,
           "the saved partition table is not restored beside it, so the device trees reworked "
           "for the Android-only table are written");
    dtb_image.reset();
  }
  const bool apt_restored = apt_image != nullptr, dtb_restored = dtb_image != nullptr;
  if (apt_image) memcpy(&image->table, apt_image.get(), sizeof(image->table));
  if (dtb_image) memcpy(image->blocks, dtb_image.get(), sizeof(image->blocks));
  apt_image.reset();
  dtb_image.reset();
  // The pair that is written is the one checked.
  if (apt_restored && check_reserved_image_write(image.get()) != 0) return -1;
  if (dry_run) {
    return show_plan(run, table, &android_only, has_userdata, optee_driver, apt_restored,
                     dtb_restored);
  }

  // The reserved area as it is now, on the boot media.
  char snapshot[320] = {};
  if (save_reserved_snapshot(path_reserved_device, path_snapshot_folder, snapshot,
                             sizeof(snapshot)) != 0)
    return -1;

  // ---- The point of no return ----
  // The OP-TEE driver keeps the reserved partition open.
  if (stop_optee_driver(optee_driver) != 0) return -1;
  // From its table on, Android's table stands and no start would find the
  // installation to remove again: a journal lets the next start finish it.
  relocation_journal journal;
  const layout_change change = {journal_operation_remove, data_source_boot_media, snapshot};
  run.journal_kept = true;
  if (start_change_journal(has_userdata, table, &image->table, change, image.get(), journal) != 0)
    return -1;
  critical_window window;
  if (flush_partition_devices(table, &android_only) != 0 || open_critical_window(window) != 0)
    return -1;

  // 4, 5, 6. Copy 0, copy 1, the table, one after the other.
  if (write_reserved_image(image.get(), path_reserved_device) != 0) {
    puts("Failed to write the new partition table to eMMC!");
    return -1;
  }
  image.reset();
  if (close_critical_window(window) != 0) return -1;

  // 7. Kestrova's data.
  if (clear_folder(path_emmc_flash_mount) != 0) {
    printf("Failed to remove content of folder '%s'\n", path_emmc_flash_mount);
    return -1;
  }
  return end_removal(run, &android_only);
}
