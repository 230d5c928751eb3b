// A single-boot change (an installation in Android's place, or a migration)
// that was cut off between its table write and its end: its journal on the
// boot media holds both tables, the reserved area it writes, the
// relocation's copies and how far they and the steps after them got, where
// the data come from and the snapshot of the reserved area from before.
// Started again from the boot media, kvemmc offers to finish it.
//
// First half, before anything is written: the journal read and checked, the
// eMMC it belongs to, the reserved area compared with the change's, the mark
// of a finished change looked for, the step it stopped in named, the
// consent. Second half, in the change's own order: the reserved area written
// again where it differs, the rest of the relocation (protected from
// signals, recorded in the journal), what is left of KV_STORAGE and KV_FLASH
// and of their copies, the mark, the unmount; then the journal goes and the
// operation's status word is set.
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_plan.h"
#include "operation_steps.h"
#include "operations.h"
#include "storage.h"

namespace {

// Where the change stopped, in words.
void describe_progress(const journal_state &state, char *text, size_t size) {
  const relocation_schedule &schedule = state.header.schedule;
  if (state.step >= schedule.count) {
    char rest[120];
    if (state.stage < journal_stage_storage_made)
      snprintf(rest, sizeof(rest), "%s and %s are still to be made and filled", name_kv_storage,
               name_kv_flash);
    else if (state.stage < journal_stage_flash_copied)
      snprintf(rest, sizeof(rest), "%s and %s are still to be filled", name_kv_storage,
               name_kv_flash);
    else if (state.stage < journal_stage_storage_copied)
      snprintf(rest, sizeof(rest), "%s is still to be filled", name_kv_storage);
    else
      snprintf(rest, sizeof(rest), "only the mark of the change is still to be written");
    snprintf(text, size, "after the partitions were moved: %s", rest);
    return;
  }
  const relocation_step &step = schedule.steps[state.step];
  snprintf(text, size, "while moving partition '%s'%s (copy %u of %u, %llu of %llu MiB done)",
           step.name.text, step.staging ? " to a staging area" : "", state.step + 1, schedule.count,
           static_cast<unsigned long long>(state.done >> 20),
           static_cast<unsigned long long>(step.size >> 20));
}

constexpr const char msg_snapshot_before[] =
    "The reserved area (table and device trees) from before that change is in '%s'.\n";

// "Finish it now?": false (the run declined, and succeeded) but for 'y'.
bool finish_agreed(operation_run &run) {
  printf("\nFinish it now?\nContinue? [y]: ");
  if (read_answer() == 'y') return true;
  puts(msg_aborting);
  run.succeeded = true;
  return false;
}

const char *operation_name(uint32_t operation) {
  if (operation == journal_operation_remove) return "removal of a dual boot installation";
  return operation == journal_operation_migrate
             ? "migration of a dual boot installation to single boot"
             : "single boot installation";
}

// A removal moves nothing: once Android's table and trees are back, its
// data partition holds what is left of Kestrova's folder and has still to
// grow over the space KV_FLASH had.
int finish_interrupted_removal(operation_run &run, const journal_state &state,
                               owned<reserved_image> &image, const reserved_area_state &area) {
  const journal_header &header = state.header;
  const bool written = area.written[0] && area.written[1] && area.written[2];
  printf("\nA %s was interrupted %s.\n", operation_name(header.operation),
         written ? "after Android's partition table was written: Kestrova's data are still to "
                   "be deleted and Android's data filesystem to be grown"
                 : "while Android's partition table and device trees were written");
  int data = 0;
  if (find_data_partition(&header.new_table, &data) != 0) {
    puts("Could not find data partition!");
    return -1;
  }
  const char *data_name = header.new_table.entries[data].name;
  if (dry_run) {
    operation_plan plan;
    plan.title = "Finish the interrupted removal of the dual boot installation";
    plan.writes_emmc = true;
    plan_point_of_no_return(plan);
    if (!written) plan_step(plan, "write Android's partition table and both device trees again");
    plan_step(plan, "delete '%s'", path_emmc_storage_data);
    plan_step(plan, "grow Android's data filesystem over the space of %s", name_kv_flash);
    return finish_dry_run(run, plan);
  }
  if (!finish_agreed(run)) return 0;
  run.journal_kept = true;
  critical_window window;
  if (open_critical_window(window) != 0) return -1;
  if (mend_reserved_area(image.get(), area) != 0) return -1;
  image.reset();
  if (close_critical_window(window) != 0) return -1;
  if (mount_installation_partition(run, &header.new_table, data_name) != 0) return -1;
  return end_removal(run, &header.new_table);
}

}  // namespace

int finish_interrupted_change() {
  operation_run run;
  // 1. The journal, checked; one that fails its checks is never used.
  owned<journal_state> state = allocate_zeroed<journal_state>(sizeof(journal_state));
  if (!state) {
    puts("malloc failed for the relocation journal!");
    return -1;
  }
  const int found = read_relocation_journal(state.get());
  if (found > 0) return 1;
  if (found < 0) {
    puts("Nothing of it is done; delete the file to go on without it.");
    return 1;
  }
  const journal_header &header = state->header;

  // 2. The eMMC it was written for: its size, and its CID where both are known.
  const uint64_t emmc_size = block_device_size("mmcblk0");
  char emmc_cid[emmc_cid_size];
  read_emmc_cid(emmc_cid);
  if (header.emmc_size != emmc_size) {
    printf("\nThe relocation journal '%s' was written on an eMMC of %llu bytes, this one has "
           "%llu: nothing of it is done.\n",
           path_relocation_journal, static_cast<unsigned long long>(header.emmc_size),
           static_cast<unsigned long long>(emmc_size));
    printf(msg_snapshot_before, header.snapshot);
    return 1;
  }
  if (header.emmc_cid[0] && emmc_cid[0] && strcmp(header.emmc_cid, emmc_cid) != 0) {
    printf("\nThe relocation journal '%s' was written on another eMMC (CID %s, this one has "
           "CID %s): nothing of it is done.\n",
           path_relocation_journal, header.emmc_cid, emmc_cid);
    printf(msg_snapshot_before, header.snapshot);
    return 1;
  }

  // 3. The reserved area shows the change's table write begun, or nothing
  // of it: then nothing was written at all.
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!image) {
    puts("malloc failed for dtb!");
    return -1;
  }
  reserved_area_state area = {};
  if (compare_reserved_area(*state, image.get(), &area) != 0) {
    printf(msg_snapshot_before, header.snapshot);
    return 1;
  }
  if (reserved_area_untouched(area) || !reserved_area_of_change(area)) {
    printf(
        "\nThe relocation journal '%s' of an interrupted %s does not match the partition "
        "table on the eMMC: nothing of it is done.\n",
        path_relocation_journal, operation_name(header.operation));
    printf(msg_snapshot_before, header.snapshot);
    return 1;
  }
  const bool mended = !(area.written[0] && area.written[1] && area.written[2]);
  if (header.operation == journal_operation_remove)
    return finish_interrupted_removal(run, *state, image, area);

  // A change that the eMMC shows as finished is never done again: its
  // relocation would copy over the installation.
  if (installation_shows_change(&header.new_table, header.change_id)) {
    printf("\nThe relocation journal '%s' speaks of a %s that the eMMC shows as complete: "
           "nothing of it is done; delete the file to go on without it.\n",
           path_relocation_journal, operation_name(header.operation));
    printf(msg_snapshot_before, header.snapshot);
    return 1;
  }

  // The moves the journal recorded: decided before the question, so that a
  // journal that cannot be finished changes nothing.
  if (check_resumable_moves(*state) != 0) {
    printf("Nothing of the journal '%s' is done; the reserved area from before the change is "
           "in '%s'.\n",
           path_relocation_journal, header.snapshot);
    return 1;
  }

  // 4. Where it stopped, and the consent.
  char progress[200];
  describe_progress(*state, progress, sizeof(progress));
  printf("\nA %s was interrupted %s.\n", operation_name(header.operation), progress);
  const bool from_boot_media = header.data_source == data_source_boot_media;
  const bool from_emmc = header.data_source == data_source_emmc;
  const char *flash_source = from_boot_media ? path_flash : path_backup_flash;
  const char *storage_source = from_boot_media ? path_storage : path_backup_storage;
  if (dry_run) {
    operation_plan plan;
    plan.title = "Finish the interrupted single-boot change";
    plan.writes_emmc = true;
    plan_point_of_no_return(plan);
    if (mended) plan_step(plan, "write the new partition table and both device trees again");
    plan_step(plan, "finish the relocation from where it stopped");
    plan_step(plan, "format %s (ext4) and %s (vfat)", name_kv_storage, name_kv_flash);
    plan_step(plan, "copy '%s' to %s and '%s' to %s", flash_source, name_kv_flash, storage_source,
              name_kv_storage);
    if (from_emmc) plan_step(plan, "remove the backup '%s' again", path_backup_folder);
    return finish_dry_run(run, plan);
  }
  if (!finish_agreed(run)) return 0;

  // ---- From here on the eMMC changes ----
  run.journal_kept = true;
  relocation_journal journal;
  critical_window window;
  if (reopen_relocation_journal(journal, *state) != 0 || open_critical_window(window) != 0)
    return -1;
  // 5. The reserved area as the change writes it, the rest of the
  // relocation, then KV_STORAGE and KV_FLASH.
  if (mend_reserved_area(image.get(), area) != 0) return -1;
  image.reset();
  if (resume_partition_moves(*state, journal) != 0) {
    puts("Failed to move partitions");
    return -1;
  }
  if (make_installation_filesystems(&header.new_table, true, &journal, state->stage) != 0)
    return -1;
  if (close_critical_window(window) != 0) return -1;

  // 6-8. Mount, copy, unmount.
  if (mount_installation(run, &header.new_table) != 0) return -1;
  if (copy_into_installation(run, flash_source, storage_source, from_boot_media, &journal,
                             state->stage) != 0)
    return -1;
  if (unmount_installation(run) != 0) return -1;
  if (end_relocation_journal() != 0) return -1;

  // 9. The data a migration saved to the boot media are back on the eMMC.
  if (from_emmc && remove_saved_installation_data() != 0) return -1;

  // 10. Done, as the change itself would have ended.
  report_installed(run, header.operation);
  return 0;
}
