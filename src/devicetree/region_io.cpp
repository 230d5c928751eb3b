// Raw region I/O: pread/pwrite at 64-bit offsets, whole regions only.
#include "region_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvemmc.h"

namespace {

// One system call moves at most this much, so that a region larger than
// ssize_t on a 32-bit box is moved in pieces rather than refused or cut.
constexpr uint64_t max_call_size = 1ull << 30;

int check_range(uint64_t offset, uint64_t size) {
  if (offset > static_cast<uint64_t>(INT64_MAX) || size > static_cast<uint64_t>(INT64_MAX) - offset) {
    puts(msg_seek);
    return -1;
  }
  return 0;
}

int transfer(int fd, bool writing, uint8_t *buffer, uint64_t offset, uint64_t size) {
  if (check_range(offset, size) != 0) return -1;
  while (size > 0) {
    size_t length = static_cast<size_t>(size < max_call_size ? size : max_call_size);
    off_t at = static_cast<off_t>(offset);
    ssize_t done = writing ? pwrite(fd, buffer, length, at) : pread(fd, buffer, length, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {  // an error, or the end of the file before the region's end
      puts(writing ? msg_write : msg_read);
      return -1;
    }
    buffer += done;
    offset += static_cast<uint64_t>(done);
    size -= static_cast<uint64_t>(done);
  }
  return 0;
}

}  // namespace

owned_fd::~owned_fd() {
  if (fd >= 0) close(fd);
}

int open_region_file(owned_fd &file, const char *path, int mode) {
  if (file.fd >= 0) close(file.fd);
  do {
    file.fd = open(path, mode | O_CLOEXEC, 0644);
  } while (file.fd < 0 && errno == EINTR);
  if (file.fd < 0) {
    printf(mode == O_RDONLY ? msg_open_read : msg_open_write, path);
    return -1;
  }
  return 0;
}

int open_block_device(owned_fd &file, const char *path, int mode) {
  struct stat info;
  // Looked at before the open: a FIFO there would hold the open up.
  if (stat(path, &info) != 0 || !S_ISBLK(info.st_mode)) {
    printf("'%s' is not a block device: refused!\n", path);
    return -1;
  }
  return open_region_file(file, path, mode & ~(O_CREAT | O_TRUNC));
}

int read_region_at(int fd, uint64_t offset, void *buffer, uint64_t size) {
  return transfer(fd, false, static_cast<uint8_t *>(buffer), offset, size);
}

int write_region_at(int fd, uint64_t offset, const void *buffer, uint64_t size) {
  // pwrite only reads the buffer.
  return transfer(fd, true, static_cast<uint8_t *>(const_cast<void *>(buffer)), offset, size);
}

int sync_region_file(int fd) {
  if (fsync(fd) != 0) {
    puts(msg_write);
    return -1;
  }
  return 0;
}

direct_transfers::direct_transfers(int descriptor, bool wanted) {
  if (!wanted) return;
  const int now = fcntl(descriptor, F_GETFL);
  if (now < 0 || fcntl(descriptor, F_SETFL, now | O_DIRECT) != 0) return;
  fd = descriptor;
  flags = now;
}

direct_transfers::~direct_transfers() {
  if (fd >= 0) fcntl(fd, F_SETFL, flags);
}

int drop_cached_pages(int fd) {
  if (sync_region_file(fd) != 0) return -1;
  // Only a hint to the kernel; what matters is that nothing dirty is left.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  return 0;
}

int close_region_file(owned_fd &file) {
  int fd = file.fd;
  file.fd = -1;
  if (fd >= 0 && close(fd) != 0) {
    puts(msg_write);
    return -1;
  }
  return 0;
}

int sync_folder_of(const char *path) {
  char folder[256];
  if (snprintf(folder, sizeof(folder), "%s", path) >= static_cast<int>(sizeof(folder))) return -1;
  char *slash = strrchr(folder, '/');
  if (!slash) return 0;
  slash[slash == folder ? 1 : 0] = '\0';
  owned_fd handle;
  if (open_region_file(handle, folder, O_RDONLY) != 0) return -1;
  return sync_region_file(handle.fd);
}
