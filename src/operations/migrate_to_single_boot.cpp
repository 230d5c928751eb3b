// Migration of a dual-boot installation to single boot: Android goes, the
// partitions that stay move to their single-boot places, KV_FLASH and
// KV_STORAGE are made afresh and filled with the data of the boot media, of
// the installation itself (saved to the boot media first) or of a backup on
// the boot media.
//
// First half, before anything is written to the eMMC: the plan, the check of
// its moves and of its write into the device trees, the measurements and the
// room in the new partitions, the consent; with the installation's own data,
// their backup to the boot media, after which nothing of the eMMC stays
// mounted; the recovery snapshot. Second half, in this order and protected
// from signals until the formatting is done: the table, the moves, the
// formatting; then the mounts, the copy, the unmount, and the backup that
// served as the source goes.
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

// Where the data are measured and where they are copied from.
struct migration_source {
  const char *flash_measured, *storage_measured;
  const char *flash_label, *storage_label;
  const char *flash_copied, *storage_copied;
};

migration_source source_of(int data_source) {
  if (data_source == data_source_boot_media) {
    return {path_flash, path_storage, path_flash, path_storage, path_flash, path_storage};
  }
  if (data_source == data_source_emmc) {
    return {path_emmc_flash_mount,      path_emmc_storage_data, "flash partiton on eMMC",
            "storage partiton on eMMC", path_backup_flash,      path_backup_storage};
  }
  return {path_backup_flash,   path_backup_storage, path_backup_flash,
          path_backup_storage, path_backup_flash,   path_backup_storage};
}

// After the table was written with the installation's data saved on the
// boot media, a failure says where the data are now.
struct saved_data_notice {
  bool armed = false;
  ~saved_data_notice() {
    if (!armed) return;
    printf(
        "The data of the eMMC installation are kept on the boot media in "
        "'%s': use them with "
        "'existing backup' in a new run!\n",
        path_backup_folder);
  }
};

// What a real run would do from its question on (see finish_dry_run).
int show_plan(operation_run &run, const mmc_partitions_fmt *table,
              const mmc_partitions_fmt *new_table, int has_userdata, bool from_emmc,
              bool optee_driver, const plan_data_row (&data)[3]) {
  operation_plan plan;
  plan.title = "Migrate the Kestrova dual boot installation to single boot";
  plan_table_write(plan, table, new_table, has_userdata, true);
  for (const plan_data_row &row : data) {
    if (row.source) plan_data(plan, row.source, row.used, row.target, row.room);
  }
  if (from_emmc) {
    for (const char *backup : {path_backup_flash, path_backup_storage}) {
      if (is_directory(backup)) plan_emptied(plan, backup);
    }
    plan_step(plan, "back up the data of the eMMC installation to '%s'", path_backup_folder);
  }
  if (plan_snapshot(plan) != 0) return -1;
  plan_point_of_no_return(plan);
  if (optee_driver) plan_step(plan, "stop the OP-TEE driver service");
  plan_step(plan, "write the new partition table and both DTB copies");
  plan_step(plan, "move the partitions that stay, in the order listed");
  plan_step(plan, "format %s (ext4)", name_kv_storage);
  plan_step(plan, "format %s (vfat)", name_kv_flash);
  plan_step(plan, "copy the data to %s and %s", name_kv_flash, name_kv_storage);
  if (from_emmc) plan_step(plan, "remove the backup '%s' again", path_backup_folder);
  return finish_dry_run(run, plan);
}

}  // namespace

int migrate_to_single_boot(int has_userdata, const mmc_partitions_fmt *table, int data_source) {
  operation_run run;
  saved_data_notice notice;
  const bool from_emmc = data_source == data_source_emmc;
  const migration_source source = source_of(data_source);

  // 1. Plan, and check that its moves and its device trees can be written.
  mmc_partitions_fmt new_table;
  memset(&new_table, 0, sizeof(new_table));
  uint64_t flash_room = 0, storage_room = 0;
  if (plan_partition_table(install_mode_single_boot, has_userdata, table, &new_table, nullptr,
                           &flash_room, &storage_room) < 0 ||
      check_partition_moves(static_cast<unsigned>(has_userdata), table, &new_table) != 0) {
    puts("Failed to create new partition table!");
    return -1;
  }
  if (check_table_write(has_userdata, &new_table) != 0 || check_layout_change(table) != 0)
    return -1;

  // 2, 3.1. The installation's own data are measured where it is mounted;
  // a backup that a cut left incomplete is no source.
  if (from_emmc && mount_installation(run, table) != 0) return -1;
  if (data_source == data_source_backup &&
      (check_backup_complete(path_backup_flash) != 0 ||
       check_backup_complete(path_backup_storage) != 0))
    return -1;

  // 2.1, 3.2. Measure.
  puts("");
  uint64_t flash_used = 0, storage_used = 0;
  tree_census flash_census, storage_census;
  if (print_used_space(source.flash_label, source.flash_measured, &flash_used, copy_whole_tree,
                       &flash_census) < 0) {
    printf(msg_used_space_failed, source.flash_measured);
    return -1;
  }
  if (print_used_space(source.storage_label, source.storage_measured, &storage_used,
                       copy_without_own_folder, &storage_census) < 0) {
    printf(msg_used_space_failed, source.storage_measured);
    return -1;
  }

  // 3.3, 3.4. Room for their backup on the boot media.
  uint64_t boot_media_free = 0;
  if (from_emmc) {
    boot_media_free = print_free_space("SD or USB device", path_storage);
    if (!(flash_used + storage_used < boot_media_free)) {
      puts("Not enough free space on SD or USB device to make a backup of the data on eMMC!");
      return -1;
    }
  }

  // 2.2, 2.3. Room in the new partitions, whatever the source: what the
  // filesystems made afresh leave of them, for the data in their blocks and
  // folders.
  if (check_new_filesystem_room(path_flash, source.flash_measured, name_kv_flash, flash_room,
                                flash_used, flash_census, &flash_room) != 0 ||
      check_new_filesystem_room(path_storage, source.storage_measured, name_kv_storage,
                                storage_room, storage_used, storage_census, &storage_room) != 0) {
    return -1;
  }

  // 2.4, 3.5. Consent; a dry run shows its plan instead.
  bool optee_driver = false;
  if (find_optee_driver(optee_driver) != 0) return -1;
  warn_if_emmc_worn();
  if (dry_run) {
    return show_plan(run, table, &new_table, has_userdata, from_emmc, optee_driver,
                     {{source.flash_measured, flash_used, name_kv_flash, flash_room},
                      {source.storage_measured, storage_used, name_kv_storage, storage_room},
                      {from_emmc ? "the backup of both" : nullptr, flash_used + storage_used,
                       "SD or USB device", boot_media_free}});
  }
  if (from_emmc) {
    printf(
        "\nThere is enough free space on SD or USB device to make a backup of the data from "
        "eMMC.\nContinue? [y]: ");
  } else {
    printf("\nThere is enough free space on eMMC for installation!\nContinue? [y]: ");
  }
  if (read_answer() != 'y') {
    puts(msg_aborting);
    if (from_emmc && unmount_installation(run) != 0) return -1;
    run.succeeded = true;
    return 0;
  }

  // 3.7-3.9. The installation's data to the boot media. The images of the
  // factory state stay on the eMMC until KV_STORAGE is formatted, so that
  // a failed backup leaves a dual boot that can still be removed cleanly.
  if (from_emmc) {
    print_backup_start();
    if (replace_backup(path_emmc_flash_mount, path_backup_flash, copy_whole_tree) != 0 ||
        replace_backup(path_emmc_storage_data, path_backup_storage, copy_without_own_folder) != 0) {
      return -1;
    }
    // Nothing of the eMMC stays mounted across the layout change.
    if (unmount_installation(run) != 0) return -1;
  }

  // The reserved area as it is now, on the boot media.
  char snapshot[320] = {};
  if (save_reserved_snapshot(path_reserved_device, path_snapshot_folder, snapshot,
                             sizeof(snapshot)) != 0)
    return -1;

  // ---- The point of no return ----
  // The OP-TEE driver keeps the reserved partition open.
  if (stop_optee_driver(optee_driver) != 0) return -1;
  notice.armed = from_emmc;
  critical_window window;
  if (flush_partition_devices(table, &new_table) != 0 || open_critical_window(window) != 0)
    return -1;

  // 4-6. The new table and both DTB copies, the kept partitions at their
  // new places, KV_STORAGE and KV_FLASH made afresh.
  // The relocation keeps a journal on the boot media, so that a run that is
  // cut off can be finished by the next one.
  relocation_journal journal;
  const layout_change change = {journal_operation_migrate, data_source, snapshot};
  run.journal_kept = true;
  if (write_new_layout(has_userdata, table, &new_table, &change, journal) != 0) return -1;
  if (close_critical_window(window) != 0) return -1;

  // 7. Mount with the new table.
  if (mount_installation(run, &new_table) != 0) return -1;

  // 8, 9. Copy; the running system's media centre rests meanwhile.
  if (copy_into_installation(run, source.flash_copied, source.storage_copied,
                             data_source == data_source_boot_media, &journal) != 0) {
    return -1;
  }

  // 10. Unmount; the change is complete, its journal goes (before the
  // backup below, which a journal left behind would copy from again).
  if (unmount_installation(run) != 0) return -1;
  if (end_relocation_journal() != 0) return -1;

  // 11. The backup that held the installation's data is back on the eMMC.
  notice.armed = false;
  if (from_emmc && remove_saved_installation_data() != 0) return -1;

  // 12. Done.
  report_installed(run, journal_operation_migrate);
  return 0;
}
