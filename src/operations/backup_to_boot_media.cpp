// A backup of the installation on the eMMC to the boot media: the content of
// KV_FLASH and the folder "kestrova_storage" of KV_STORAGE, each into its
// backup folder, each with its own room check and question. Nothing on the
// eMMC changes.
//
// A new backup is made beside the old one (FOLDER.new) and takes its place
// only when it is complete: a failed or interrupted copy leaves the previous
// backup as it was.
#include <cstdio>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

struct backed_up_partition {
  const char *name;         // the partition
  const char *data;         // the folder that is backed up
  const char *label;        // its label in the measurement
  const char *what;         // "flash" or "storage"
  const char *backup;       // the backup folder on the boot media
  copy_scope scope;         // what of `data` is measured and copied
};

const backed_up_partition partitions[] = {
    {name_kv_flash, path_emmc_flash_mount, "flash partiton on eMMC", "flash", path_backup_flash,
     copy_whole_tree},
    {name_kv_storage, path_emmc_storage_data, "storage partiton on eMMC", "storage",
     path_backup_storage, copy_without_own_folder},
};

int make_backup(const backed_up_partition &p) {
  print_backup_start();
  if (replace_backup(p.data, p.backup, p.scope) != 0) return -1;
  printf("\nBackup of partition '%s' got saved at '%s'\n\n", p.name, p.backup);
  return 0;
}

}  // namespace

int backup_to_boot_media(const mmc_partitions_fmt *table) {
  operation_run run;
  // A dry run notes at each question what a "y" would do.
  operation_plan plan;
  plan.title = "Back up the Kestrova installation on eMMC to the boot media";
  plan_point_of_no_return(plan);
  for (const backed_up_partition &p : partitions) {
    // 1, 5. Mount (at "/media/NAME"), read-only: the eMMC is only read.
    if (mount_installation_partition(run, table, p.name, true) != 0) return -1;
    // 2, 6. Measure.
    puts("");
    uint64_t used = 0;
    if (print_used_space(p.label, p.data, &used, p.scope) < 0) {
      printf(msg_used_space_failed, p.data);
      return -1;
    }
    // 3, 7. The room on the boot media, with the old backup still there.
    const uint64_t room = print_free_space("SD or USB device", path_storage);
    if (!(used < room)) {
      puts("Not enough free space on SD or USB device to make a backup of the data on eMMC!");
      return -1;
    }
    // 4, 8. Asked, then made.
    if (dry_run) {
      plan_data(plan, p.data, used, "SD or USB device", room);
      if (is_directory(p.backup)) plan_emptied(plan, p.backup);
      plan_step(plan, "copy '%s' to '%s', which then replaces the backup there", p.data, p.backup);
      continue;
    }
    printf("\nMake a backup of Kestrova data on the %s partition of eMMC?", p.what);
    if (is_directory(p.backup)) {
      printf("\nAll existing data in folder '%s' will be removed!", p.backup);
    }
    printf("\nMake backup? [y]: ");
    if (read_answer() == 'y' && make_backup(p) != 0) return -1;
  }

  // 9. Unmount.
  if (dry_run) return finish_dry_run(run, plan);
  if (unmount_installation(run) != 0) return -1;

  // 10. Done.
  set_status_word(status_backup);
  puts("\nSuccess!\n");
  puts("\nA backup of the selected Kestrova partitions where done!\n");
  run.succeeded = true;
  return 0;
}
