// A renewal of an existing installation, dual or single boot: the content of
// KV_FLASH and of the folder "kestrova_storage" on KV_STORAGE replaced by the
// data of the boot media or of a backup on it. The table, the device trees
// and Android are never touched.
//
// Each partition has its own half: measure and check its room, ask, then
// copy. The flash room is what the installed KV_FLASH really holds; the
// storage room is what the KV_STORAGE filesystem can give (its free space and
// the folder that is replaced), measured read-only before the question.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

// The flash keeps this much free beyond the data.
constexpr uint64_t flash_margin = 0x800000;

constexpr const char msg_room[] = "Usable space of 'partition %s': %lldMB\n";
constexpr const char msg_size_failed[] = "Failed to read size of partition '%s'!\n";
constexpr const char msg_backup_missing[] = "Folder of backup '%s' not found!\n";
constexpr const char msg_move_failed[] = "Failed to move data from '%s' to eMMC\n";

long long mib(uint64_t bytes) { return static_cast<long long>(bytes >> 20); }

// What the KV_STORAGE filesystem can take: its free space and the used space
// of the folder that the renewal replaces, read through a read-only mount.
// A dual-boot installation's images of the factory state stay in the folder
// (`scope` tells the copy so): they free no room.
int measure_storage_room(const mmc_partitions_fmt *table, uint64_t *room, copy_scope *scope) {
  if (loop_mount_partition_read_only(table, name_kv_storage, path_emmc_storage_mount) < 0) {
    printf(msg_mount_failed, name_kv_storage);
    return -1;
  }
  uint64_t replaced = 0;
  const uint64_t free_bytes = free_space(path_emmc_storage_mount);
  // All of it goes, the own folder of an old copy too, but for the images
  // of the factory state: they stay through the copy.
  const int measured = is_directory(path_emmc_storage_data)
                           ? used_space(path_emmc_storage_data, &replaced, copy_whole_tree)
                           : 0;
  *scope = copy_without_own_folder;
  for (const char *name : {apt_backup_image_name, dtb_backup_image_name}) {
    char path[256];
    image_path(path, sizeof(path), name);
    struct stat info;
    if (measured != 0 || lstat(path, &info) != 0 || !S_ISREG(info.st_mode)) continue;
    *scope = copy_beside_factory_images;
    replaced -= std::min(replaced, static_cast<uint64_t>(info.st_size));
  }
  if (unmount_path(path_emmc_storage_mount) != 0) {
    puts(msg_umount_failed);
    return -1;
  }
  if (measured != 0) {
    printf(msg_used_space_failed, path_emmc_storage_data);
    return -1;
  }
  *room = free_bytes + replaced;
  return 0;
}

// "Continue? [y]" for one partition; true on "y".
bool renew_asked(const char *what) {
  printf("\nThere is enough free space on %s partition on eMMC for installation!\n", what);
  printf("\nWarning!\nALL existing Kestrova data on %s partition on eMMC will be lost!", what);
  printf("\nContinue with [y] or press enter to skip %s partition!", what);
  printf("\nContinue? [y]: ");
  return read_answer() == 'y';
}

}  // namespace

int renew_installation(const mmc_partitions_fmt *table, int data_source) {
  operation_run run;
  const bool from_backup = data_source == data_source_backup;
  const char *flash_source = from_backup ? path_backup_flash : path_flash;
  const char *storage_source = from_backup ? path_backup_storage : path_storage;
  // A backup that a cut left incomplete is refused before either question
  // (a missing folder only skips its part, below).
  if (from_backup &&
      (check_backup_complete(flash_source) != 0 || check_backup_complete(storage_source) != 0))
    return -1;
  // Both partitions are written to: a worn eMMC is named before either question.
  warn_if_emmc_worn();
  // A dry run notes at each question what a "y" would do, and shows it all
  // at the end.
  operation_plan plan;
  plan.title = "Renew the Kestrova installation on eMMC";
  plan.writes_emmc = true;
  plan_point_of_no_return(plan);

  // ---- The flash ----
  // 1. Its room: the -f setting, but never more than the installed slot.
  uint64_t flash_slot = 0;
  if (partition_size(table, name_kv_flash, &flash_slot) != 0) {
    printf(msg_size_failed, name_kv_flash);
    return -1;
  }
  const uint64_t flash_room = flash_partition_size < flash_slot ? flash_partition_size : flash_slot;
  puts("");
  printf(msg_room, name_kv_flash, mib(flash_room));

  // 2. Its data; a backup without a flash folder skips the flash.
  bool renew_flash = true;
  uint64_t flash_used = 0;
  if (from_backup && !is_directory(flash_source)) {
    printf(msg_backup_missing, flash_source);
    renew_flash = false;
  } else if (print_used_space(flash_source, flash_source, &flash_used, copy_whole_tree) < 0) {
    printf(msg_used_space_failed, flash_source);
    return -1;
  }

  if (renew_flash) {
    // 3. The room, with its margin.
    if (flash_room < flash_used || flash_room - flash_used < flash_margin) {
      puts("\nThere is \e[1mNOT\e[0m enough free space on flash partition on eMMC for installation!");
      return -1;
    }
    // 4, 5. Asked, then renewed.
    if (dry_run) {
      plan_data(plan, flash_source, flash_used, name_kv_flash, flash_room);
      plan_emptied(plan, path_emmc_flash_mount);
      plan_step(plan, "replace the content of %s with '%s'", name_kv_flash, flash_source);
    } else if (renew_asked("flash")) {
      if (mount_installation_partition(run, table, name_kv_flash) != 0) return -1;
      copy_guard guard;
      const int copied = copy_to_emmc(flash_source, nullptr);
      if (check_copy_interrupted(guard) != 0) return -1;
      if (copied != 0) {
        printf(msg_move_failed, flash_source);
        return -1;
      }
    }
  }

  // ---- The storage ----
  // 6. Its room.
  uint64_t storage_slot = 0;
  if (partition_size(table, name_kv_storage, &storage_slot) != 0) {
    printf(msg_size_failed, name_kv_storage);
    return -1;
  }
  uint64_t storage_room = 0;
  copy_scope storage_scope = copy_without_own_folder;
  if (measure_storage_room(table, &storage_room, &storage_scope) != 0) return -1;
  puts("");
  printf(msg_room, name_kv_storage, mib(storage_room));

  // 7. Its data; a backup without a storage folder ends the renewal here,
  // without success, after the cleanup.
  uint64_t storage_used = 0;
  if (from_backup && !is_directory(storage_source)) {
    printf(msg_backup_missing, storage_source);
    if (dry_run) return finish_dry_run(run, plan);
    if (unmount_installation(run) != 0) return -1;
    run.succeeded = true;
    return 0;
  }
  if (print_used_space(storage_source, storage_source, &storage_used, storage_scope) < 0) {
    printf(msg_used_space_failed, storage_source);
    return -1;
  }

  // 8. The room.
  if (storage_room < storage_used) {
    puts("\nThere is \e[1mNOT\e[0m enough free space on storage partition on eMMC for installation!");
    return -1;
  }

  // 9, 10. Asked, then renewed, the images of the factory state kept.
  if (dry_run) {
    plan_data(plan, storage_source, storage_used, name_kv_storage, storage_room);
    plan_emptied(plan, path_emmc_storage_data);
    plan_step(plan, "replace the content of '%s' on %s with '%s'%s", path_emmc_storage_data,
              name_kv_storage, storage_source, from_backup ? "" : ", kodi stopped meanwhile");
    return finish_dry_run(run, plan);
  }
  if (renew_asked("storage")) {
    if (mount_installation_partition(run, table, name_kv_storage) != 0) return -1;
    if (!from_backup && stop_kodi(run) != 0) return -1;
    // The images of the factory state stay in the folder through the copy;
    // the copy in memory goes back over them afterwards all the same.
    dual_boot_images images;
    keep_dual_boot_images(images);
    copy_guard guard;
    const int copied = copy_to_emmc(nullptr, storage_source, true, storage_scope);
    store_dual_boot_images(images, "Can not restore backup of APT!", "Can not restore backup of dtb!");
    if (!from_backup && start_kodi(run) != 0) return -1;
    if (check_copy_interrupted(guard) != 0) return -1;
    if (copied != 0) {
      printf(msg_move_failed, storage_source);
      return -1;
    }
  }

  // 11. Unmount.
  if (unmount_installation(run) != 0) return -1;

  // 12. Done.
  set_status_word(status_renew);
  puts("\nSuccess!\n");
  printf("\nPlease remove current boot media (SD or USB) and");
  puts("\nreboot the device to boot from eMMC!\n");
  run.succeeded = true;
  return 0;
}
