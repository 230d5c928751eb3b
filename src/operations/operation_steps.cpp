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

namespace {

void print_too_small(const char *source, const char *measured, const char *partition,
                     uint64_t room, uint64_t used) {
  printf("New partition is too small to cover data of '%s' from current boot device!\n", source);
  printf("Free space on '%s' partition: %lldMB\n", partition, static_cast<long long>(room >> 20));
  printf("Used space on '%s': %lld\n", measured, static_cast<long long>(used));
}

}  // namespace

int check_room(const char *source, const char *measured, const char *partition, uint64_t room,
               uint64_t used) {
  if (used <= room) return 0;
  print_too_small(source, measured, partition, room, used);
  return -1;
}

int check_new_filesystem_room(const char *source, const char *measured, const char *partition,
                              uint64_t size, uint64_t used, const tree_census &census,
                              uint64_t *usable) {
  const bool storage = strcmp(partition, name_kv_storage) == 0;
  filesystem_room room;
  if (measure_new_filesystem_room(storage ? new_ext4 : new_vfat, partition, size, &room) != 0)
    return -1;
  *usable = room.bytes;
  tree_census copy = census;
  // The mark of the finished change, beside the storage folder.
  if (storage) count_in_census(copy, 2 * change_id_size + 1, path_change_mark, false);
  const uint64_t need = copy_need(copy, storage ? new_ext4 : new_vfat, room.unit);
  const uint64_t entries = copy.files + copy.folders;
  if (need <= room.bytes && entries <= room.inodes && copy.fat_top_slots <= room.top_slots)
    return 0;
  print_too_small(source, measured, partition, room.bytes, used);
  if (need > room.bytes) {
    printf("With its folders, and each file in whole %s of %u bytes, the copy takes %lluMB "
           "there.\n",
           storage ? "blocks" : "clusters", room.unit, static_cast<unsigned long long>(need >> 20));
  } else if (entries > room.inodes) {
    printf("The copy holds %llu files and folders, more than the %llu that '%s' can take.\n",
           static_cast<unsigned long long>(entries),
           static_cast<unsigned long long>(room.inodes), partition);
  } else {
    printf("The copy has more entries at its top (%llu) than the root folder of '%s' can take "
           "(%llu).\n",
           static_cast<unsigned long long>(copy.fat_top_slots), partition,
           static_cast<unsigned long long>(room.top_slots));
  }
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

int check_reserved_image_write(const reserved_image *image) {
  return check_reserved_image(image) == 0 ? 0 : refuse_table_write();
}

int check_layout_change(const mmc_partitions_fmt *table) {
  if (check_dtb_copies_readable(path_reserved_device) != 0 ||
      check_partition_devices_free(table) != 0)
    return refuse_table_write();
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

// ---- The OP-TEE driver ----

namespace {
constexpr const char cmd_optee_load_state[] =
    "systemctl show -p LoadState opentee_linuxdriver.service";
}  // namespace

int find_optee_driver(bool &present) {
  char state[64] = {};
  if (run_command(cmd_optee_load_state, state, sizeof(state)) < 0) {
    printf(msg_cmd_failed, cmd_optee_load_state);
    return -1;
  }
  present = strcmp(state, "LoadState=not-found") != 0;
  return 0;
}

int stop_optee_driver(bool present) {
  if (!present) return 0;
  // The commands go through /bin/sh, where "&>" would put the stop in the
  // background and report success before the service has stopped, or when
  // it never does.
  if (run_command("systemctl stop opentee_linuxdriver.service > /dev/null 2>&1") < 0) {
    puts("Error stopping opentee_linuxdriver service");
    return -1;
  }
  return 0;
}

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
  if (!journal_kept || !path_exists(path_relocation_journal)) return;
  if (journal_table_on_emmc()) {
    printf("The change is recorded in '%s': start kvemmc again from the boot media to finish "
           "it, or to see what is left.\n",
           path_relocation_journal);
  } else {
    printf("The journal '%s' is left on the boot media, but the partition table on the eMMC is "
           "not the one it records: start kvemmc again from the boot media to see what is "
           "left.\n",
           path_relocation_journal);
  }
}
