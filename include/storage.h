// Storage tools: the shell command runner and everything done through the
// platform's disk tools (mounts, loop devices, filesystems, space, copies).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kvemmc.h"
#include "partition_table.h"

// ---- Buffer capacities ----
constexpr size_t command_capture_size = 10240;  // bytes of output kept per command
constexpr size_t short_command_size = 512;
constexpr size_t long_command_size = 10240;
constexpr size_t loop_name_size = 256;

// ---- Temporary mounts of an installation's eMMC partitions ----
inline constexpr const char name_kv_flash[] = "KV_FLASH";
inline constexpr const char name_kv_storage[] = "KV_STORAGE";
inline constexpr const char path_emmc_flash_mount[] = "/media/KV_FLASH";
inline constexpr const char path_emmc_storage_mount[] = "/media/KV_STORAGE";
inline constexpr const char path_emmc_storage_data[] = "/media/KV_STORAGE/kestrova_storage";

// Every ext4 filesystem is made with exactly these features ("none" first
// clears mke2fs's own defaults).
inline constexpr const char ext4_features[] =
    "none,has_journal,ext_attr,resize_inode,dir_index,filetype,extent,flex_bg,"
    "sparse_super,large_file,huge_file,dir_nlink,extra_isize";

// Shared failure lines.
inline constexpr const char msg_cmd_failed[] = "Error executing cmd '%s'\n";
inline constexpr const char msg_mount_failed[] = "Failed to mount '%s' partition!\n";
inline constexpr const char msg_umount_failed[] = "Failed to umount temporary Kestrova folder";
inline constexpr const char msg_umount_folder_failed[] = "Failed to umount folder '%s'\n";
inline constexpr const char msg_remove_folder_failed[] = "Failed to remove folder '%s'\n";
// Printed as a line before a copy that should run to its end.
inline constexpr const char msg_do_not_interrupt[] =
    "Please do \e[1mNOT\e[0m interrupt this progress till it's finished!\n";
inline constexpr const char msg_copy_failed[] = "Failed to copy data from '%s' to '%s'\n";
inline constexpr const char msg_used_space_failed[] = "Failed to get used space of path '%s'!\n";

// ---- Command runner ----
// Runs `command` through /bin/sh. Standard output is read to its end; each
// byte is written (and flushed) to `echo` when given, and the first 10240
// bytes are kept. A final newline of the kept text is dropped. When `output`
// is given, the kept text is copied into it (at most output_size - 1 bytes,
// always terminated), also when the command fails.
// Returns 0 for exit code 0, minus the exit code for a non-zero one, minus
// (128 + signal) for a command ended by a signal, -1 when the shell could not
// be started or reaped.
int run_command(const char *command, char *output = nullptr, size_t output_size = 0,
                FILE *echo = nullptr);

// As run_command, for output read line by line: each line of standard
// output, without its newline, goes to `take` as it arrives, and the last one
// is kept in `last` (cut to last_size - 1 bytes) when given. Nothing is echoed.
using line_reader = void (*)(void *context, const char *line);
int run_command_lines(const char *command, line_reader take, void *context, char *last = nullptr,
                      size_t last_size = 0);

// How a command ended, for callers that read the exit code itself.
struct command_outcome {
  int completed;  // 1: the shell was started and reaped
  int exit_code;  // valid when completed and signal == 0
  int signal;     // non-zero: the command was ended by this signal
};
// As run_command; also fills `outcome`.
int run_command_outcome(const char *command, char *output, size_t output_size, FILE *echo,
                        command_outcome *outcome);

// Forms a command line in `buffer` (refused when it does not fit) and runs
// it, echoing its output to `echo` when given. A failed command adds
// "Error executing cmd '%s'" to run_command's own line. 0 or -1.
int run_formatted(char *buffer, size_t size, FILE *echo, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Forms a command line with snprintf semantics. A line that does not fit
// `size` bytes is refused with a message (and must not be run): -1, else 0.
int format_command(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Values inserted into command lines must pass these checks. A name holds only
// letters, digits, '_', '-' and '.'; a path may hold '/' too. Neither may be
// empty or begin with '-'. On refusal the check prints "Unsafe <what> '...'
// refused!" (the text made printable) and returns false.
bool check_safe_name(const char *what, const char *text);
bool check_safe_path(const char *what, const char *text);

// ---- Mounts and loop devices ----
// Mounts are looked up in a table of the form of "/proc/self/mountinfo"
// (path_mountinfo): mount point and source compared whole, the kernel's
// octal escapes ("\040" for a space) decoded.
struct mount_line {
  const char *point;
  const char *source;
  dev_t device;  // the MAJOR:MINOR field; 0 where it cannot be read
};
struct folder_mounts {
  bool on;           // a filesystem is mounted on exactly the folder
  bool at_or_below;  // on it or on a folder inside it
  char source[loop_name_size];  // the source of the last mount on it (in sight)
};
int look_up_mounts(const char *mountinfo, const char *folder, folder_mounts *found);
// Where the filesystem of `device` is mounted (the first such mount) into
// `point`, cut to its size: true, or false when it is nowhere or the table
// cannot be read (said nowhere).
bool device_mount_point(const char *mountinfo, dev_t device, char *point, size_t point_size);
// The partition of the disk `device` ("sda", "mmcblk1") that `source` names:
// 0 for the whole disk ("/dev/sda"), N for "/dev/sdaN" or "/dev/mmcblk1pN",
// -1 for anything else ("/dev/sdaa1", "/dev/mmcblk10p1").
int partition_of(const char *device, const char *source);
// 1 when a filesystem is mounted on exactly the folder, 0 not mounted or not
// a directory, -1 failure.
int is_mounted(const char *folder);
// 0 when neither "/media/KV_FLASH" nor "/media/KV_STORAGE" is a mount point;
// otherwise -1 with a line: partitions are moved and formatted only with
// nothing of the eMMC mounted there.
int check_installation_unmounted();
// True when the filesystem mounted at `folder` is the disk `device` ("sda",
// "mmcblk1") or one of its partitions.
bool device_holds_mount(const char *device, const char *folder);
// 0 unmounted or nothing to do, -1 failure.
int unmount_path(const char *folder);
// Attaches a free loop device at the partition's offset of `device` (the whole
// eMMC) and mounts it read-write on `folder` (created when missing); the loop
// device is detached when the folder is unmounted (unmount_path). 0 or -1.
int loop_mount_partition(const mmc_partitions_fmt *table, const char *name, const char *folder,
                         const char *device = path_emmc_device);
// The same read-only ("ro,noload": no journal replay, no superblock update),
// for measuring a filesystem that must stay untouched.
int loop_mount_partition_read_only(const mmc_partitions_fmt *table, const char *name,
                                   const char *folder, const char *device = path_emmc_device);
// The same mounted "ro" over a writable loop device, for copying out of a
// filesystem: ext4 replays a journal that a power cut left (so what is read
// is what was written), and nothing else is written (no access times, no
// mount count, no vfat dirty flag).
int loop_mount_partition_for_reading(const mmc_partitions_fmt *table, const char *name,
                                     const char *folder, const char *device = path_emmc_device);
// True when `folder` is a mount point at which this run mounted a partition
// (and its loop device is what is mounted there now); otherwise prints why
// not and gives false.
bool check_own_mount(const char *folder);
// True for any folder outside "/media/KV_FLASH" and "/media/KV_STORAGE", and
// for one inside them while check_own_mount holds for its mount point.
bool check_temp_mount_target(const char *folder);
// Removes every entry inside the folder (the folder stays). 0 also for a
// missing folder or none given; -1 failure (also when check_temp_mount_target
// refuses the folder).
int clear_folder(const char *folder);
// Removes the folder and its content. 0 also for a missing folder or none.
int remove_folder(const char *folder);
// As remove_folder, but when the folder holds the images of the factory
// state (see copy_beside_factory_images), they and the folder stay: every
// other entry goes.
int empty_folder_beside_factory_images(const char *folder);
// Unmounts every mount whose source is the disk `device` (named without
// "/dev/") or one of its partitions and removes the mount folders; with `delete_partitions` also deletes each
// mounted partition (1 to 9) from the disk's table. 0 or -1.
int unmount_device(const char *device, int delete_partitions);
// Unmounts "/media/KV_FLASH", then "/media/KV_STORAGE". 0 or -1.
int unmount_temp_folders();

// ---- Filesystem creation and repair ----
// mke2fs on `device`; with a non-zero offset and size inside that byte range
// of it, else on the whole device. 0 or -1.
int format_ext4(const char *label, const char *device, const char *features, uint64_t offset,
                uint64_t size);
int format_ext4_partition(const mmc_partitions_fmt *table, const char *name,
                          const char *device = path_emmc_device);
int format_vfat(const char *label, const char *device);
// Through a loop device that covers exactly the partition.
int format_vfat_partition(const mmc_partitions_fmt *table, const char *name,
                          const char *device = path_emmc_device);
// The type of the filesystem in the partition as blkid probes it ("ext4",
// "f2fs", ...) into `type`, empty when none is found. 0, or -1 when the probe
// could not be made.
int partition_filesystem(const mmc_partitions_fmt *table, const char *name, char *type,
                         size_t type_size, const char *device = path_emmc_device);
// Forced e2fsck, then resize2fs to the partition's size. Builds its command
// lines in the scratch buffer. 0 or -1.
int check_and_resize(const mmc_partitions_fmt *table, const char *name,
                     const char *device = path_emmc_device);
// The same for the filesystem at `offset` of `device`, to `size` bytes.
int check_and_resize_at(uint64_t offset, uint64_t size, const char *device = path_emmc_device);

// ---- The kernel's devices of the eMMC's partitions ----
// The running kernel has a device "/dev/NAME" for each partition of the table
// it read at boot, at that table's offsets, each with a page cache of its own.
inline constexpr const char path_device_folder[] = "/dev";
// Before the question of an operation that changes the layout: no such
// device of `table` (those in `folder` that are block devices) is mounted,
// held by another device, or the backing file of a loop device. 0, or -1
// with a line that names the device and what uses it.
int check_partition_devices_free(const mmc_partitions_fmt *table,
                                 const char *folder = path_device_folder);
// After the consent, before the layout changes to `new_table`: the dirty
// pages of each such device whose partition does not keep its place and
// size there written (fsync) and its cache dropped (BLKFLSBUF), so that
// nothing cached at an old offset reaches another partition later, and
// nothing stale is read there. 0, or -1 with the line of the device that
// failed.
int flush_partition_devices(const mmc_partitions_fmt *table, const mmc_partitions_fmt *new_table,
                            const char *folder = path_device_folder);

// ---- Space accounting and data copy ----
// Bytes available to unprivileged users on the folder's filesystem; 0 when
// unknown.
uint64_t free_space(const char *folder);
uint64_t print_free_space(const char *label, const char *folder);
// What a copy of a folder takes. A storage tree (a system's "/storage", or a
// copy of one on the eMMC or in a backup) may hold the tool's own folder
// "backup/kvemmc" (recovery snapshots, the relocation journal): it belongs to
// the media it lies on and never travels, so a copy of a storage tree, and
// the measurement of what that copy needs, leave it out.
// A dual-boot installation keeps the images of the factory state in its
// storage folder (devicetree.h names them): a copy into that folder that
// replaces its content spares them, and takes no file of those names from
// the source.
enum copy_scope { copy_whole_tree, copy_without_own_folder, copy_beside_factory_images };
// The mark of a complete backup: a small file at the top of each backup
// folder on the boot media, written and made durable once the folder's copy
// is. It belongs to the backup, not to its data: a copy or measurement of a
// tree that holds it at its top (whatever the scope) leaves it out, so that
// it reaches no installation and no other backup.
inline constexpr const char backup_mark_name[] = ".kvemmc-backup-complete";
// What a copy takes on a filesystem beyond the files' bytes: their blocks
// and the folders. Counted from the list of the same dry run that gives the
// used space, for each allocation unit from 512 bytes to 64 KiB.
constexpr int census_units = 8;
constexpr uint64_t census_unit(int index) { return 512ull << index; }
struct tree_census {
  uint64_t bytes = 0;             // the files' sizes, as rsync's total
  uint64_t files = 0;             // entries that are no folder (files, links, devices)
  uint64_t folders = 0;           // the tree's top folder among them
  uint64_t ext4_entry_bytes = 0;  // what the entries fill in ext4 folders
  uint64_t fat_entry_slots = 0;   // 32-byte vfat entries, long names included
  uint64_t fat_top_slots = 0;     // those of the entries at the top
  uint64_t units[census_units] = {};          // each file in whole units
  uint64_t extent_blocks[census_units] = {};  // ext4 extent trees, at worst
};
// One entry of the tree: `path` relative to its top ("." or "" the top
// folder itself), `size` bytes for anything but a folder.
void count_in_census(tree_census &census, uint64_t size, const char *path, bool folder);
// One line "SIZE NAME" of the dry run's list (NAME ending in "/" for a
// folder). False for any other line, which counts nothing.
bool count_listed_entry(tree_census &census, const char *line);

// Total size of the files below the folder that a copy of `scope` takes, as
// an rsync dry run counts it. Builds its command in the scratch buffer (the
// folder must not lie in it). 0 and the count in `bytes` (if given), or -1.
// Given `census`, it is filled from the dry run's list of the same files.
int used_space(const char *folder, uint64_t *bytes, copy_scope scope,
               tree_census *census = nullptr);
int print_used_space(const char *label, const char *folder, uint64_t *bytes, copy_scope scope,
                     tree_census *census = nullptr);

// ---- The room of a filesystem made afresh ----
enum new_filesystem { new_ext4, new_vfat };
struct filesystem_room {
  uint64_t bytes = 0;               // for files and folders
  uint32_t unit = 0;                // its block or cluster size
  uint64_t inodes = UINT64_MAX;     // ext4: free inodes
  uint64_t top_slots = UINT64_MAX;  // FAT12/16: free entries of the fixed root folder
  bool estimated = false;           // margins, not a measurement
};
// The room that format_ext4_partition or format_vfat_partition leaves in a
// partition of `size` bytes, with `label`: the filesystem made the same way
// in a sparse file in a scratch folder under `parent`, read, removed. When
// that cannot be done, estimated with margins, and a line says so. 0, or -1
// for a label or folder that cannot go into a command line (said).
int measure_new_filesystem_room(new_filesystem kind, const char *label, uint64_t size,
                                filesystem_room *room, const char *parent = "/tmp");
// The figures of a boot sector or superblock (bytes of a file of
// `file_size` bytes that the tool wrote, checked all the same). 0, or -1 for
// anything out of bounds or inconsistent.
int read_fat_room(const uint8_t *sector, size_t length, uint64_t file_size, filesystem_room *room);
int read_ext4_room(const uint8_t *superblock, size_t length, uint64_t file_size,
                   filesystem_room *room);
void estimate_room(new_filesystem kind, uint64_t size, filesystem_room *room);
// Bytes that a copy of the tree takes on such a filesystem with blocks or
// clusters of `unit` bytes; UINT64_MAX for a unit the census has not counted.
uint64_t copy_need(const tree_census &census, new_filesystem kind, uint32_t unit);
// rsync in archive mode of the content of `source` into `destination`.
int copy_folder(const char *source, const char *destination, copy_scope scope);
// Replaces `destination` by a copy of `source`.
int mirror_folder(const char *source, const char *destination, copy_scope scope);
// Replaces the content of "/media/KV_FLASH" with `flash_source` and the
// folder "/media/KV_STORAGE/kestrova_storage" with `storage_source` (without
// the own folder; of `storage_scope`); either may be null (that target is
// left alone). `announce` prints the lines that say the copy starts.
int copy_to_emmc(const char *flash_source, const char *storage_source, bool announce = true,
                 copy_scope storage_scope = copy_without_own_folder);
