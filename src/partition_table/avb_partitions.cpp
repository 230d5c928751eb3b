// The partitions Android Verified Boot needs: three fixed names and the
// vbmeta node's "parts" list, each with the suffix of the bootloader's active
// slot. A single-boot table of the userdata layout keeps them.
//
// fw_printenv is relied on to print "active_slot=<value>" and to end with a
// non-zero code when the variable or the environment cannot be read.
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "partition_table.h"
#include "storage.h"

namespace {

constexpr char cmd_active_slot[] = "fw_printenv active_slot";
constexpr char slot_none[] = "normal";
constexpr char vbmeta_node[] = "/firmware/android/vbmeta";
constexpr char vbmeta_parts[] = "parts";
constexpr const char *fixed_names[] = {"vendor_boot", "dtbo", "odm_ext"};

constexpr char msg_slot_default[] = "Failed to read 'active_slot', set to default";
constexpr char msg_parts_missing[] = "Failed to get AVB needed partitions, ignore them";
constexpr char msg_name_too_long[] = "Warning: AVB partition name '%s%s' is too long, ignored!\n";
constexpr char msg_list_full[] = "Warning: more than %u AVB partitions, '%s' ignored!\n";

// Takes `name` (of `length` characters) with the slot's suffix into the list
// when the table holds it and the list does not yet.
void add_candidate(const mmc_partitions_fmt *table, avb_partition_list *list, const char *name,
                   size_t length, const char *suffix) {
  size_t suffix_length = strlen(suffix);
  if (length + suffix_length >= partition_name_size) {
    char shown_name[avb_parts_size];
    char shown_suffix[slot_text_size];
    printable_text(shown_name, sizeof(shown_name), name, length);
    printable_text(shown_suffix, sizeof(shown_suffix), suffix, suffix_length);
    printf(msg_name_too_long, shown_name, shown_suffix);
    return;
  }
  char candidate[partition_name_size] = {};
  memcpy(candidate, name, length);
  memcpy(candidate + length, suffix, suffix_length);
  if (find_partition(table, candidate, nullptr) != 0) return;
  for (uint32_t i = 0; i < list->count; i++) {
    if (strncmp(list->names[i], candidate, partition_name_size) == 0) return;
  }
  if (list->count >= max_partitions) {
    printf(msg_list_full, static_cast<unsigned>(max_partitions), candidate);
    return;
  }
  memcpy(list->names[list->count++], candidate, partition_name_size);
}

}  // namespace

// As get_active_slot; -1 when the variable could not be read (`slot` then
// holds the default).
static int read_active_slot(char *slot) {
  memset(slot, 0, slot_text_size);
  if (run_command(cmd_active_slot, slot, slot_text_size) < 0) {
    puts(msg_slot_default);
    memset(slot, 0, slot_text_size);
    memcpy(slot, slot_none, sizeof(slot_none));
    return -1;
  }
  if (char *value = strchr(slot, '=')) memmove(slot, value + 1, strlen(value + 1) + 1);
  return static_cast<int>(strlen(slot));
}

int get_active_slot(char *slot) {
  read_active_slot(slot);
  return static_cast<int>(strlen(slot));
}

// True when the table holds a partition of both slots: a name ending in "_a"
// whose "_b" twin is there too.
static bool has_two_slots(const mmc_partitions_fmt *table) {
  for (const partition_entry &entry : table->entries) {
    const size_t length = strnlen(entry.name, partition_name_size);
    if (length < 3 || length >= partition_name_size || strcmp(entry.name + length - 2, "_a") != 0)
      continue;
    char twin[partition_name_size];
    memcpy(twin, entry.name, length + 1);
    twin[length - 1] = 'b';
    if (find_partition(table, twin, nullptr) == 0) return true;
  }
  return false;
}

int collect_avb_names(const mmc_partitions_fmt *table, avb_partition_list *list, const char *slot,
                      const char *parts) {
  memset(list, 0, sizeof(*list));
  const char *suffix = strcmp(slot, slot_none) == 0 ? "" : slot;
  for (const char *name : fixed_names) add_candidate(table, list, name, strlen(name), suffix);
  if (!parts) {
    puts(msg_parts_missing);
    return static_cast<int>(list->count);
  }
  for (const char *piece = parts; *piece != '\0';) {
    size_t length = strcspn(piece, ",");
    if (length > 0) add_candidate(table, list, piece, length, suffix);
    piece += length;
    if (*piece == ',') piece++;
  }
  return static_cast<int>(list->count);
}

int collect_avb_partitions(const mmc_partitions_fmt *table, avb_partition_list *list,
                           const char *reserved_device) {
  char slot[slot_text_size];
  if (read_active_slot(slot) < 0 && has_two_slots(table)) {
    // Without the slot no partition of the A/B pairs is found, and the
    // layout would drop those the bootloader verifies before it starts.
    puts("The active slot is unknown on a table with A and B slots: the partitions that verified "
         "boot needs cannot be told!");
    return -1;
  }
  char parts[avb_parts_size] = {};
  bool read = read_dtb_property_from(reserved_device, vbmeta_node, vbmeta_parts, parts,
                                     sizeof(parts)) >= 0;
  return collect_avb_names(table, list, slot, read ? parts : nullptr);
}
