// Helpers shared by the storage tools' units; not for other subsystems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kvemmc.h"
#include "partition_table.h"

// A zero-filled text buffer of `size` bytes; prints a line and gives null when
// the allocation fails.
owned<char> allocate_text(size_t size);

// Looks up the partition `name` (a safe name) and checks that its location can
// be handed to the tools: a non-zero offset and size, both and their sum within
// signed 64 bits. Prints why not and returns -1; 0 and the entry otherwise.
int locate_partition(const mmc_partitions_fmt *table, const char *name, partition_entry *entry);

// Runs "losetup --find" and checks the name it gives. Prints "Error getting
// next free loop" on failure. 0 or -1.
int find_free_loop(char *loop, size_t loop_size);

// A loop device this run attached; detached again when its owner goes,
// unless a mount took it over (see loop_mount_partition), so that no run
// leaves one attached until the next reboot.
struct loop_device {
  char name[loop_name_size] = {};
  bool attached = false;
  loop_device() = default;
  loop_device(const loop_device &) = delete;
  loop_device &operator=(const loop_device &) = delete;
  ~loop_device();
};
// Attaches a free loop device showing `device` from byte `offset` on (only
// `size` bytes of it when non-zero; read-only when asked). 0 or -1.
int attach_loop(loop_device &loop, const char *device, uint64_t offset, uint64_t size,
                bool read_only);
// "losetup -d"; 0, or -1 with its line.
int detach_loop(loop_device &loop);

// True when `text` points into the scratch buffer (a command built there would
// overwrite its own argument); prints a line then.
bool lies_in_scratch_buffer(const char *text);

// The command lines that make an installation's filesystems, shared by the
// formatting and by the scratch copy that measures a filesystem's room, so
// that both make the same filesystem. mke2fs: `label`, the fixed choices and
// `features` on `device`; inside the byte range from `offset` when it is not
// 0; `size` bytes (in whole MiB) when it is not 0, else the whole device.
// mkfs.vfat: `label` on `device`, all of it. `tail` is appended (" && sync").
// 0, or -1 when the line does not fit (said).
int form_mke2fs_command(char *buffer, size_t buffer_size, const char *label, const char *device,
                        const char *features, uint64_t offset, uint64_t size, const char *tail);
int form_mkfs_vfat_command(char *buffer, size_t buffer_size, const char *label,
                           const char *device, const char *tail);
