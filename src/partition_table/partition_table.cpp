// The eMMC partition table record: checksum, verification, printing, reading
// and lookups by name.
#include "partition_table.h"

#include <cstring>

#include "frontend.h"
#include "region_io.h"

namespace {

uint32_t read_le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Compares a slot's name field (not necessarily terminated inside its 16
// bytes) with a zero-terminated name.
bool name_equals(const char (&field)[partition_name_size], const char *name) {
  size_t length = strnlen(name, partition_name_size);
  return length < partition_name_size && memcmp(field, name, length) == 0 &&
         field[length] == '\0';
}

}  // namespace

uint32_t partition_table_checksum(const partition_entry *first_entry, int count) {
  if (count <= 0) return 0;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(first_entry);
  uint32_t word_sum = 0;
  for (size_t i = 0; i < sizeof(partition_entry) / 4; i++) word_sum += read_le32(bytes + 4 * i);
  // The bootloader adds slot 0's words once per counted entry.
  return static_cast<uint32_t>(count) * word_sum;
}

int verify_partition_table(const mmc_partitions_fmt *table) {
  // "MPT" and its terminating zero fill the field exactly.
  static_assert(sizeof(partition_table_magic) == sizeof(table->magic));
  if (memcmp(table->magic, partition_table_magic, sizeof(table->magic)) != 0) {
    char magic[sizeof(table->magic) + 1];
    printable_text(magic, sizeof(magic), table->magic, sizeof(table->magic));
    printf("magic error: %s\n", table->magic[0] ? magic : "NULL");
  } else if (table->part_num == 0 || table->part_num > max_partitions) {
    printf("partition number error: %d\n", static_cast<int>(table->part_num));
  } else {
    uint32_t calculated =
        partition_table_checksum(table->entries, static_cast<int>(table->part_num));
    if (table->checksum == calculated) return 0;
    printf("checksum error: pt_fmt->checksum=%#x,calc_result=%#x\n", table->checksum,
           calculated);
  }
  puts("partition verified error");
  return -1;
}

int verify_and_print_partition_table(const mmc_partitions_fmt *table, int first) {
  if (verify_partition_table(table) != 0) return -1;
  for (int i = first > 0 ? first - 1 : 0;
       i < static_cast<int>(table->part_num) && i < static_cast<int>(max_partitions); i++) {
    const partition_entry &entry = table->entries[i];
    printf("[mmcblk0p%02d] %20s  offset 0x%012llx, size 0x%012llx [%llu MB], %s\n", i + 1,
           printable_slot_name(entry.name).text,
           static_cast<unsigned long long>(entry.offset),
           static_cast<unsigned long long>(entry.size),
           static_cast<unsigned long long>(entry.size >> 20), mask_type_name(entry.mask));
  }
  return 0;
}

int read_partition_table(owned<mmc_partitions_fmt> &out, const char *device) {
  out.reset();
  if (!path_exists(device)) {
    printf("Partition '%s' does not exist!\n", device);
    return -1;
  }
  owned<mmc_partitions_fmt> table = allocate_zeroed<mmc_partitions_fmt>(sizeof(mmc_partitions_fmt));
  if (!table) {
    puts("malloc failed for struct mmc_partitions_fmt!");
    return -1;
  }
  owned_fd file;
  if (open_block_device(file, device, O_RDONLY) != 0) return -1;
  if (read_region_at(file.fd, 0, table.get(), sizeof(mmc_partitions_fmt)) != 0) return -1;
  out = std::move(table);
  return 0;
}

int find_partition(const mmc_partitions_fmt *table, const char *name, int *index) {
  for (uint32_t i = 0; i < max_partitions; i++) {
    const partition_entry &entry = table->entries[i];
    if (entry.name[0] == '\0' || !name_equals(entry.name, name)) continue;
    if (index) *index = static_cast<int>(i);
    return 0;
  }
  return -1;
}

int find_data_partition(const mmc_partitions_fmt *table, int *index) {
  if (find_partition(table, "data", index) == 0) return 0;
  return find_partition(table, "userdata", index);
}

printable_name printable_slot_name(const char *field) {
  printable_name shown;
  printable_text(shown.text, sizeof(shown.text), field, partition_name_size);
  return shown;
}

const char *mask_type_name(uint64_t mask) {
  switch (static_cast<uint32_t>(mask)) {
    case mask_code:
      return "code";
    case mask_cache:
      return "cache";
    case mask_data:
      return "data";
    default:
      return "unkn";
  }
}
