// Android's data filesystem resized with a record on the boot media.
//
// resize2fs is not safe against a cut: a dual-boot installation shrinks the
// filesystem before its table, a removal grows it at its end, and either can
// leave it half-resized. The record, made durable before e2fsck starts and
// removed once resize2fs has ended, tells the next start to check and resize
// it again before anything else.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "frontend.h"
#include "operation_steps.h"
#include "region_io.h"
#include "storage.h"

namespace {

inline constexpr const char resize_magic[8] = {'K', 'V', 'R', 'S', 'I', 'Z', 'E', '1'};

struct resize_record {
  char magic[8];
  uint64_t emmc_size;
  char emmc_cid[emmc_cid_size];
  uint64_t offset;  // of the filesystem on the eMMC
  uint64_t size;    // what resize2fs makes of it
  uint32_t checksum;  // crc32 of every byte before it
};
static_assert(std::is_trivially_copyable_v<resize_record>);

uint32_t checksum_of(const resize_record &record) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(&record),
                                     static_cast<uInt>(offsetof(resize_record, checksum))));
}

// The record, durable under its name before the call returns.
int write_resize_record(const resize_record &record) {
  char fresh[320];
  snprintf(fresh, sizeof(fresh), "%s.new", path_resize_record);
  owned_fd file;
  if (open_region_file(file, fresh, region_create) != 0 ||
      write_region_at(file.fd, 0, &record, sizeof(record)) != 0 ||
      sync_region_file(file.fd) != 0 || close_region_file(file) != 0 ||
      rename(fresh, path_resize_record) != 0 || sync_folder_of(path_resize_record) != 0) {
    unlink(fresh);
    printf("Failed to write the resize record '%s'!\n", path_resize_record);
    return -1;
  }
  return 0;
}

int remove_resize_record() {
  if ((unlink(path_resize_record) != 0 && errno != ENOENT) ||
      sync_folder_of(path_resize_record) != 0) {
    printf("Failed to remove the resize record '%s'!\n", path_resize_record);
    return -1;
  }
  return 0;
}

// A sound record of this eMMC whose filesystem lies at the start of a
// partition of `table` (its name goes to `name`) that holds its size. 0, or
// -1 with the reason.
int check_resize_record(const resize_record &record, const mmc_partitions_fmt *table,
                        const char **why, const char **name) {
  char cid[emmc_cid_size];
  read_emmc_cid(cid);
  if (memcmp(record.magic, resize_magic, sizeof(resize_magic)) != 0 ||
      record.checksum != checksum_of(record) || record.emmc_cid[emmc_cid_size - 1] != '\0') {
    *why = "it is damaged or of another version";
    return -1;
  }
  if (record.emmc_size != block_device_size("mmcblk0") ||
      (record.emmc_cid[0] && cid[0] && strcmp(record.emmc_cid, cid) != 0)) {
    *why = "it was written on another eMMC";
    return -1;
  }
  for (uint32_t i = 0; i < table->part_num && i < max_partitions; i++) {
    const partition_entry &entry = table->entries[i];
    if (entry.offset == record.offset && entry.size >= record.size) {
      *name = entry.name;
      return 0;
    }
  }
  *why = "no partition of the table on the eMMC starts where its filesystem does";
  return -1;
}

}  // namespace

int resize_data_filesystem(const mmc_partitions_fmt *table, const char *name) {
  int index = 0;
  if (find_partition(table, name, &index) != 0) {
    printf("Could not find partition '%s'!\n", name);
    return -1;
  }
  const partition_entry &entry = table->entries[index];
  resize_record record;
  memset(&record, 0, sizeof(record));
  memcpy(record.magic, resize_magic, sizeof(resize_magic));
  record.emmc_size = block_device_size("mmcblk0");
  read_emmc_cid(record.emmc_cid);
  record.offset = entry.offset;
  record.size = entry.size;
  record.checksum = checksum_of(record);
  if (write_resize_record(record) != 0) return -1;
  if (check_and_resize_at(entry.offset, entry.size) != 0) return -1;
  return remove_resize_record();
}

int finish_interrupted_resize(const mmc_partitions_fmt *table) {
  struct stat info;
  if (stat(path_resize_record, &info) != 0) return 1;
  resize_record record;
  memset(&record, 0, sizeof(record));
  owned_fd file;
  const char *why = "it cannot be read whole", *name = "";
  const bool read = S_ISREG(info.st_mode) &&
                    static_cast<uint64_t>(info.st_size) == sizeof(record) &&
                    open_region_file(file, path_resize_record, O_RDONLY) == 0 &&
                    read_region_at(file.fd, 0, &record, sizeof(record)) == 0;
  if (!read || check_resize_record(record, table, &why, &name) != 0) {
    printf("\nThe resize record '%s' is not used (%s): delete the file to go on without it.\n",
           path_resize_record, why);
    return 1;
  }
  printf("\nAndroid's data filesystem in '%s' (at %llu MiB of eMMC) was being resized when the "
         "run before was cut off: it is checked and resized to %llu MiB again.\n",
         name, static_cast<unsigned long long>(record.offset >> 20),
         static_cast<unsigned long long>(record.size >> 20));
  if (dry_run) {
    puts("A dry run leaves it as it is.");
    return 1;
  }
  if (check_and_resize_at(record.offset, record.size) != 0) {
    puts("Failed to resize data partition!");
    printf("The resize record '%s' is kept for the next start.\n", path_resize_record);
    return -1;
  }
  return remove_resize_record() == 0 ? 1 : -1;
}
