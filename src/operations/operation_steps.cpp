// The pieces that several operations share; see operation_steps.h.
#include "operation_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "devicetree.h"
#include "frontend.h"
#include "region_io.h"
#include "storage.h"

// ---- Room ----

int check_room(const char *source, const char *measured, const char *partition, uint64_t room,
               uint64_t used) {
  if (used <= room) return 0;
  printf("New partition is too small to cover data of '%s' from current boot device!\n", source);
  printf("Free space on '%s' partition: %lldMB\n", partition, static_cast<long long>(room >> 20));
  printf("Used space on '%s': %lld\n", measured, static_cast<long long>(used));
  return -1;
}

// ---- The eMMC's wear ----

namespace {

// `count` "0xNN" values, one space apart, a newline after them allowed;
// false (and zeros) for anything else.
bool read_hex_values(const char *path, unsigned *values, int count) {
  for (int i = 0; i < count; i++) values[i] = 0;
  owned_file file(fopen(path, "r"));
  if (!file) return false;
  char text[64] = {};
  const size_t length = fread(text, 1, sizeof(text) - 1, file.get());
  unsigned parsed[2] = {};
  const char *p = text;
  for (int i = 0; i < count; i++) {
    if (i > 0 && *p++ != ' ') return false;
    if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
    unsigned value = 0;
    int digits = 0;
    for (p += 2; digits < 2; p++, digits++) {
      const char c = *p;
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    parsed[i] = value;
  }
  if (*p == '\n') p++;
  if (static_cast<size_t>(p - text) != length) return false;
  for (int i = 0; i < count; i++) values[i] = parsed[i];
  return true;
}

const char *life_text(unsigned estimate) {
  static const char *const texts[] = {"not reported", "0-10 %",  "10-20 %", "20-30 %",
                                      "30-40 %",      "40-50 %", "50-60 %", "60-70 %",
                                      "70-80 %",      "80-90 %", "90-100 %", "exceeded"};
  return estimate < sizeof(texts) / sizeof(texts[0]) ? texts[estimate] : "not reported";
}

}  // namespace

emmc_health read_emmc_health(const char *device_folder) {
  emmc_health health;
  char path[256];
  unsigned values[2];
  snprintf(path, sizeof(path), "%s/pre_eol_info", device_folder);
  if (read_hex_values(path, values, 1) && values[0] >= 1 && values[0] <= 3) {
    health.pre_eol = values[0];
  }
  snprintf(path, sizeof(path), "%s/life_time", device_folder);
  if (read_hex_values(path, values, 2)) {
    if (values[0] >= 1 && values[0] <= 11) health.life_a = values[0];
    if (values[1] >= 1 && values[1] <= 11) health.life_b = values[1];
  }
  return health;
}

void describe_emmc_health(char *text, size_t size, const emmc_health &health) {
  static const char *const pre_eol_texts[] = {"not reported", "normal",
                                              "warning: 80 % of its reserved blocks used",
                                              "urgent: 90 % of its reserved blocks used"};
  snprintf(text, size, "pre-EOL information: %s; life used: type A %s, type B %s",
           pre_eol_texts[health.pre_eol < 4 ? health.pre_eol : 0], life_text(health.life_a),
           life_text(health.life_b));
}

void warn_if_emmc_worn() {
  const emmc_health health = read_emmc_health();
  const bool worn = health.pre_eol >= 2 || health.life_a >= 10 || health.life_b >= 10;
  if (!worn) return;
  char text[160];
  describe_emmc_health(text, sizeof(text), health);
  printf("\nWarning! The eMMC reports that it is worn: %s.\nA worn eMMC may fail while it is "
         "written or soon after: think of a backup first!\n",
         text);
}

// ---- The status word ----

void set_status_word(const char *word) {
  status_word = word;
  // Whatever the screen says next may be the last thing the user waits for.
  check_console_output();
  if (!dry_run) write_status_marker(word);
}

// ---- The backup on the boot media ----

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

int check_layout_change(const mmc_partitions_fmt *table) {
  if (check_dtb_copies_readable(path_reserved_device) != 0 ||
      check_partition_devices_free(table) != 0)
    return refuse_table_write();
  return 0;
}

// ---- Recovery snapshot ----

namespace {

constexpr int max_snapshots_per_second = 99;

// Makes `folder` and every missing folder above it (no shell involved).
int make_folders(const char *folder) {
  char path[256];
  if (snprintf(path, sizeof(path), "%s", folder) >= static_cast<int>(sizeof(path))) return -1;
  for (char *p = path + 1;; p++) {
    if (*p != '/' && *p != '\0') continue;
    const char kept = *p;
    *p = '\0';
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
    *p = kept;
    if (kept == '\0') return 0;
  }
}

// The time stamp of this second's snapshot names.
int snapshot_stamp(char (&stamp)[32]) {
  const time_t now = time(nullptr);
  struct tm utc;
  if (!gmtime_r(&now, &utc) || strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &utc) == 0) {
    puts("Cannot read the clock for the snapshot's name!");
    return -1;
  }
  return 0;
}

// The `n`th name of the second `stamp` (1, 2, ...); false when it does not fit.
bool snapshot_name(char *path, size_t path_size, const char *folder, const char *stamp, int n) {
  const int length = n == 1 ? snprintf(path, path_size, "%s/reserved-%s.img", folder, stamp)
                            : snprintf(path, path_size, "%s/reserved-%s-%d.img", folder, stamp, n);
  return length >= 0 && static_cast<size_t>(length) < path_size;
}

int write_and_verify(int fd, const uint8_t *bytes, uint64_t size) {
  if (write_region_at(fd, 0, bytes, size) != 0 || drop_cached_pages(fd) != 0) return -1;
  owned<uint8_t> back = allocate_zeroed(static_cast<size_t>(size));
  if (!back) {
    puts("malloc failed for backup!");
    return -1;
  }
  if (read_region_at(fd, 0, back.get(), size) != 0) return -1;
  if (memcmp(back.get(), bytes, static_cast<size_t>(size)) != 0) {
    puts("The snapshot reads back differently from what was written!");
    return -1;
  }
  return 0;
}

}  // namespace

int next_snapshot_name(char *path, size_t path_size, const char *folder) {
  char stamp[32];
  if (snapshot_stamp(stamp) != 0) return -1;
  for (int n = 1; n <= max_snapshots_per_second; n++) {
    if (!snapshot_name(path, path_size, folder, stamp, n)) break;
    if (!path_exists(path)) return 0;
  }
  puts("No free name for the recovery snapshot!");
  return -1;
}

int save_reserved_snapshot(const char *reserved, const char *folder, char *saved,
                           size_t saved_size) {
  owned<uint8_t> area;
  if (read_file_region(area, reserved, 0, reserved_snapshot_size) != 0) {
    printf("Failed to read '%s' for the recovery snapshot!\n", reserved);
    return -1;
  }
  if (make_folders(folder) != 0) {
    printf("Failed to create folder '%s' for the recovery snapshot!\n", folder);
    return -1;
  }
  const uint64_t room = free_space(folder);
  if (room < reserved_snapshot_size) {
    printf("Not enough free space on '%s' for the recovery snapshot: %lluKB needed, %lluKB free!\n",
           folder, static_cast<unsigned long long>(reserved_snapshot_size >> 10),
           static_cast<unsigned long long>(room >> 10));
    return -1;
  }
  // Whole and durable under its own name before it takes the snapshot's:
  // a file that does not hold the whole area is no snapshot.
  char path[320] = {}, fresh[330];
  owned_fd file;
  if (next_snapshot_name(path, sizeof(path), folder) != 0) return -1;
  snprintf(fresh, sizeof(fresh), "%s.new", path);
  if (open_region_file(file, fresh, region_create) != 0 ||
      write_and_verify(file.fd, area.get(), reserved_snapshot_size) != 0 ||
      close_region_file(file) != 0 || rename(fresh, path) != 0 || sync_folder_of(path) != 0) {
    unlink(fresh);
    printf("Failed to save the recovery snapshot of '%s'!\n", reserved);
    return -1;
  }
  printf("Recovery snapshot of '%s' saved as '%s'\n", reserved, path);
  if (saved) snprintf(saved, saved_size, "%s", path);
  return 0;
}

// ---- The protected window ----

namespace {

// SIGHUP is not among them: the run ignores it (a console that went away
// is no request to stop, see keep_running_without_console).
constexpr int held_signals[held_signal_count] = {SIGINT, SIGTERM, SIGQUIT};

void held_set(sigset_t *set) {
  sigemptyset(set);
  for (int s : held_signals) sigaddset(set, s);
}

}  // namespace

critical_window::~critical_window() {
  if (open) close_critical_window(*this);
}

int open_critical_window(critical_window &window) {
  sigset_t held;
  held_set(&held);
  if (sigprocmask(SIG_BLOCK, &held, &window.previous) != 0) {
    puts("Cannot hold back signals for the change of the eMMC layout!");
    return -1;
  }
  window.open = true;
  return 0;
}

int close_critical_window(critical_window &window) {
  if (!window.open) return 0;
  window.open = false;
  sigset_t held, pending;
  held_set(&held);
  int arrived = 0;
  if (sigpending(&pending) == 0) {
    // Take every held signal that came, so that none ends the process when
    // they are let through again.
    const struct timespec none = {0, 0};
    for (int s : held_signals) {
      if (sigismember(&pending, s) != 1) continue;
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, s);
      if (sigtimedwait(&one, nullptr, &none) == s && arrived == 0) arrived = s;
    }
  }
  sigprocmask(SIG_SETMASK, &window.previous, nullptr);
  if (arrived == 0) return 0;
  printf("Stopped by signal %d (%s) after the change of the eMMC layout was completed!\n", arrived,
         strsignal(arrived));
  return -1;
}

// ---- A copy that Ctrl-C may end ----

namespace {

volatile sig_atomic_t copy_signal = 0;

void note_copy_signal(int signal) {
  if (copy_signal == 0) copy_signal = signal;
}

}  // namespace

copy_guard::copy_guard() {
  copy_signal = 0;
  struct sigaction noting {};
  noting.sa_handler = note_copy_signal;
  sigemptyset(&noting.sa_mask);
  for (int i = 0; i < held_signal_count; i++) sigaction(held_signals[i], &noting, &previous[i]);
}

copy_guard::~copy_guard() {
  for (int i = 0; i < held_signal_count; i++) sigaction(held_signals[i], &previous[i], nullptr);
}

int copy_signal_arrived() { return copy_signal; }

int check_copy_interrupted(const copy_guard &) {
  const int arrived = copy_signal;
  if (arrived == 0) return 0;
  printf("Stopped by signal %d (%s) during the copy!\n", arrived, strsignal(arrived));
  return -1;
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
                                 const char *name) {
  const char *folder = strcmp(name, name_kv_flash) == 0 ? path_emmc_flash_mount : path_emmc_storage_mount;
  run.mounted = true;
  // A dry run only looks: its mounts leave the filesystems as they were.
  const int mounted = dry_run ? loop_mount_partition_read_only(table, name, folder)
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
  if (journal_kept && path_exists(path_relocation_journal)) {
    printf("The change is recorded in '%s': start kvemmc again from the boot media to finish "
           "it, or to see what is left.\n",
           path_relocation_journal);
  }
}
