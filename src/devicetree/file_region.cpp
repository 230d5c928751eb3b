// Raw byte ranges between a file (or block device) and memory: partition
// contents during relocation and the backup images of the reserved partition.

#include <cstdint>
#include <cstdio>

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
  owned_fd file;
  if (open_region_file(file, path, region_create) != 0) return -1;
  if (write_region_at(file.fd, offset, buffer, size) != 0) return -1;
  // On the device, not just in the page cache: the caller goes on to the
  // next destructive step.
  if (sync_region_file(file.fd) != 0) return -1;
  return close_region_file(file);
}
