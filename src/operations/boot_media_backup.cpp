// The backup of an installation on the boot media: replaced and removed so
// that a cut never leaves a fragment under its name, and marked complete.
#include "operation_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "region_io.h"
#include "storage.h"

namespace {

// `folder` with `suffix` appended; false (said) when it does not fit.
bool with_suffix(char (&path)[256], const char *folder, const char *suffix) {
  const int length = snprintf(path, sizeof(path), "%s%s", folder, suffix);
  if (length >= 0 && static_cast<size_t>(length) < sizeof(path)) return true;
  printf("Path '%s%s' is too long!\n", folder, suffix);
  return false;
}


int rename_folder(const char *from, const char *to) {
  if (rename(from, to) == 0) return 0;
  printf("Failed to rename '%s' to '%s': %s!\n", from, to, strerror(errno));
  return -1;
}

bool backup_marked(const char *folder) {
  char mark[320];
  snprintf(mark, sizeof(mark), "%s/%s", folder, backup_mark_name);
  struct stat st;
  return stat(mark, &st) == 0 && S_ISREG(st.st_mode);
}

// The images of the factory state do not belong into a backup. They are
// removed from the new copy `fresh`, before it takes the name `backup`, and
// named as they would lie there.
void remove_saved_images(const char *fresh, const char *backup) {
  const struct {
    const char *name, *failed;
  } images[] = {{apt_backup_image_name, "Can not remove backup of APT: %s!\n"},
                {dtb_backup_image_name, "Can not remove backup of dtb: %s!\n"}};
  for (const auto &image : images) {
    char path[320], shown[320];
    snprintf(path, sizeof(path), "%s/%s", fresh, image.name);
    snprintf(shown, sizeof(shown), "%s/%s", backup, image.name);
    if (path_exists(path) && remove(path) != 0) printf(image.failed, shown);
  }
}

// The mark that makes the copy in `fresh` a complete backup, durable, and
// its name in the folder too.
int mark_backup(const char *fresh) {
  char mark[320];
  snprintf(mark, sizeof(mark), "%s/%s", fresh, backup_mark_name);
  if (write_durable_text(mark, "complete") == 0 && sync_folder_of(mark) == 0) return 0;
  printf("Failed to mark the backup in '%s' as complete!\n", fresh);
  return -1;
}

// What a run that was cut off while it replaced or removed the backup
// `backup` left beside it, handled before a new copy begins; a complete
// backup is never deleted. BACKUP.new with its mark is a complete backup
// whose replacement was cut off between its renames: it takes the name. A
// BACKUP.old without a BACKUP is the previous backup, whole (it is only
// ever renamed): it gets its name back. Then what is left of BACKUP.old and
// BACKUP.new goes, and so do the trash folders of their removals and of the
// whole backup folder's (discard_folder) that were cut off.
int tidy_backup(const char *backup, const char *fresh, const char *old) {
  char trash[3][256];
  if (!with_suffix(trash[0], old, ".trash") || !with_suffix(trash[1], fresh, ".trash") ||
      !with_suffix(trash[2], path_backup_folder, ".trash"))
    return -1;
  for (const char *folder : trash) {
    if (remove_folder(folder) != 0) {
      printf(msg_remove_folder_failed, folder);
      return -1;
    }
  }
  const char *whole = backup_marked(fresh)                        ? fresh
                      : !is_directory(backup) && is_directory(old) ? old
                                                                   : nullptr;
  if (whole) {
    printf("A run that was cut off left the backup '%s' as '%s': it takes its place.\n", backup,
           whole);
    if (whole == fresh && is_directory(backup) &&
        (discard_folder(old) != 0 || rename_folder(backup, old) != 0)) {
      return -1;
    }
    if (rename_folder(whole, backup) != 0 || sync_folder_of(backup) != 0) return -1;
  }
  return discard_folder(old) == 0 && discard_folder(fresh) == 0 ? 0 : -1;
}

}  // namespace

void print_backup_start() {
  puts("");
  puts("Starting to make a backup of existing data of the eMMC!");
  puts(msg_do_not_interrupt);
}

int discard_folder(const char *folder) {
  if (!is_directory(folder)) return 0;
  char trash[256];
  if (!with_suffix(trash, folder, ".trash")) return -1;
  if (remove_folder(trash) != 0) {
    printf(msg_remove_folder_failed, trash);
    return -1;
  }
  if (rename_folder(folder, trash) != 0 || sync_folder_of(trash) != 0) return -1;
  if (remove_folder(trash) != 0) {
    printf(msg_remove_folder_failed, trash);
    return -1;
  }
  return 0;
}

int check_backup_complete(const char *folder) {
  if (!is_directory(folder) || backup_marked(folder)) return 0;
  printf("The backup '%s' is incomplete: it lacks its mark '%s' (making or removing it was cut "
         "off, or an older kvemmc made it)!\n",
         folder, backup_mark_name);
  printf("It is not used: make the backup again, or mark it with 'touch %s/%s' if you know that "
         "it is whole.\n",
         folder, backup_mark_name);
  return -1;
}

int replace_backup(const char *data, const char *backup, copy_scope scope) {
  char fresh[256], old[256];
  if (!with_suffix(fresh, backup, ".new") || !with_suffix(old, backup, ".old")) return -1;
  if (tidy_backup(backup, fresh, old) != 0) return -1;
  {
    copy_guard guard;
    const int copied = mirror_folder(data, fresh, scope);
    const int interrupted = check_copy_interrupted(guard);
    if (copied != 0 || interrupted != 0) {
      if (copied != 0) {
        printf("Failed to create a backup of folder '%s' on eMMC to SD or USB device!\n", data);
      }
      discard_folder(fresh);
      return -1;
    }
  }
  // The copy is on the medium (the copy syncs): the mark, then the names.
  // A cut at any point leaves a complete backup under one of the names
  // that the next backup knows (see tidy_backup).
  if (strcmp(data, path_emmc_storage_data) == 0) remove_saved_images(fresh, backup);
  if (mark_backup(fresh) != 0) return -1;
  if (is_directory(backup) && rename_folder(backup, old) != 0) return -1;
  if (rename_folder(fresh, backup) != 0 || sync_folder_of(backup) != 0) return -1;
  return discard_folder(old);
}
