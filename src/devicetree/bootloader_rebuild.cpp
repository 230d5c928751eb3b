// What the vendor bootloader makes of a "partitions" node. At every boot it
// compares the eMMC table with the node and, when they disagree, lays the
// table out again from the node by its own rule, without moving any data: the
// fixed head up to and including "env" as it stands, then the node's
// partitions in node order, each 8 MiB behind the one before (32 MiB behind
// one whose mask has bit 0x100), the last one (size all ones) up to the end
// of the eMMC. A table written with a node that this rule lays out
// differently is rewritten at the next power-on, and the box no longer boots.
//
// The rule is written here from the bootloader's side, apart from the
// planner's own placement, so that neither can hide a mistake of the other.
#include <libfdt.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "internal.h"

namespace {

constexpr uint64_t gap = 0x800000;        // 8 MiB
constexpr uint64_t wide_gap = 0x2000000;  // 32 MiB
constexpr uint64_t wide_gap_bit = 0x100;
constexpr uint64_t rest_of_emmc = UINT64_MAX;

// A big-endian cell property of exactly `cells` cells.
bool read_cells(const void *tree, int node, const char *name, int cells, uint64_t *value) {
  int length = 0;
  const void *data = fdt_getprop(tree, node, name, &length);
  if (!data || length != 4 * cells) return false;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  *value = 0;
  for (int i = 0; i < 4 * cells; i++) *value = *value << 8 | bytes[i];
  return true;
}

int unreadable(int copy, uint32_t index, const char *what) {
  printf("The bootloader could not read partition %u of the '%s' node of dtb%d: %s!\n", index,
         partitions_node_path, copy, what);
  return -1;
}

}  // namespace

int bootloader_table_from_node(const void *tree, int copy, const mmc_partitions_fmt *planned,
                               uint64_t emmc_size, mmc_partitions_fmt *rebuilt) {
  memset(rebuilt, 0, sizeof(*rebuilt));
  // The head: everything up to and including "env", as it stands.
  uint32_t head = 0;
  while (head < planned->part_num && head < max_partitions &&
         strncmp(planned->entries[head].name, "env", partition_name_size) != 0)
    head++;
  if (head >= planned->part_num || head >= max_partitions) {
    printf("The planned table has no 'env' partition for the bootloader to start from!\n");
    return -1;
  }
  for (uint32_t i = 0; i <= head; i++) rebuilt->entries[i] = planned->entries[i];
  rebuilt->part_num = head + 1;

  const int node = fdt_path_offset(tree, partitions_node_path);
  uint64_t parts = 0;
  if (node < 0 || !read_cells(tree, node, "parts", 1, &parts)) {
    printf("The '%s' node of dtb%d has no partition count for the bootloader!\n",
           partitions_node_path, copy);
    return -1;
  }
  if (parts > max_partitions - rebuilt->part_num) {
    printf("The '%s' node of dtb%d lists %llu partitions: more than a table holds!\n",
           partitions_node_path, copy, static_cast<unsigned long long>(parts));
    return -1;
  }
  for (uint32_t n = 0; n < parts; n++) {
    char property[16];
    snprintf(property, sizeof(property), "part-%u", n);
    uint64_t phandle = 0, size = 0, mask = 0;
    if (!read_cells(tree, node, property, 1, &phandle)) return unreadable(copy, n, "no phandle");
    const int sub = fdt_node_offset_by_phandle(tree, static_cast<uint32_t>(phandle));
    if (sub < 0) return unreadable(copy, n, "no node has its phandle");
    int length = 0;
    const char *name = static_cast<const char *>(fdt_getprop(tree, sub, "pname", &length));
    if (!name || length < 2 || length > static_cast<int>(partition_name_size) ||
        name[length - 1] != '\0')
      return unreadable(copy, n, "no name that fits a table slot");
    if (!read_cells(tree, sub, "size", 2, &size)) return unreadable(copy, n, "no size");
    if (!read_cells(tree, sub, "mask", 1, &mask)) return unreadable(copy, n, "no mask");

    const partition_entry &before = rebuilt->entries[rebuilt->part_num - 1];
    const uint64_t space = (before.mask & wide_gap_bit) ? wide_gap : gap;
    if (before.offset > UINT64_MAX - before.size || before.offset + before.size > UINT64_MAX - space)
      return unreadable(copy, n, "it would lie beyond any eMMC");
    const uint32_t slot = rebuilt->part_num++;
    partition_entry &entry = rebuilt->entries[slot];
    memcpy(entry.name, name, static_cast<size_t>(length));
    entry.offset = before.offset + before.size + space;
    entry.mask = mask;
    entry.size = size;
    if (size == rest_of_emmc) {
      // Up to the end of the eMMC; where its size cannot be read, the
      // planned size stands (the offset, name and mask are still checked).
      if (emmc_size == 0) {
        entry.size = slot < planned->part_num ? planned->entries[slot].size : 0;
      } else {
        entry.size = emmc_size > entry.offset ? emmc_size - entry.offset : 0;
      }
    }
  }
  return 0;
}

int check_bootloader_rebuild(const void *tree, int copy, int dtb_mode,
                             const mmc_partitions_fmt *planned, uint64_t emmc_size) {
  const bool has_node = fdt_path_offset(tree, partitions_node_path) >= 0;
  if (dtb_mode == dtb_mode_remove && has_node) {
    printf("The device tree of dtb%d still holds a '%s' node after its removal!\n", copy,
           partitions_node_path);
    return -1;
  }
  // A node that is rebuilt, or kept as it is, is what the bootloader reads.
  if (dtb_mode == dtb_mode_remove || (dtb_mode == dtb_mode_keep && !has_node)) return 0;
  mmc_partitions_fmt rebuilt;
  if (bootloader_table_from_node(tree, copy, planned, emmc_size, &rebuilt) != 0) return -1;
  const uint32_t count = planned->part_num < max_partitions ? planned->part_num : max_partitions;
  for (uint32_t i = 0; i < count || i < rebuilt.part_num; i++) {
    const partition_entry *p = i < count ? &planned->entries[i] : nullptr;
    const partition_entry *r = i < rebuilt.part_num ? &rebuilt.entries[i] : nullptr;
    if (p && r && strncmp(p->name, r->name, partition_name_size) == 0 && p->offset == r->offset &&
        p->size == r->size && p->mask == r->mask)
      continue;
    const partition_entry &named = p ? *p : *r;
    char shown[partition_name_size + 1];
    printable_text(shown, sizeof(shown), named.name, strnlen(named.name, partition_name_size));
    printf("The bootloader would lay out the table of dtb%d differently from slot %u ('%s') on:\n",
           copy, i, shown);
    for (const partition_entry *e : {p, r}) {
      const char *whose = e == p ? "planned" : "rebuilt";
      if (!e) {
        printf("  %s: no partition\n", whose);
        continue;
      }
      printable_text(shown, sizeof(shown), e->name, strnlen(e->name, partition_name_size));
      printf("  %s: '%s' offset 0x%012llx, size 0x%012llx, mask 0x%llx\n", whose, shown,
             static_cast<unsigned long long>(e->offset), static_cast<unsigned long long>(e->size),
             static_cast<unsigned long long>(e->mask));
    }
    return -1;
  }
  return 0;
}
