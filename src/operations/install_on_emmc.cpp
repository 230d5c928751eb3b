// A new installation on an eMMC without one: dual boot beside Android, or
// single boot in Android's place, with the data of the boot media or of a
// backup on it.
//
// First half, before anything is written: where the data come from, the
// filesystem of Android's data partition, the plan, the check of its
// moves and of its write into the device trees, the measurements and the room, the consent, the recovery snapshot.
// Second half, in this order: the OP-TEE service, the saved areas (dual
// boot), the layout change (shrink or moves, table, formatting) under
// protection from signals, the mounts, the copy, the saved images, the
// unmount.
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

// Dual boot shrinks Android's data filesystem with e2fsck and resize2fs:
// anything but ext4 (f2fs, an encrypted volume) would be destroyed.
int check_data_filesystem(const mmc_partitions_fmt *table) {
  int index = 0;
  if (find_data_partition(table, &index) != 0) {
    puts("Could not find data partition!");
    return -1;
  }
  const char *name = table->entries[index].name;
  char type[64];
  if (partition_filesystem(table, name, type, sizeof(type)) != 0) return -1;
  if (strcmp(type, "ext4") == 0) return 0;
  if (type[0]) {
    printf("Android's data partition '%s' holds a '%s' filesystem, not ext4: it cannot give room "
           "to Kestrova!\n", name, type);
  } else {
    printf("Android's data partition '%s' holds no filesystem that blkid knows, not ext4: it "
           "cannot give room to Kestrova!\n", name);
  }
  return -1;
}

// The two areas of the reserved partition that a dual-boot installation
// keeps, as they are now; the trees from `trees` (the reserved partition,
// or the snapshot that holds Android's own).
int save_areas(dual_boot_images &areas, const char *trees) {
  if (read_file_region(areas.table, path_reserved_device, 0, apt_backup_image_size) != 0) {
    puts("Failed to create backup of original partition table!");
    return -1;
  }
  if (read_file_region(areas.trees, trees, dtb_area_offset, dtb_backup_image_size) != 0) {
    puts("Failed to create backup of bootloader dtb!");
    return -1;
  }
  return 0;
}

// What a real run would do from its question on (see finish_dry_run).
int show_plan(operation_run &run, const mmc_partitions_fmt *table,
              const mmc_partitions_fmt *new_table, int has_userdata, bool dual,
              const plan_data_row (&data)[2], bool running_system, bool optee_driver) {
  operation_plan plan;
  plan.title = dual ? "Install Kestrova on eMMC beside Android (dual boot)"
                    : "Install Kestrova on eMMC in Android's place (single boot)";
  plan_table_write(plan, table, new_table, has_userdata, !dual);
  for (const plan_data_row &row : data) plan_data(plan, row.source, row.used, row.target, row.room);
  if (plan_snapshot(plan) != 0) return -1;
  plan_point_of_no_return(plan);
  if (optee_driver) plan_step(plan, "stop the OP-TEE driver service");
  if (dual) {
    plan_step(plan, "keep the table and both DTB copies as they are now, in memory");
    plan_step(plan, "shrink Android's data filesystem to the size of %s", name_kv_storage);
  }
  plan_step(plan, "write the new partition table and both DTB copies");
  if (!dual) {
    plan_step(plan, "move the partitions that stay, in the order listed");
    plan_step(plan, "format %s (ext4)", name_kv_storage);
  }
  plan_step(plan, "format %s (vfat)", name_kv_flash);
  plan_step(plan, "copy the data to %s and %s%s", name_kv_flash, name_kv_storage,
            running_system ? ", kodi stopped meanwhile" : "");
  if (dual) {
    plan_step(plan, "store the kept table and DTB copies as '%s' and '%s' on %s",
              apt_backup_image_name, dtb_backup_image_name, name_kv_storage);
  }
  return finish_dry_run(run, plan);
}

}  // namespace

int install_on_emmc(const mmc_partitions_fmt *table, int install_mode, int has_userdata,
                    int data_source) {
  operation_run run;
  const bool dual = install_mode == install_mode_dual_boot;
  const bool from_backup = data_source == data_source_backup;
  const char *flash_source = from_backup ? path_backup_flash : path_flash;
  const char *storage_source = from_backup ? path_backup_storage : path_storage;

  // Only a system that runs from the boot media has a Kestrova to copy there.
  if (!from_backup && running_from_boot_media != 1) {
    puts("The system does not run from the boot media: '/flash' and '/storage' are no Kestrova "
         "system to copy!");
    return -1;
  }
  if (check_layout_change(table) != 0 || (dual && check_data_filesystem(table) != 0)) return -1;

  // 1. Plan, and check that the moves of the plan can be carried out.
  mmc_partitions_fmt new_table;
  avb_partition_list avb_list;
  memset(&new_table, 0, sizeof(new_table));
  memset(&avb_list, 0, sizeof(avb_list));
  uint64_t flash_room = 0, storage_room = 0;
  if (plan_partition_table(install_mode, has_userdata, table, &new_table, &avb_list, &flash_room,
                           &storage_room) < 0) {
    puts("Failed to create new partition table!");
    return -1;
  }
  if (!dual && check_partition_moves(static_cast<unsigned>(has_userdata), table, &new_table) != 0) {
    puts("Failed to create new partition table!");
    return -1;
  }
  if (check_table_write(has_userdata, &new_table) != 0) return -1;
  // What a removal writes back must be Android's own trees, also after a
  // cut between an earlier installation's trees and its table.
  char factory_trees[320] = {};
  if (dual && find_factory_trees_snapshot(has_userdata, &new_table, factory_trees,
                                          sizeof(factory_trees)) != 0)
    return -1;
  if (factory_trees[0]) {
    printf("The device trees on eMMC are those of an installation that was cut off before its "
           "partition table: Android's own are kept from the snapshot '%s'.\n",
           factory_trees);
  }

  // 2. Measure the data to copy.
  if (from_backup) {
    for (const char *folder : {path_backup_flash, path_backup_storage}) {
      if (!is_directory(folder)) {
        printf("Folder of backup '%s' not found!\n", folder);
        return -1;
      }
      if (check_backup_complete(folder) != 0) return -1;
    }
  }
  uint64_t flash_used = 0, storage_used = 0;
  tree_census flash_census, storage_census;
  if (print_used_space(flash_source, flash_source, &flash_used, copy_whole_tree, &flash_census) < 0) {
    printf(msg_used_space_failed, flash_source);
    return -1;
  }
  if (print_used_space(storage_source, storage_source, &storage_used,
                       dual ? copy_beside_factory_images : copy_without_own_folder,
                       dual ? nullptr : &storage_census) < 0) {
    printf(msg_used_space_failed, storage_source);
    return -1;
  }

  // 3. Room, flash first. KV_FLASH is made afresh in both modes, and single
  // boot makes KV_STORAGE afresh too: their room is what the filesystems
  // leave of the partitions, and the data take their clusters, blocks and
  // folders there. In dual boot KV_STORAGE is Android's data filesystem,
  // whose free room the planner has read.
  if (check_new_filesystem_room(flash_source, flash_source, name_kv_flash, flash_room, flash_used,
                                flash_census, &flash_room) != 0 ||
      (dual ? check_room(storage_source, name_kv_storage, storage_room, storage_used)
            : check_new_filesystem_room(storage_source, storage_source, name_kv_storage,
                                        storage_room, storage_used, storage_census,
                                        &storage_room)) != 0) {
    return -1;
  }

  // 4. Consent; a dry run shows its plan instead.
  bool optee_driver = false;
  if (find_optee_driver(optee_driver) != 0) return -1;
  warn_if_emmc_worn();
  puts("\nThere is enough free space on eMMC for installation!");
  if (dry_run) {
    return show_plan(run, table, &new_table, has_userdata, dual,
                     {{flash_source, flash_used, name_kv_flash, flash_room},
                      {storage_source, storage_used, name_kv_storage, storage_room}},
                     !from_backup, optee_driver);
  }
  printf("\nInstall Kestrova on eMMC.\nContinue? [y]: ");
  if (read_answer() != 'y') {
    puts(msg_aborting);
    run.succeeded = true;
    return 0;
  }

  // The reserved area as it is now, on the boot media.
  char snapshot[320] = {};
  if (save_reserved_snapshot(path_reserved_device, path_snapshot_folder, snapshot,
                             sizeof(snapshot)) != 0)
    return -1;

  // ---- The point of no return ----
  // 5. The OP-TEE driver keeps the reserved partition open.
  if (stop_optee_driver(optee_driver) != 0) return -1;

  // 6. Dual boot keeps the bootloader's areas as they are now.
  dual_boot_images areas;
  if (dual && save_areas(areas, factory_trees[0] ? factory_trees : path_reserved_device) != 0)
    return -1;

  critical_window window;
  if (flush_partition_devices(table, &new_table) != 0 || open_critical_window(window) != 0)
    return -1;

  // 8 (dual boot). Android's data filesystem shrinks inside its unchanged
  // partition first: should that fail, the box still boots Android.
  if (dual && resize_data_filesystem(&new_table, name_kv_storage) < 0) {
    printf("Failed to resize partition '%s'!\n", name_kv_storage);
    return -1;
  }

  // 7-9. The new table and both DTB copies; in single boot the kept
  // partitions move and KV_STORAGE is made afresh; KV_FLASH.
  // Single boot keeps a journal of the relocation on the boot media, so that
  // a run that is cut off can be finished by the next one.
  relocation_journal journal;
  const layout_change change = {journal_operation_install, data_source, snapshot};
  run.journal_kept = !dual;
  if (write_new_layout(has_userdata, dual ? nullptr : table, &new_table, &change, journal) != 0)
    return -1;
  if (close_critical_window(window) != 0) return -1;

  // 10. Mount.
  if (mount_installation(run, &new_table) != 0) return -1;

  // 13, first: dual boot, what a removal writes back. From the table on it
  // is nowhere else, so it goes to the eMMC before the minutes of the copy,
  // which leaves it alone.
  if (dual) store_dual_boot_images(areas, "Can not create backup of APT!", "Can not create backup of dtb!");

  // 11, 12. Copy; the running system's media centre rests meanwhile.
  if (copy_into_installation(run, flash_source, storage_source, !from_backup,
                             dual ? nullptr : &journal) != 0)
    return -1;

  // 14. Unmount; the change is complete, its journal goes.
  if (unmount_installation(run) != 0) return -1;
  if (!dual && end_relocation_journal() != 0) return -1;

  // 15. Done.
  report_installed(run, journal_operation_install);
  return 0;
}
