// Raw byte ranges between a file (or block device) and memory: the reserved
// partition's areas and the image files kept of them.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "region_io.h"

namespace {

// One call moves at most 4 GiB - 1; a larger size (a whole partition, say)
// is refused rather than cut.
int check_region_size(uint64_t size) {
  if (size <= UINT32_MAX && size <= SIZE_MAX) return 0;
  printf("Region of %llu bytes is too large for one transfer!\n",
         static_cast<unsigned long long>(size));
  return -1;
}

}  // namespace

int read_file_region(owned<uint8_t> &out, const char *path, uint64_t offset, uint64_t size) {
  out.reset();
  if (check_region_size(size) != 0) return -1;
  // A region of no bytes still gets a buffer the caller can release.
  owned<uint8_t> buffer = allocate_zeroed(size ? static_cast<size_t>(size) : 1);
  if (!buffer) {
    puts("malloc failed for backup!");
    return -1;
  }
  owned_fd file;
  if (open_region_file(file, path, O_RDONLY) != 0) return -1;
  if (read_region_at(file.fd, offset, buffer.get(), size) != 0) return -1;
  out = std::move(buffer);
  return 0;
}

int write_file_region(const uint8_t *buffer, const char *path, uint64_t offset, uint64_t size) {
  if (!buffer) {
    puts("backup is NULL!");
    return -1;
  }
  if (check_region_size(size) != 0) return -1;
  // Image files only: a device node is never made or replaced by a file.
  struct stat info;
  char fresh[320];
  if (strncmp(path, "/dev/", 5) == 0 || (lstat(path, &info) == 0 && !S_ISREG(info.st_mode)) ||
      snprintf(fresh, sizeof(fresh), "%s.new", path) >= static_cast<int>(sizeof(fresh))) {
    printf("'%s' is not an image file: refused!\n", path);
    return -1;
  }
  // Whole under its own name first, on the disk before it takes the image's
  // name: a cut leaves the old image or the new one.
  owned_fd file;
  if (open_region_file(file, fresh, region_create) != 0) return -1;
  if (write_region_at(file.fd, offset, buffer, size) != 0 || sync_region_file(file.fd) != 0 ||
      close_region_file(file) != 0 || rename(fresh, path) != 0) {
    unlink(fresh);
    printf(msg_open_write, path);
    return -1;
  }
  return sync_folder_of(path);
}
