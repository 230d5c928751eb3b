// Whether the data to copy fit the partitions made for them; see
// operation_steps.h.
#include <cstdio>
#include <cstring>

#include "operation_steps.h"
#include "storage.h"

namespace {

void print_too_small(const char *source, const char *measured, const char *partition,
                     uint64_t room, uint64_t used) {
  printf("New partition is too small to cover data of '%s' from current boot device!\n", source);
  printf("Free space on '%s' partition: %lldMB\n", partition, static_cast<long long>(room >> 20));
  printf("Used space on '%s': %lld\n", measured, static_cast<long long>(used));
}

}  // namespace

int check_room(const char *source, const char *measured, const char *partition, uint64_t room,
               uint64_t used) {
  if (used <= room) return 0;
  print_too_small(source, measured, partition, room, used);
  return -1;
}

int check_new_filesystem_room(const char *source, const char *measured, const char *partition,
                              uint64_t size, uint64_t used, const tree_census &census,
                              uint64_t *usable) {
  const bool storage = strcmp(partition, name_kv_storage) == 0;
  filesystem_room room;
  if (measure_new_filesystem_room(storage ? new_ext4 : new_vfat, partition, size, &room) != 0)
    return -1;
  *usable = room.bytes;
  tree_census copy = census;
  // The mark of the finished change, beside the storage folder.
  if (storage) count_in_census(copy, 2 * change_id_size + 1, path_change_mark, false);
  const uint64_t need = copy_need(copy, storage ? new_ext4 : new_vfat, room.unit);
  const uint64_t entries = copy.files + copy.folders;
  if (need <= room.bytes && entries <= room.inodes && copy.fat_top_slots <= room.top_slots)
    return 0;
  print_too_small(source, measured, partition, room.bytes, used);
  if (need > room.bytes) {
    printf("With its folders, and each file in whole %s of %u bytes, the copy takes %lluMB "
           "there.\n",
           storage ? "blocks" : "clusters", room.unit, static_cast<unsigned long long>(need >> 20));
  } else if (entries > room.inodes) {
    printf("The copy holds %llu files and folders, more than the %llu that '%s' can take.\n",
           static_cast<unsigned long long>(entries),
           static_cast<unsigned long long>(room.inodes), partition);
  } else {
    printf("The copy has more entries at its top (%llu) than the root folder of '%s' can take "
           "(%llu).\n",
           static_cast<unsigned long long>(copy.fat_top_slots), partition,
           static_cast<unsigned long long>(room.top_slots));
  }
  return -1;
}
