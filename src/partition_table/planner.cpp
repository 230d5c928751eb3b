// Plans the partition tables an installation writes: dual boot beside
// Android, single boot in the data or the userdata layout, and the table the
// removal of dual boot leaves. Nothing here writes to the eMMC; every table a
// builder hands back has passed check_planned_table.
#include <cstring>

#include "frontend.h"
#include "partition_table.h"
#include "planner_internal.h"
#include "storage.h"

namespace {

// Space left in front of a partition placed behind another one, and the wider
// gap behind a partition whose mask has bit 0x100.
constexpr uint64_t partition_gap = 0x800000;
constexpr uint64_t wide_partition_gap = 0x2000000;
constexpr uint64_t wide_gap_mask_bit = 0x100;
constexpr uint64_t created_partition_mask = 4;

constexpr char msg_room[] = "Free space of 'partition %s': %lldMB\n";
constexpr char msg_single_failed[] = "Failed to create partition table for single boot installation!";
constexpr char msg_dual_failed[] = "Failed to create partition table for dual boot installation!";
constexpr char msg_size_failed[] = "Failed to read size of partition '%s'!\n";
constexpr char msg_free_failed[] = "Failed to read free space of partition '%s'!\n";
constexpr char msg_no_room_in_data[] =
    "Partition '%s' has only %lldMB free, less than the %lldMB that '%s' takes from it!\n";
constexpr char msg_no_data_partition[] = "Could not find data partition!";
constexpr char msg_data_too_small[] =
    "Data partition '%s' (%lldMB) is too small to give %lldMB to '%s'!\n";
constexpr char msg_no_bootloader[] = "No bootloader partition found!";
constexpr char msg_no_reserved[] = "No reserved partition found!";
constexpr char msg_missing_warning[] = "Warning: Could not find '%s' partition!\n";
constexpr char msg_table_full[] = "Partition table is full: no slot left for '%s'!\n";
constexpr char msg_beyond_range[] = "Partition '%s' would lie beyond the end of the eMMC!\n";
constexpr char msg_flash_not_behind_data[] =
    "Partition '%s' does not begin where data partition '%s' ends!\n";
// check_planned_table
constexpr char msg_emmc_size_unknown[] = "Size of the eMMC is unknown!";
constexpr char msg_bad_name[] = "Partition %u has no valid name (1 to 15 characters)!\n";
constexpr char msg_name_twice[] = "Partition name '%s' is used twice!\n";
constexpr char msg_outside_emmc[] =
    "Partition '%s' (offset 0x%012llx, size 0x%012llx) does not fit on the eMMC of 0x%012llx "
    "bytes!\n";
constexpr char msg_overlap[] = "Partitions '%s' and '%s' overlap!\n";
constexpr char msg_empty[] = "Partition '%s' is empty!\n";

long long mib(uint64_t bytes) { return static_cast<long long>(bytes >> 20); }

bool name_is(const partition_entry &entry, const char *name) {
  return strncmp(entry.name, name, partition_name_size) == 0;
}

bool name_valid(const partition_entry &entry) {
  size_t length = strnlen(entry.name, partition_name_size);
  return length >= 1 && length < partition_name_size;
}

// End of a range, or false when it does not fit in 64 bits.
bool range_end(uint64_t offset, uint64_t size, uint64_t *end) {
  return !__builtin_add_overflow(offset, size, end);
}

uint64_t resolve_emmc_size(uint64_t emmc_size) {
  return emmc_size != measure_emmc_size ? emmc_size : block_device_size("mmcblk0");
}

// Copies `entry` into the next free slot at `offset`.
int append_slot(mmc_partitions_fmt *table, const partition_entry &entry, uint64_t offset) {
  if (table->part_num >= max_partitions) {
    printf(msg_table_full, printable_slot_name(entry.name).text);
    return -1;
  }
  partition_entry &slot = table->entries[table->part_num];
  slot = entry;
  slot.offset = offset;
  table->part_num++;
  return 0;
}

partition_entry created_entry(const char *name, uint64_t size) {
  partition_entry entry;
  memset(&entry, 0, sizeof(entry));
  strncpy(entry.name, name, sizeof(entry.name));
  entry.size = size;
  entry.mask = created_partition_mask;
  return entry;
}

// Where a partition placed behind the table's last slot begins: 8 MiB behind
// its end, 32 MiB when its mask has bit 0x100.
int next_place(const mmc_partitions_fmt *table, const char *name, uint64_t *offset) {
  const partition_entry &last = table->entries[table->part_num - 1];
  uint64_t gap = (last.mask & wide_gap_mask_bit) ? wide_partition_gap : partition_gap;
  uint64_t end;
  if (!range_end(last.offset, last.size, &end) || !range_end(end, gap, offset)) {
    printf(msg_beyond_range, name);
    return -1;
  }
  return 0;
}

int append_placed(mmc_partitions_fmt *table, const partition_entry &entry) {
  uint64_t offset;
  if (next_place(table, printable_slot_name(entry.name).text, &offset) != 0) return -1;
  return append_slot(table, entry, offset);
}

// The old slot of `name` placed behind the last slot, unless the new table
// already holds that name (a partition is placed once).
int append_kept(mmc_partitions_fmt *table, const mmc_partitions_fmt *old_table, const char *name) {
  int index;
  if (find_partition(old_table, name, &index) != 0) return 0;
  if (find_partition(table, name, nullptr) == 0) return 0;
  return append_placed(table, old_table->entries[index]);
}

// KV_FLASH of flash_partition_size and KV_STORAGE up to the end of the eMMC,
// each placed behind the slot before it.
int append_installation(mmc_partitions_fmt *table, uint64_t emmc_size) {
  if (append_placed(table, created_entry(name_kv_flash, flash_partition_size)) != 0) return -1;
  uint64_t offset;
  if (next_place(table, name_kv_storage, &offset) != 0) return -1;
  if (offset >= emmc_size) {
    printf(msg_beyond_range, name_kv_storage);
    return -1;
  }
  return append_slot(table, created_entry(name_kv_storage, emmc_size - offset), offset);
}

void start_table(mmc_partitions_fmt *table, const mmc_partitions_fmt *from) {
  memset(table, 0, sizeof(*table));
  memcpy(table->magic, from->magic, sizeof(table->magic));
  memcpy(table->version, from->version, sizeof(table->version));
}

// Fixes the checksum and checks the table as a whole.
int finish_table(mmc_partitions_fmt *table, uint64_t emmc_size) {
  table->checksum = partition_table_checksum(table->entries, static_cast<int>(table->part_num));
  return check_planned_table(table, emmc_size);
}

// Data layout: the keep list is packed from the bootloader's end up to the
// reserved partition; from the first partition that does not fit there on,
// the rest goes behind the reserved partition.
int place_data_layout(mmc_partitions_fmt *table, const mmc_partitions_fmt *old_table,
                      uint64_t running_end) {
  int reserved;
  if (find_partition(old_table, name_reserved, &reserved) != 0) {
    puts(msg_no_reserved);
    return -1;
  }
  const partition_entry &reserved_entry = old_table->entries[reserved];
  bool in_front = true;
  for (const char *name : data_layout_keep_list) {
    int index;
    if (find_partition(old_table, name, &index) != 0) {
      printf(msg_missing_warning, name);
      continue;
    }
    const partition_entry &entry = old_table->entries[index];
    bool fits = running_end <= reserved_entry.offset &&
                reserved_entry.offset - running_end >= entry.size;
    if (in_front && !fits) {
      in_front = false;
      if (!range_end(reserved_entry.offset, reserved_entry.size, &running_end)) {
        printf(msg_beyond_range, name_reserved);
        return -1;
      }
      if (append_slot(table, reserved_entry, reserved_entry.offset) != 0) return -1;
    }
    if (append_slot(table, entry, running_end) != 0) return -1;
    if (!range_end(running_end, entry.size, &running_end)) {
      printf(msg_beyond_range, name);
      return -1;
    }
  }
  if (in_front) return append_slot(table, reserved_entry, reserved_entry.offset);
  return 0;
}

// Userdata layout: the reserved partition at its own place, then the keep
// list, the partitions verified boot needs and "super", each behind the last.
int place_userdata_layout(mmc_partitions_fmt *table, const mmc_partitions_fmt *old_table,
                          const avb_partition_list *avb_list) {
  int reserved;
  if (find_partition(old_table, name_reserved, &reserved) != 0) {
    puts(msg_no_reserved);
    return -1;
  }
  if (append_slot(table, old_table->entries[reserved], old_table->entries[reserved].offset) != 0)
    return -1;
  for (const char *name : userdata_layout_keep_list) {
    if (append_kept(table, old_table, name) != 0) return -1;
  }
  if (avb_list) {
    for (uint32_t i = 0; i < avb_list->count && i < max_partitions; i++) {
      if (append_kept(table, old_table, avb_list->names[i]) != 0) return -1;
    }
  }
  return append_kept(table, old_table, name_super);
}

}  // namespace

int check_planned_table(const mmc_partitions_fmt *table, uint64_t emmc_size) {
  if (verify_partition_table(table) != 0) return -1;
  if (emmc_size == 0) {
    puts(msg_emmc_size_unknown);
    return -1;
  }
  int data = -1;
  find_data_partition(table, &data);
  for (uint32_t i = 0; i < table->part_num; i++) {
    const partition_entry &entry = table->entries[i];
    if (!name_valid(entry)) {
      printf(msg_bad_name, i + 1);
      return -1;
    }
    uint64_t end;
    if (!range_end(entry.offset, entry.size, &end) || end > emmc_size) {
      printf(msg_outside_emmc, printable_slot_name(entry.name).text, static_cast<unsigned long long>(entry.offset),
             static_cast<unsigned long long>(entry.size), static_cast<unsigned long long>(emmc_size));
      return -1;
    }
    if (entry.size == 0 && (name_is(entry, name_kv_flash) || name_is(entry, name_kv_storage))) {
      printf(msg_empty, entry.name);
      return -1;
    }
    for (uint32_t j = 0; j < i; j++) {
      const partition_entry &other = table->entries[j];
      if (strncmp(entry.name, other.name, partition_name_size) == 0) {
        printf(msg_name_twice, printable_slot_name(entry.name).text);
        return -1;
      }
      bool disjoint = entry.size == 0 || other.size == 0 || end <= other.offset ||
                      other.offset + other.size <= entry.offset;
      // Dual boot: KV_STORAGE is a second name for the data partition.
      bool same_as_data = data >= 0 && entry.offset == other.offset && entry.size == other.size &&
                          ((name_is(entry, name_kv_storage) && j == static_cast<uint32_t>(data)) ||
                           (name_is(other, name_kv_storage) && i == static_cast<uint32_t>(data)));
      if (!disjoint && !same_as_data) {
        printf(msg_overlap, printable_slot_name(other.name).text, printable_slot_name(entry.name).text);
        return -1;
      }
    }
  }
  return 0;
}

int build_dual_boot_table(const mmc_partitions_fmt *old_table, mmc_partitions_fmt *new_table,
                          uint64_t emmc_size) {
  memcpy(new_table, old_table, sizeof(*new_table));
  int data;
  if (find_data_partition(old_table, &data) != 0) {
    puts(msg_no_data_partition);
    return -1;
  }
  partition_entry &data_entry = new_table->entries[data];
  if (data_entry.size <= flash_partition_size) {
    printf(msg_data_too_small, printable_slot_name(data_entry.name).text, mib(data_entry.size),
           mib(flash_partition_size), name_kv_flash);
    return -1;
  }
  data_entry.size -= flash_partition_size;
  partition_entry storage = created_entry(name_kv_storage, data_entry.size);
  storage.mask = data_entry.mask;
  if (append_slot(new_table, storage, data_entry.offset) != 0) return -1;
  if (append_slot(new_table, created_entry(name_kv_flash, flash_partition_size),
                  data_entry.offset + data_entry.size) != 0)
    return -1;
  return finish_table(new_table, resolve_emmc_size(emmc_size));
}

int place_single_boot_table(int has_userdata, const mmc_partitions_fmt *old_table,
                            mmc_partitions_fmt *new_table, const avb_partition_list *avb_list,
                            uint64_t emmc_size) {
  start_table(new_table, old_table);
  if (emmc_size == 0) {
    puts(msg_emmc_size_unknown);
    return -1;
  }
  int bootloader;
  if (find_partition(old_table, name_bootloader, &bootloader) != 0) {
    puts(msg_no_bootloader);
    return -1;
  }
  const partition_entry &boot = old_table->entries[bootloader];
  uint64_t running_end;
  if (!range_end(boot.offset, boot.size, &running_end)) {
    printf(msg_beyond_range, name_bootloader);
    return -1;
  }
  if (append_slot(new_table, boot, boot.offset) != 0) return -1;
  int placed = has_userdata ? place_userdata_layout(new_table, old_table, avb_list)
                            : place_data_layout(new_table, old_table, running_end);
  if (placed != 0 || append_installation(new_table, emmc_size) != 0) return -1;
  return finish_table(new_table, emmc_size);
}

int build_single_boot_table(int has_userdata, const mmc_partitions_fmt *old_table,
                            mmc_partitions_fmt *new_table, avb_partition_list *avb_list,
                            uint64_t emmc_size) {
  emmc_size = resolve_emmc_size(emmc_size);
  if (has_userdata && avb_list) {
    const int found = collect_avb_partitions(old_table, avb_list);
    if (found < 0) return -1;
    if (found == 0) avb_list = nullptr;
  }
  return place_single_boot_table(has_userdata, old_table, new_table, avb_list, emmc_size);
}

int build_android_only_table(const mmc_partitions_fmt *dual_boot_table,
                             mmc_partitions_fmt *new_table, uint64_t emmc_size) {
  start_table(new_table, dual_boot_table);
  int data, flash;
  if (find_data_partition(dual_boot_table, &data) != 0) {
    puts(msg_no_data_partition);
    return -1;
  }
  if (find_partition(dual_boot_table, name_kv_flash, &flash) != 0) {
    printf(msg_partition_not_found, name_kv_flash);
    return -1;
  }
  const partition_entry &data_entry = dual_boot_table->entries[data];
  const partition_entry &flash_entry = dual_boot_table->entries[flash];
  uint64_t data_end;
  if (!range_end(data_entry.offset, data_entry.size, &data_end) || data_end != flash_entry.offset) {
    printf(msg_flash_not_behind_data, name_kv_flash, printable_slot_name(data_entry.name).text);
    return -1;
  }
  // Every other slot keeps its order; the data partition takes back exactly
  // the bytes of the KV_FLASH slot.
  for (uint32_t i = 0; i < dual_boot_table->part_num && i < max_partitions; i++) {
    const partition_entry &entry = dual_boot_table->entries[i];
    if (entry.name[0] == '\0' || name_is(entry, name_kv_storage) || name_is(entry, name_kv_flash))
      continue;
    partition_entry &slot = new_table->entries[new_table->part_num++];
    slot = entry;
    if (i == static_cast<uint32_t>(data)) slot.size += flash_entry.size;
  }
  return finish_table(new_table, resolve_emmc_size(emmc_size));
}

int partition_size(const mmc_partitions_fmt *table, const char *name, uint64_t *size) {
  int index;
  if (find_partition(table, name, &index) != 0) {
    printf(msg_partition_not_found, name);
    return -1;
  }
  if (size) *size = table->entries[index].size;
  return 0;
}

int partition_free_space(const mmc_partitions_fmt *table, const char *name, uint64_t *free_bytes,
                         const char *device) {
  if (loop_mount_partition_read_only(table, name, path_emmc_storage_mount, device) < 0) {
    printf(msg_mount_failed, name);
    return -1;
  }
  snprintf(scratch_buffer, scratch_buffer_size, "partition %s", name);
  if (free_bytes) *free_bytes = print_free_space(scratch_buffer, path_emmc_storage_mount);
  if (unmount_temp_folders() < 0) {
    puts(msg_umount_failed);
    return -1;
  }
  return 0;
}

int plan_partition_table(int install_mode, int has_userdata, const mmc_partitions_fmt *old_table,
                         mmc_partitions_fmt *new_table, avb_partition_list *avb_list,
                         uint64_t *flash_room, uint64_t *storage_room, uint64_t emmc_size,
                         const char *device) {
  if (!flash_room || !storage_room) return -1;
  *flash_room = flash_partition_size;
  printf(msg_room, name_kv_flash, mib(*flash_room));

  if (install_mode == install_mode_single_boot) {
    if (build_single_boot_table(has_userdata, old_table, new_table, avb_list, emmc_size) != 0) {
      puts(msg_single_failed);
      return -1;
    }
    if (partition_size(new_table, name_kv_storage, storage_room) != 0) {
      printf(msg_size_failed, name_kv_storage);
      return -1;
    }
    printf(msg_room, name_kv_storage, mib(*storage_room));
  } else {
    if (build_dual_boot_table(old_table, new_table, emmc_size) != 0) {
      puts(msg_dual_failed);
      return -1;
    }
    uint64_t free_bytes = 0;
    if (partition_free_space(new_table, name_kv_storage, &free_bytes, device) != 0) {
      printf(msg_free_failed, name_kv_storage);
      return -1;
    }
    // The data filesystem shrinks by the size of KV_FLASH; it must have
    // that much free.
    if (free_bytes < flash_partition_size) {
      *storage_room = 0;
      printf(msg_no_room_in_data, name_kv_storage, mib(free_bytes), mib(flash_partition_size),
             name_kv_flash);
      puts(msg_dual_failed);
      return -1;
    }
    *storage_room = free_bytes - flash_partition_size;
  }

  if (verbose) {
    puts("\nNew partition table:");
    if (verify_and_print_partition_table(new_table, 1) != 0) return -1;
  }
  puts("");
  return 0;
}
