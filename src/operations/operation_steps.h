// What several operations share, one section per concern. A section names
// the file that holds it; the others are in operation_steps.cpp: the table
// write tried in memory, the factory images a dual boot keeps, a run's own
// changes undone when it fails (mounts, kodi), the status word, the OP-TEE
// driver.
#pragma once

#include <signal.h>

#include <cstdint>

#include "kvemmc.h"
#include "partition_table.h"
#include "storage.h"

struct reserved_image;

// ---- The backup on the boot media (boot_media_backup.cpp) ----
inline constexpr const char path_backup_flash[] = "/storage/backup/eMMC_backup/kestrova_flash";
inline constexpr const char path_backup_storage[] = "/storage/backup/eMMC_backup/kestrova_storage";

inline constexpr const char path_backup_folder[] = "/storage/backup/eMMC_backup";

// "Starting to make a backup ..." with the line that asks not to interrupt.
void print_backup_start();
// Mirrors `data` (a folder of the mounted installation) into BACKUP.new,
// marks it complete (backup_mark_name) and puts it in the place of the
// backup folder `backup`: the old one is renamed to BACKUP.old, the new one
// takes its name, the names are made durable, and only then does BACKUP.old
// go. A failed, interrupted or cut-off copy keeps the previous backup whole,
// and what a cut left beside it is finished or removed first. The images of
// the factory state that a dual-boot installation keeps are left out of a
// storage backup, and so is the tool's own folder (`scope`). 0, or -1 with
// the failure printed.
int replace_backup(const char *data, const char *backup, copy_scope scope);
// 0 for a backup folder that carries its mark, or that does not exist (the
// caller says what a missing one means); -1 after the lines that refuse an
// unmarked one as a source, to be said before any question.
int check_backup_complete(const char *folder);
// Removes `folder` so that a cut cannot leave a part of it under its name:
// renamed to FOLDER.trash (one left there before goes first), the rename
// made durable, then deleted. 0 also when there is nothing to remove, or -1
// (said).
int discard_folder(const char *folder);

// ---- The eMMC's wear (emmc_health.cpp) ----
// What the eMMC reports of its wear (eMMC 5.0 and later, in sysfs): its
// pre-EOL information and the two life-time estimates; 0 where a file is
// missing, unreadable or holds anything but one "0xNN" value each.
struct emmc_health {
  unsigned pre_eol = 0;     // 1 normal, 2 warning, 3 urgent
  unsigned life_a = 0;      // 1: 0-10 % of its life used ... 10: 90-100 %, 11: exceeded
  unsigned life_b = 0;
};
emmc_health read_emmc_health(const char *device_folder = "/sys/block/mmcblk0/device");
// "pre-EOL information: ...; life used: type A ..., type B ...".
void describe_emmc_health(char *text, size_t size, const emmc_health &health);
// Before the question of an operation that writes to the eMMC: a warning
// when the eMMC reports itself worn (pre-EOL 2 or 3, an estimate of 10 or
// more). Only a warning: the user decides.
void warn_if_emmc_worn();

// ---- Room (room_checks.cpp) ----
// Prints the three "too small" lines and returns -1 when `used` bytes
// measured at `measured` (the data of `source`) do not fit `room` bytes of
// `partition`; equality fits. 0 otherwise.
int check_room(const char *source, const char *measured, const char *partition, uint64_t room,
               uint64_t used);
inline int check_room(const char *source, const char *partition, uint64_t room, uint64_t used) {
  return check_room(source, source, partition, room, used);
}
// The same for KV_FLASH (vfat) or KV_STORAGE (ext4) made afresh in a
// partition of `size` bytes: the room is what that filesystem leaves
// (measure_new_filesystem_room), and the data take what their `census`
// says there (copy_need), KV_STORAGE the change's mark too. When they do
// not fit, a fourth line says what the copy takes. 0 with the room in
// `usable`, or -1.
int check_new_filesystem_room(const char *source, const char *measured, const char *partition,
                              uint64_t size, uint64_t used, const tree_census &census,
                              uint64_t *usable);

// ---- The table write, tried in memory ----
// Verifies `table` and reworks both DTB copies of "/dev/reserved" for it
// without writing, so that a table or tree that the write would refuse stops
// the operation before its question. Given `image`, the reserved area as the
// write will leave it is kept there (prepare_reserved_image). 0, or -1 after
// the reason and "The new partition table cannot be written: ...".
int check_table_write(int dtb_mode, const mmc_partitions_fmt *table,
                      reserved_image *image = nullptr);
// The same for an `image` composed otherwise (a saved table or saved copies
// taken into it): the pair as it will be written (check_reserved_image).
int check_reserved_image_write(const reserved_image *image);
// Before the question of every operation that writes a table, whatever it
// plans: both DTB copies hold trees the tool can read and rewrite
// (check_dtb_copies_readable), and no kernel device of a partition of
// `table`, the table read at start-up, is in use (check_partition_devices_free):
// Android's data filesystem, for one, may have been mounted by the system.
// 0, or -1 after the reason and the line of check_table_write. After the
// consent the operation flushes those devices (flush_partition_devices)
// before the layout changes.
int check_layout_change(const mmc_partitions_fmt *table);

// ---- The eMMC's identity and the change's identifier (change_journal.cpp) ----
inline constexpr const char path_emmc_cid[] = "/sys/block/mmcblk0/device/cid";
// The mark of a finished single-boot change on KV_STORAGE: its identifier,
// outside the data folder, so that no boot media made from the
// installation's /storage carries it.
inline constexpr const char path_change_mark[] = "/media/KV_STORAGE/.kvemmc-change";
// The eMMC's CID as the kernel gives it (32 hex digits and a newline);
// empty when the file is missing, unreadable or holds anything else.
void read_emmc_cid(char (&cid)[emmc_cid_size], const char *path = path_emmc_cid);
// 16 random bytes. 0, or -1 (said).
int draw_change_id(uint8_t (&id)[change_id_size]);
// True when KV_STORAGE of `table`, mounted read-only for the look, holds
// the mark of the change `id`: that change is complete. Unmounts again.
bool installation_shows_change(const mmc_partitions_fmt *table, const uint8_t *id);

// ---- The reserved area of a journalled change (change_journal.cpp) ----
// Each region of the reserved area (DTB copy 0, copy 1, the table) as found
// against the journal: what the change writes, or as it was before.
constexpr int reserved_region_count = 3;
struct reserved_area_state {
  bool written[reserved_region_count];
  bool before[reserved_region_count];
  bool interim[reserved_region_count];  // a copy without its partitions node, as written first
};
// Reads the journal's image into `image` (the table: the journal's new
// one) and compares the reserved partition with it. 0, or -1 (said).
int compare_reserved_area(const journal_state &state, reserved_image *image,
                          reserved_area_state *area);
// Nothing of the change was written.
bool reserved_area_untouched(const reserved_area_state &area);
// The area shows the change's write begun: a region of it (or an interim
// copy) is there, or only copy 0 (written first) differs from before.
bool reserved_area_of_change(const reserved_area_state &area);
// Writes the journal's image again (in write_reserved_image's order) unless
// every region already holds it. 0, or -1 (said).
int mend_reserved_area(const reserved_image *image, const reserved_area_state &area);

// ---- The layout change (change_journal.cpp) ----
// What a single-boot change's journal names besides the two tables.
struct layout_change {
  uint32_t operation;  // journal_operation_*
  int data_source;
  const char *snapshot;
};
// The journal of a change, before its first write to the reserved area:
// both tables, the area's `image` as the change writes it and its regions'
// crc as they are now, the eMMC's identity, a new identifier and, for a
// single-boot change, the moves between the tables. 0, or -1 (said).
int start_change_journal(int has_userdata, const mmc_partitions_fmt *old_table,
                         const mmc_partitions_fmt *new_table, const layout_change &change,
                         const reserved_image *image, relocation_journal &journal);
// After the point of no return: the new table and both DTB copies; then,
// given the table it replaces (single boot), the kept partitions move to
// their new places and KV_STORAGE is made afresh; last KV_FLASH is made
// afresh. 0, or -1 after the line of the step that failed.
// A single-boot change (`old_table` given) first writes its journal, with
// the operation, the data's source and the snapshot `change` names.
int write_new_layout(int has_userdata, const mmc_partitions_fmt *old_table,
                     const mmc_partitions_fmt *new_table, const layout_change *change,
                     relocation_journal &journal);
// KV_STORAGE (ext4, when `storage`) and KV_FLASH (vfat) made afresh. 0, or
// -1 after "Failed to format partition '%s'!". With `journal`, of a change
// that stands at `stage`: a filesystem the journal records as made (ext4) or
// whose copy it records as done is left alone, and each one made is recorded.
int make_installation_filesystems(const mmc_partitions_fmt *new_table, bool storage,
                                  relocation_journal *journal = nullptr,
                                  uint32_t stage = journal_stage_none);
// The journal of a single-boot change goes once the change is complete. 0,
// or -1 (said): a journal left behind would offer to finish it again.
int end_relocation_journal();
// The journal on the boot media names as its new table the one that
// "/dev/reserved" holds now.
bool journal_table_on_emmc();
// After a migration from the installation's own data: their saved copy on
// the boot media is on the eMMC again and goes. 0, or -1 (said).
int remove_saved_installation_data();

// ---- Recovery snapshot (recovery_snapshot.cpp) ----
// The table and both DTB copies, as they are before a table write.
constexpr uint64_t reserved_snapshot_size = 0x480000;
inline constexpr const char path_snapshot_folder[] = "/storage/backup/kvemmc";

// Saves the first 0x480000 bytes of `reserved` as a new file
// "reserved-YYYYMMDD-HHMMSS.img" (UTC; "-2", "-3", ... for a second one in the
// same second) in `folder`, made when missing. Checks the free space first,
// writes, makes the file durable, reads it back from the device and compares.
// Never replaces a file. Prints the file's name; 0, or -1 with the cause
// printed and no half-written file left.
int save_reserved_snapshot(const char *reserved = path_reserved_device,
                           const char *folder = path_snapshot_folder, char *saved = nullptr,
                           size_t saved_size = 0);
// The name that save_reserved_snapshot would give a snapshot now, for a plan.
// 0, or -1 with the cause printed.
int next_snapshot_name(char *path, size_t path_size, const char *folder = path_snapshot_folder);

// A dual-boot installation cut off between its device trees and its table
// leaves its trees beside Android's table. Where the reserved area holds
// copies as a write for `new_table` (dtb mode as in write_partition_table)
// leaves them, and the newest snapshot in `folder` of Android's trees beside
// the same table holds others, that snapshot's path goes to `found`: its
// trees are the factory's. Empty when there is none. 0, or -1 (said).
int find_factory_trees_snapshot(int dtb_mode, const mmc_partitions_fmt *new_table, char *found,
                                size_t found_size, const char *reserved = path_reserved_device,
                                const char *folder = path_snapshot_folder);

// ---- Android's data filesystem resized (resize_record.cpp) ----
inline constexpr const char path_resize_record[] = "/storage/backup/kvemmc/resize.record";
// e2fsck -fy and resize2fs of the filesystem in partition `name` of `table`
// to the partition's size, with a record on the boot media from before the
// check until the resize has ended, so that a start after a cut does both
// again (finish_interrupted_resize). 0, or -1 (said; the record stays).
int resize_data_filesystem(const mmc_partitions_fmt *table, const char *name);

// For a removal whose images of the factory state are missing or refused:
// the newest snapshot in `folder` of a table with the very partitions of
// `android_only` and two DTB copies the bootloader can take, the reserved
// area of this box before its installation. Its path goes to `found`,
// empty when there is none. 0.
int find_android_snapshot(const mmc_partitions_fmt *android_only, char *found, size_t found_size,
                          const char *folder = path_snapshot_folder);

// ---- The protected window of a layout change (critical_window.cpp) ----
// While it is open, SIGINT, SIGTERM and SIGQUIT are held back (the disk
// tools started meanwhile inherit that), so that a Ctrl-C cannot leave a
// table that points at half-moved or unformatted partitions. (SIGHUP is
// ignored for the whole run: a lost console stops nothing.)
constexpr int held_signal_count = 3;
struct critical_window {
  sigset_t previous;
  bool open = false;
  critical_window() = default;
  critical_window(const critical_window &) = delete;
  critical_window &operator=(const critical_window &) = delete;
  ~critical_window();  // closes it quietly, on a failure path
};
int open_critical_window(critical_window &window);
// Lets the signals through again. When one arrived meanwhile, it is taken
// (it does not end the process) and the run stops here: a line names it and
// the result is -1. 0 when none arrived.
int close_critical_window(critical_window &window);

// ---- A copy that Ctrl-C may end (critical_window.cpp) ----
// While a copy runs, SIGINT, SIGTERM and SIGQUIT only take note (rsync,
// started meanwhile, keeps their default and ends on them), so that the run
// can still unmount what it mounted.
struct copy_guard {
  struct sigaction previous[held_signal_count];
  copy_guard();
  copy_guard(const copy_guard &) = delete;
  copy_guard &operator=(const copy_guard &) = delete;
  ~copy_guard();
};
// 0, or -1 after a line naming the signal that arrived during the copy.
int check_copy_interrupted(const copy_guard &guard);
// The signal that arrived during the copy, or 0; says nothing.
int copy_signal_arrived();

// ---- The images of the factory state that a dual-boot installation keeps ----
struct dual_boot_images {
  owned<uint8_t> table;  // dual_boot_apt_backup.img
  owned<uint8_t> trees;  // dual_boot_dtb_backup.img
};
// The path of the image `name` in "/media/KV_STORAGE/kestrova_storage".
void image_path(char *path, size_t size, const char *name);
// Reads both images of "/media/KV_STORAGE/kestrova_storage" that exist into
// memory; one that cannot be read prints its line and is left out.
void keep_dual_boot_images(dual_boot_images &images);
// Writes each image held back into "/media/KV_STORAGE/kestrova_storage" and
// releases it; a write that fails prints `table_failed` or `trees_failed`
// (neither ends the operation).
void store_dual_boot_images(dual_boot_images &images, const char *table_failed,
                            const char *trees_failed);

// ---- A run's own changes, undone when it fails ----
struct operation_run {
  bool mounted = false;       // the temporary eMMC mounts were made
  bool kodi_stopped = false;  // this run stopped kodi
  bool journal_kept = false;  // a single-boot change's journal is on the boot media
  bool succeeded = false;
  operation_run() = default;
  operation_run(const operation_run &) = delete;
  operation_run &operator=(const operation_run &) = delete;
  // Unless the run succeeded: unmounts "/media/KV_FLASH" and
  // "/media/KV_STORAGE" (releasing their loop devices) and starts kodi again
  // if this run stopped it; names a journal that lets the next run finish
  // the change. Failures add their own line; the result stays a failure.
  ~operation_run();
};

// A removal of a dual boot installation once Android's table is written:
// Kestrova's folder goes from Android's data filesystem, mounted by `run` at
// "/media/KV_STORAGE", which is unmounted, checked and grown; then the
// journal goes and the removal reports itself done. 0, or -1 (said).
int end_removal(operation_run &run, const mmc_partitions_fmt *android_only);

// Loop-mounts KV_FLASH at "/media/KV_FLASH" or KV_STORAGE at
// "/media/KV_STORAGE" (`name`) for `run`, whose cleanup unmounts it on a
// failure; read-only in a dry run, and also `for_reading` (only copied out
// of: see loop_mount_partition_for_reading). 0, or -1 after "Failed to mount
// '%s' partition!".
int mount_installation_partition(operation_run &run, const mmc_partitions_fmt *table,
                                 const char *name, bool for_reading = false);
// Both, KV_FLASH first.
int mount_installation(operation_run &run, const mmc_partitions_fmt *table);
// Unmounts both temporary folders and releases their loop devices; then, in
// a real run, flushes "/dev/mmcblk0" to the eMMC, so that everything the
// operation wrote there is durable before its journal goes or its status
// word is written. 0, or -1 after "Failed to umount temporary Kestrova
// folder" or the flush's failure.
int unmount_installation(operation_run &run);
// fsync of "/dev/mmcblk0": what went to the eMMC through its loop devices
// and raw writes is on the device, past its write cache. 0, or -1 after
// "Failed to flush '/dev/mmcblk0': ...".
int flush_emmc();

// Copies the data into the installation mounted by `run` (copy_to_emmc).
// From the running system (`running_system`), kodi rests meanwhile and is
// started again whatever the copy's result. A Ctrl-C ends rsync, and the run
// after the cleanup. 0, or -1 after "Failed to move data from original media
// to eMMC" or the line of the step that failed.
// With the `journal` of a single-boot change that stands at `stage`: only the
// copies it does not record as done, each recorded, then the change's mark
// on KV_STORAGE, recorded too. Without one (a dual-boot installation), the
// images of the factory state in the storage folder stay as they are.
int copy_into_installation(operation_run &run, const char *flash_source,
                           const char *storage_source, bool running_system,
                           relocation_journal *journal = nullptr,
                           uint32_t stage = journal_stage_none);

// The run's status word, set and, in a real run, written to the marker at
// once: before the closing lines, which tell the user to power off or
// reboot, so that the word is on the boot media however the box is switched
// off. (The entry point writes it again at the end and reports a failure
// there.)
void set_status_word(const char *word);

// The closing lines and status word of an installation on the eMMC
// (`operation` journal_operation_install) or a migration to single boot
// (journal_operation_migrate), whether run at once or finished later; the
// run has succeeded.
void report_installed(operation_run &run, uint32_t operation);

// ---- The OP-TEE driver ----
// The OP-TEE driver's service keeps the reserved partition open while it
// runs. Before the question: whether the system has that unit at all
// (systemctl's LoadState; a box without it has nothing to stop). 0 with
// `present` set, or -1 after the line of the query that failed.
int find_optee_driver(bool &present);
// After the question, before the first write to the eMMC: the service is
// stopped when present (and not started again by this run). 0, or -1 after
// "Error stopping opentee_linuxdriver service".
int stop_optee_driver(bool present);

// "systemctl stop kodi" before the running system's /storage is copied, and
// "systemctl start kodi" after. 0 or -1, each with its line.
int stop_kodi(operation_run &run);
int start_kodi(operation_run &run);
