// Raw region I/O on files and block devices: the one way the partition
// table, the DTB copies, the backup images and the partition moves are read
// and written. Offsets and sizes are 64-bit; a region is moved whole or the
// call fails (a short transfer is a failure); an interrupted call is simply
// repeated. Every failing function prints the shared I/O line of its
// failure and returns -1.
#pragma once

#include <fcntl.h>

#include <cstdint>

// An open descriptor, closed on every path.
struct owned_fd {
  int fd = -1;
  owned_fd() = default;
  owned_fd(const owned_fd &) = delete;
  owned_fd &operator=(const owned_fd &) = delete;
  ~owned_fd();
};

// Opens `path` for reading (O_RDONLY), for reading and writing (O_RDWR) or
// as a new file replacing any old one (region_create).
constexpr int region_create = O_RDWR | O_CREAT | O_TRUNC;
int open_region_file(owned_fd &file, const char *path, int mode);
// Opens the block device `path` for reading (O_RDONLY) or also writing
// (O_RDWR); it is never created. A missing node or anything else in its
// place (a plain file would take the writes and report success) is refused.
int open_block_device(owned_fd &file, const char *path, int mode);

int read_region_at(int fd, uint64_t offset, void *buffer, uint64_t size);
int write_region_at(int fd, uint64_t offset, const void *buffer, uint64_t size);

// Makes what was written durable on the device.
int sync_region_file(int fd);

// While it lives, the descriptor's transfers go between the caller's buffer
// and the device itself, past the page cache (O_DIRECT), if `wanted` and the
// kernel allows it there; otherwise, and after it, they are cached. Each
// transfer must then start and end on direct_alignment bytes, from a buffer
// aligned so (a page-aligned one is). A copy through the page cache first
// fills the cache with both ranges and then has to write it all back: on a
// block device that took the relocation 1.6 to 2 times as long as dd, and
// each flush of a journal record waits for that write-back.
constexpr uint64_t direct_alignment = 4096;
struct direct_transfers {
  int fd = -1;
  int flags = 0;
  direct_transfers(int descriptor, bool wanted);
  direct_transfers(const direct_transfers &) = delete;
  direct_transfers &operator=(const direct_transfers &) = delete;
  ~direct_transfers();
};

// Makes the names in the folder of `path` durable, so that a file created,
// renamed or removed there stays so.
int sync_folder_of(const char *path);

// Makes what was written durable and drops the cached pages of the file, so
// that a read that follows comes from the device itself.
int drop_cached_pages(int fd);

// Closes the descriptor and reports a failure to do so (a write the device
// refused late shows here).
int close_region_file(owned_fd &file);
