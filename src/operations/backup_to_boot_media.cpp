// A backup of the installation on the eMMC to the boot media: the content of
// KV_FLASH and the folder "kestrova_storage" of KV_STORAGE, each into its
// backup folder, each with its own room check and question. Nothing on the
// eMMC changes.
//
// A new backup is made beside the old one (FOLDER.new) and takes its place
// only when it is complete: a failed or interrupted copy leaves the previous
// backup as it was.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

constexpr const char msg_remove_failed[] = "Failed to remove folder '%s'\n";

struct backed_up_partition {
  const char *name;         // the partition
  const char *data;         // the folder that is backed up
  const char *label;        // its label in the measurement
  const char *what;         // "flash" or "storage"
  const char *backup;       // the backup folder on the boot media
};

const backed_up_partition partitions[] = {
    {name_kv_flash, path_emmc_flash_mount, "flash partiton on eMMC", "flash", path_backup_flash},
    {name_kv_storage, path_emmc_storage_data, "storage partiton on eMMC", "storage",
     path_backup_storage},
};

// The images of the factory state do not belong into a backup.
void remove_saved_images(const char *backup) {
  const struct {
    const char *name, *failed;
  } images[] = {{apt_backup_image_name, "Can not remove backup of APT: %s!\n"},
                {dtb_backup_image_name, "Can not remove backup of dtb: %s!\n"}};
  for (const auto &image : images) {
    char path[256];
    snprintf(path, sizeof(path), "%s/%s", backup, image.name);
    if (path_exists(path) && remove(path) != 0) printf(image.failed, path);
  }
}

// Mirrors the partition's data into BACKUP.new, then puts it in the place of
// the old backup.
int make_backup(const backed_up_partition &p) {
  char fresh[256];
  snprintf(fresh, sizeof(fresh), "%s.new", p.backup);
  // What an interrupted run left goes first.
  if (remove_folder(fresh) != 0) {
    printf(msg_remove_failed, fresh);
    return -1;
  }
  puts("");
  puts("Starting to make a backup of existing data of the eMMC!");
  puts("Please do \e[1mNOT\e[0m interrupt this progress till it's finished!\n");
  {
    copy_guard guard;
    const int copied = mirror_folder(p.data, fresh);
    const int interrupted = check_copy_interrupted(guard);
    if (copied != 0 || interrupted != 0) {
      if (copied != 0) {
        printf("Failed to create a backup of folder '%s' on eMMC to SD or USB device!\n", p.data);
      }
      remove_folder(fresh);
      return -1;
    }
  }
  if (remove_folder(p.backup) != 0) {
    printf(msg_remove_failed, p.backup);
    return -1;
  }
  if (rename(fresh, p.backup) != 0) {
    printf("Failed to rename '%s' to '%s': %s!\n", fresh, p.backup, strerror(errno));
    return -1;
  }
  if (p.data == path_emmc_storage_data) remove_saved_images(p.backup);
  printf("\nBackup of partition '%s' got saved at '%s'\n\n", p.name, p.backup);
  return 0;
}

}  // namespace

int backup_to_boot_media(const mmc_partitions_fmt *table) {
  operation_run run;
  for (const backed_up_partition &p : partitions) {
    // 1, 5. Mount (at "/media/NAME").
    if (mount_installation_partition(run, table, p.name) != 0) return -1;
    // 2, 6. Measure.
    puts("");
    uint64_t used = 0;
    if (print_used_space(p.label, p.data, &used) < 0) return -1;
    // 3, 7. The room on the boot media, with the old backup still there.
    const uint64_t room = print_free_space("SD or USB device", path_storage);
    if (!(used < room)) {
      puts("Not enough free space on SD or USB device to make a backup of the data on eMMC!");
      return -1;
    }
    // 4, 8. Asked, then made.
    printf("\nMake a backup of Kestrova data on the %s partition of eMMC?", p.what);
    if (is_directory(p.backup)) {
      printf("\nAll existing data in folder '%s' will be removed!", p.backup);
    }
    printf("\nMake backup? [y]: ");
    if (read_answer() == 'y' && make_backup(p) != 0) return -1;
  }

  // 9. Unmount.
  if (unmount_installation(run) != 0) return -1;

  // 10. Done.
  puts("\nSuccess!\n");
  puts("\nA backup of the selected Kestrova partitions where done!\n");
  status_word = status_backup;
  run.succeeded = true;
  return 0;
}
