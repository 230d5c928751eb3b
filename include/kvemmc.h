// Process-wide settings, codes and small helpers shared by every subsystem.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

static_assert(std::endian::native == std::endian::little,
              "the eMMC partition table and the DTB blocks are read as little-endian records");
static_assert(sizeof(off_t) == 8, "64-bit file offsets are required (_FILE_OFFSET_BITS=64)");

// ---- Settings (written during start-up, read-only afterwards) ----
extern int verbose;                    // -v
extern int refuse_unsupported_device;  // cleared by -x
extern int refuse_no_recovery_device;  // cleared by --kestrova
extern uint64_t flash_partition_size;  // -f N, bytes
extern int long_help;                  // --help, --kestrova
extern int running_from_boot_media;    // 1, 0 or -1 (undetermined)
// -n, --dry-run: every step up to an operation's question, then its plan
// instead of the question; nothing is written, no marker either.
extern int dry_run;

// Scratch text buffer shared by the storage tools and the operations for
// command lines and text read back; valid only until its next use.
constexpr size_t scratch_buffer_size = 10240;
extern char *scratch_buffer;

// Status word an operation sets on success; written to the marker at exit.
extern const char *status_word;

constexpr uint64_t default_flash_partition_size = 0x20000000;  // 512 MiB

// ---- Codes passed from the menu to the operations ----
constexpr int install_mode_single_boot = 0;
constexpr int install_mode_dual_boot = 1;

constexpr int data_source_boot_media = 0;
constexpr int data_source_emmc = 1;
constexpr int data_source_backup = 2;

// ---- Status words ----
inline constexpr const char status_started[] = "KVEMMC_STARTED";
inline constexpr const char status_new[] = "KVEMMC_NEW";
inline constexpr const char status_renew[] = "KVEMMC_RENEW";
inline constexpr const char status_migrate[] = "KVEMMC_MIGRATE";
inline constexpr const char status_backup[] = "KVEMMC_BACKUP";
inline constexpr const char status_remove[] = "KVEMMC_REMOVE";

// ---- Fixed paths ----
inline constexpr const char path_emmc_device[] = "/dev/mmcblk0";
inline constexpr const char path_reserved_device[] = "/dev/reserved";
inline constexpr const char path_flash[] = "/flash";
inline constexpr const char path_storage[] = "/storage";
inline constexpr const char path_storage_config[] = "/storage/.config";
inline constexpr const char path_status_marker[] = "/storage/.config/boot.hint";
inline constexpr const char path_device_id[] = "/proc/device-tree/kestrova-dt-id";
inline constexpr const char path_mountinfo[] = "/proc/self/mountinfo";

// ---- Shared I/O messages ----
inline constexpr const char msg_open_read[] = "Error opening file for reading '%s'!\n";
inline constexpr const char msg_open_write[] = "Error opening file for writing '%s'!\n";
inline constexpr const char msg_seek[] = "Error seek file!";
inline constexpr const char msg_read[] = "Error reading file!";
inline constexpr const char msg_write[] = "Error writing file!";
// Printed as a line when the user declines a question or a menu.
inline constexpr const char msg_aborting[] = "\nAborting!\n";

// ---- Owners: what a function allocates or opens is released on every path ----
struct free_deleter {
  void operator()(void *p) const { free(p); }
};
template <typename T>
using owned = std::unique_ptr<T, free_deleter>;

// Zero-filled allocation of `size` bytes viewed as T, starting on a page
// boundary; null when it fails. Page alignment is what lets the kernel move
// large reads and writes of a block device without bouncing them (calloc
// hands back large blocks 16 bytes past a page, which costs a third of the
// throughput of a partition move).
constexpr size_t io_buffer_alignment = 4096;
template <typename T = uint8_t>
owned<T> allocate_zeroed(size_t size) {
  static_assert(alignof(T) <= io_buffer_alignment);
  // Exactly `size` bytes, not rounded up, so that the sanitizer build still
  // sees a read or write one byte past the end.
  if (size == 0) size = 1;
  void *memory = nullptr;
  if (posix_memalign(&memory, io_buffer_alignment, size) != 0) return owned<T>();
  memset(memory, 0, size);
  return owned<T>(static_cast<T *>(memory));
}

struct file_closer {
  void operator()(FILE *f) const {
    if (f) fclose(f);
  }
};
using owned_file = std::unique_ptr<FILE, file_closer>;
