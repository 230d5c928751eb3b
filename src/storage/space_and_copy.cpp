// Free and used space of folders, and the rsync copies of an installation.
//
// Relied on from the tools (besides their exit code, 0 = done):
// - rsync (3.1 or later): a copy with "--info=progress2" prints one overall
//   progress line (shown live); a dry run with "-av" ends its output with the
//   line "total size is N ...", N the total size of the files in bytes with
//   "," as thousands separator, and with "--out-format=%l %n" lists before it
//   each entry it would copy on a line of its own: its size in bytes and its
//   name relative to the source, a folder's ending in "/", the source itself
//   "./", characters that cannot be shown escaped (never shorter). Any other
//   last line counts as a failed measurement.
//   Exit code 24 says that source files vanished during the copy: what is
//   left of the source was copied, which is no failure.
// - sync: returns when written data have reached the medium.
#include <sys/statfs.h>

#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "storage.h"
#include "storage_internal.h"

uint64_t free_space(const char *folder) {
  if (!folder || !is_directory(folder)) return 0;
  struct statfs info;
  if (statfs(folder, &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_bsize);
}

uint64_t print_free_space(const char *label, const char *folder) {
  uint64_t bytes = free_space(folder);
  printf("Free space of '%s': %lluMB\n", label, static_cast<unsigned long long>(bytes >> 20));
  return bytes;
}

// A whole non-negative decimal number without sign or spaces; false when the
// text holds anything else or the value does not fit.
static bool parse_byte_count(const char *text, uint64_t *value) {
  if (text[0] == '\0') return false;
  uint64_t n = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9') return false;
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

namespace {

// The options a copy of `scope` from `source` adds to rsync's command line,
// with their leading space. The excludes are anchored at the source's root:
// only the own folder of that tree ("/storage/backup/kvemmc" of the running
// system) goes, and the mark of a backup when the source is one.
struct copy_options {
  char text[256];
};
copy_options options_of(copy_scope scope, const char *source) {
  char mark[320];
  snprintf(mark, sizeof(mark), "%s/%s", source, backup_mark_name);
  const bool backup = path_exists(mark);
  const bool beside_images = scope == copy_beside_factory_images;
  copy_options options;
  snprintf(options.text, sizeof(options.text), "%s%s%s%s%s%s%s",
           scope != copy_whole_tree ? " --exclude=/backup/kvemmc" : "",
           backup ? " --exclude=/" : "", backup ? backup_mark_name : "",
           beside_images ? " --exclude=/" : "", beside_images ? apt_backup_image_name : "",
           beside_images ? " --exclude=/" : "", beside_images ? dtb_backup_image_name : "");
  return options;
}

}  // namespace

static constexpr int rsync_files_vanished = 24;

namespace {

void take_listed_entry(void *census, const char *line) {
  count_listed_entry(*static_cast<tree_census *>(census), line);
}

// The number of rsync's last line "total size is N  speedup is ...", N
// with "," as thousands separator.
bool parse_total_size(const char *line, uint64_t *value) {
  static const char lead[] = "total size is ";
  if (strncmp(line, lead, sizeof(lead) - 1) != 0) return false;
  char digits[32];
  size_t n = 0;
  for (const char *p = line + sizeof(lead) - 1; *p && *p != ' '; p++) {
    if (*p == ',') continue;
    if (n + 1 >= sizeof(digits)) return false;
    digits[n++] = *p;
  }
  digits[n] = '\0';
  return parse_byte_count(digits, value);
}

}  // namespace

int used_space(const char *folder, uint64_t *bytes, copy_scope scope, tree_census *census) {
  if (!folder || !is_directory(folder)) return -1;
  if (!scratch_buffer) {
    puts("No scratch buffer for the command lines!");
    return -1;
  }
  if (lies_in_scratch_buffer(folder) || !check_safe_path("folder", folder)) return -1;
  // The dry run copies nothing, so "backup/" is never created. It leaves out
  // what the copy leaves out, so that the room check and the copy agree, and
  // lists each entry with its size.
  if (format_command(scratch_buffer, scratch_buffer_size,
                     "rsync --dry-run -av '--out-format=%%l %%n'%s %s/ backup/",
                     options_of(scope, folder).text, folder) != 0) {
    return -1;
  }
  tree_census listed;
  char last[512] = {};
  const int result = run_command_lines(scratch_buffer, take_listed_entry, &listed, last,
                                       sizeof(last));
  // Files that vanished meanwhile are not in the list, as the copy will not
  // find them either.
  if (result < 0 && result != -rsync_files_vanished) {
    printf(msg_cmd_failed, scratch_buffer);
    return -1;
  }
  uint64_t count = 0;
  if (!parse_total_size(last, &count)) {
    char shown[sizeof(last)];
    printable_text(shown, sizeof(shown), last, strlen(last));
    printf("No total size in rsync's summary for '%s' (it shows '%s')!\n", folder, shown);
    return -1;
  }
  // A "backup" in the working folder that holds some of the files already
  // would keep them out of the list (not out of the total).
  if (census && listed.bytes != count) {
    printf("rsync's list of the files of '%s' adds up to %llu bytes, not to its total of %llu!\n",
           folder, static_cast<unsigned long long>(listed.bytes),
           static_cast<unsigned long long>(count));
    return -1;
  }
  if (bytes) *bytes = count;
  if (census) *census = listed;
  return 0;
}

int print_used_space(const char *label, const char *folder, uint64_t *bytes, copy_scope scope,
                     tree_census *census) {
  uint64_t count = 0;
  if (used_space(folder, &count, scope, census) != 0) {
    printf(msg_used_space_failed, folder);
    return -1;
  }
  printf("Used space of '%s': %lluMB\n", label, static_cast<unsigned long long>(count / 1000000));
  if (bytes) *bytes = count;
  return 0;
}

int copy_folder(const char *source, const char *destination, copy_scope scope) {
  if (!check_safe_path("source folder", source) ||
      !check_safe_path("destination folder", destination)) {
    return -1;
  }
  // Archive mode keeps permissions, owners, times, links and devices.
  char command[short_command_size];
  if (format_command(command, sizeof(command), "rsync -ah --info=progress2%s %s/ %s/",
                     options_of(scope, source).text, source, destination) != 0) {
    return -1;
  }
  printf("Copy all data from '%s' to '%s'\n", source, destination);
  const int result = run_command(command, nullptr, 0, stdout);
  if (result == -rsync_files_vanished) {
    // A log or cache file of the running system deleted while it was copied.
    printf("Warning: files of '%s' vanished while they were copied (rsync exit code %d)!\n",
           source, rsync_files_vanished);
  } else if (result < 0) {
    printf(msg_cmd_failed, command);
    return -1;
  }
  puts("\nSynchronize data on disk with memory, please wait...");
  fflush(stdout);
  if (run_command("sync") < 0) {
    printf(msg_cmd_failed, "sync");
    return -1;
  }
  return 0;
}

// True when `path` is `folder` or lies below it, compared as text.
static bool is_within(const char *path, const char *folder) {
  size_t length = strlen(folder);
  while (length > 1 && folder[length - 1] == '/') length--;
  return strncmp(path, folder, length) == 0 && (path[length] == '\0' || path[length] == '/');
}

int mirror_folder(const char *source, const char *destination, copy_scope scope) {
  if (!check_safe_path("source folder", source) ||
      !check_safe_path("destination folder", destination)) {
    return -1;
  }
  // Removing the destination first must not take the source with it.
  if (is_within(source, destination)) {
    printf("Refusing to replace '%s' by its own content '%s'!\n", destination, source);
    return -1;
  }
  if (remove_folder(destination) != 0) {
    printf(msg_remove_folder_failed, destination);
    return -1;
  }
  char command[short_command_size];
  if (run_formatted(command, sizeof(command), nullptr, "mkdir -p %s", destination) != 0) return -1;
  if (copy_folder(source, destination, scope) != 0) {
    printf(msg_copy_failed, source, destination);
    return -1;
  }
  return 0;
}

int copy_to_emmc(const char *flash_source, const char *storage_source, bool announce,
                 copy_scope storage_scope) {
  if (announce) {
    puts("");
    puts("Starting copying of data to the eMMC!");
    puts(msg_do_not_interrupt);
  }
  // Neither gigabytes of rsync nor "rm -rf" go anywhere but into this run's
  // own mounts of the eMMC partitions.
  if ((flash_source && !check_temp_mount_target(path_emmc_flash_mount)) ||
      (storage_source && !check_temp_mount_target(path_emmc_storage_mount))) {
    return -1;
  }
  if (flash_source) {
    if (clear_folder(path_emmc_flash_mount) != 0) {
      printf("Failed to remove content of folder '%s'\n", path_emmc_flash_mount);
      return -1;
    }
    if (copy_folder(flash_source, path_emmc_flash_mount, copy_whole_tree) != 0) {
      printf(msg_copy_failed, flash_source, path_emmc_flash_mount);
      return -1;
    }
  }
  if (!storage_source) return 0;
  const int removed = storage_scope == copy_beside_factory_images
                          ? empty_folder_beside_factory_images(path_emmc_storage_data)
                          : remove_folder(path_emmc_storage_data);
  if (removed != 0) {
    printf(msg_remove_folder_failed, path_emmc_storage_data);
    return -1;
  }
  // rsync creates the folder again.
  if (copy_folder(storage_source, path_emmc_storage_data, storage_scope) != 0) {
    printf(msg_copy_failed, storage_source, path_emmc_storage_data);
    return -1;
  }
  return 0;
}
