// Raw byte ranges between a file (or block device) and memory: partition
// contents during relocation and the backup images of the reserved partition.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "devicetree.h"
#include "internal.h"

namespace {

// One call moves at most 4 GiB - 1; a larger size (a whole partition, say)
// is refused rather than cut.
int check_region_size(uint64_t size) {
  if (size <= UINT32_MAX && size <= SIZE_MAX) return 0;
  printf("Region of %llu bytes is too large for one transfer!\n",
         static_cast<unsigned long long>(size));
  return -1;
}

int seek_to(FILE *file, uint64_t offset) {
  // fseeko takes a signed 64-bit offset.
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
    puts(msg_seek);
    return -1;
  }
  return 0;
}

}  // namespace

int read_file_at(FILE *file, uint64_t offset, void *buffer, uint64_t size) {
  if (seek_to(file, offset) != 0) return -1;
  if (size != 0 && fread(buffer, static_cast<size_t>(size), 1, file) != 1) {
    puts(msg_read);
    return -1;
  }
  return 0;
}

int write_file_at(FILE *file, uint64_t offset, const void *buffer, uint64_t size) {
  if (seek_to(file, offset) != 0) return -1;
  if (size != 0 && fwrite(buffer, static_cast<size_t>(size), 1, file) != 1) {
    puts(msg_write);
    return -1;
  }
  return 0;
}

int read_file_region(owned<uint8_t> &out, const char *path, uint64_t offset, uint64_t size) {
  out.reset();
  if (check_region_size(size) != 0) return -1;
  // A region of no bytes still gets a buffer the caller can release.
  owned<uint8_t> buffer = allocate_zeroed(size ? static_cast<size_t>(size) : 1);
  if (!buffer) {
    puts("malloc failed for backup!");
    return -1;
  }
  owned_file file(fopen(path, "rb+"));
  if (!file) {
    printf(msg_open_read, path);
    return -1;
  }
  if (read_file_at(file.get(), offset, buffer.get(), size) != 0) return -1;
  out = std::move(buffer);
  return 0;
}

int write_file_region(const uint8_t *buffer, const char *path, uint64_t offset, uint64_t size) {
  if (!buffer) {
    puts("backup is NULL!");
    return -1;
  }
  if (check_region_size(size) != 0) return -1;
  owned_file file(fopen(path, "wb+"));
  if (!file) {
    printf(msg_open_write, path);
    return -1;
  }
  if (write_file_at(file.get(), offset, buffer, size) != 0) return -1;
  // On the device, not just in the page cache: the caller goes on to the
  // next destructive step.
  if (fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0 ||
      fclose(file.release()) != 0) {
    puts(msg_write);
    return -1;
  }
  return 0;
}
