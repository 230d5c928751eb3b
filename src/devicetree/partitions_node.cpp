// The "partitions" node of a device tree, which mirrors the eMMC partition
// table for the bootloader, and the small libfdt wrappers it is built with.
#include <libfdt.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "internal.h"

namespace {

// Property names and subnode paths; a valid table's names stay far below.
constexpr size_t tree_text_size = 64;
inline constexpr const char env_partition_name[] = "env";

int report_fdt_error(const char *wrapper, int error) {
  printf("%s '%d'\n", wrapper, error);
  return -1;
}

// A partition name becomes a node name: it must be terminated inside its
// field and use only the characters a device-tree node name may hold, so that
// the subnode path resolves to exactly that node.
bool is_node_name(const char (&name)[partition_name_size]) {
  size_t length = strnlen(name, partition_name_size);
  if (length == 0 || length == partition_name_size) return false;
  for (size_t i = 0; i < length; i++) {
    char c = name[i];
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == ',' || c == '.' || c == '_' || c == '+' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

int open_tree(void *tree, uint64_t room) {
  int error = fdt_open_into(tree, tree, static_cast<int>(room));
  return error < 0 ? report_fdt_error("fdt_open_into", error) : 0;
}

}  // namespace

int delete_node(void *tree, const char *node_path) {
  int node = fdt_path_offset(tree, node_path);
  if (node < 0) return -1;
  int error = fdt_del_node(tree, node);
  return error < 0 ? report_fdt_error("delete_node", error) : 0;
}

int create_subnode(void *tree, const char *parent_path, const char *name) {
  int parent = fdt_path_offset(tree, parent_path);
  if (parent < 0) return -1;
  int error = fdt_add_subnode(tree, parent, name);
  return error < 0 ? report_fdt_error("create_subnode", error) : 0;
}

int set_property_u32(void *tree, const char *node_path, const char *name, uint32_t value) {
  int node = fdt_path_offset(tree, node_path);
  if (node < 0) return -1;
  int error = fdt_setprop_u32(tree, node, name, value);
  return error < 0 ? report_fdt_error("set_property_u32", error) : 0;
}

int set_property_u64(void *tree, const char *node_path, const char *name, uint64_t value) {
  int node = fdt_path_offset(tree, node_path);
  if (node < 0) return -1;
  int error = fdt_setprop_u64(tree, node, name, value);
  return error < 0 ? report_fdt_error("set_property_u64", error) : 0;
}

int set_property_string(void *tree, const char *node_path, const char *name, const char *text) {
  int node = fdt_path_offset(tree, node_path);
  if (node < 0) return -1;
  int error = fdt_setprop(tree, node, name, text, static_cast<int>(strlen(text) + 1));
  return error < 0 ? report_fdt_error("set_property_string", error) : 0;
}

int get_property_string(const void *tree, const char *node_path, const char *name,
                        char *destination, size_t destination_size) {
  int node = fdt_path_offset(tree, node_path);
  if (node < 0) return -1;
  int length = 0;
  const struct fdt_property *property = fdt_get_property(tree, node, name, &length);
  if (!property) {
    if (length == -FDT_ERR_NOTFOUND) {
      printf("%s '%s'\n", "get_property_string", "property not found");
      return -1;
    }
    return report_fdt_error("get_property_string", length);
  }
  const void *end = memchr(property->data, '\0', static_cast<size_t>(length));
  if (!end) {
    printf("%s '%s'\n", "get_property_string", "value not terminated");
    return -1;
  }
  size_t characters = static_cast<size_t>(static_cast<const char *>(end) - property->data);
  if (characters >= destination_size) {
    printf("%s '%s'\n", "get_property_string", "value too long");
    return -1;
  }
  memcpy(destination, property->data, characters);
  return 0;
}

int build_partitions_node(void *tree, const char *node_path, const mmc_partitions_fmt *table) {
  int env = -1;
  int count = static_cast<int>(table->part_num);
  if (table->part_num > max_partitions) {
    printf("Invalid partition count %u!\n", table->part_num);
    return -1;
  }
  if (find_partition(table, env_partition_name, &env) != 0 || env >= count) {
    printf("Could not find '%s' partition!\n", env_partition_name);
    return -1;
  }
  for (int i = env + 1; i < count; i++) {
    if (!is_node_name(table->entries[i].name)) {
      printf("Invalid partition name in slot %d!\n", i);
      return -1;
    }
  }

  // Last slot first: each new subnode lands before the ones made earlier and
  // each part-N property before the earlier ones, so both read in table order.
  char text[tree_text_size];
  for (int i = count - 1; i > env; i--) {
    const partition_entry &entry = table->entries[i];
    uint32_t phandle = 0;
    int error = fdt_generate_phandle(tree, &phandle);
    if (error < 0) return report_fdt_error("fdt_generate_phandle", error);
    snprintf(text, sizeof(text), "part-%d", i - env - 1);
    if (set_property_u32(tree, node_path, text, phandle) != 0) return -1;
    if (create_subnode(tree, node_path, entry.name) != 0) return -1;
    int length = snprintf(text, sizeof(text), "%s%c%s", node_path, '/', entry.name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(text)) {
      printf("Node path too long for partition '%s'!\n", entry.name);
      return -1;
    }
    uint64_t size = i == count - 1 ? UINT64_MAX : entry.size;
    if (set_property_u32(tree, text, "phandle", phandle) != 0 ||
        set_property_u32(tree, text, "mask", static_cast<uint32_t>(entry.mask)) != 0 ||
        set_property_u64(tree, text, "size", size) != 0 ||
        set_property_string(tree, text, "pname", entry.name) != 0)
      return -1;
  }
  return set_property_u32(tree, node_path, "parts", static_cast<uint32_t>(count - env - 1));
}

int rework_partitions_node(void *tree, uint64_t room, int dtb_mode, const char *node_path,
                           const mmc_partitions_fmt *table, bool single_tree) {
  if (room > dtb_block_size) room = dtb_block_size;
  if (check_tree(tree, room) != 0) return -1;

  int opened;
  if (single_tree) {
    delete_node(tree, node_path);
    opened = open_tree(tree, room);
  } else {
    opened = open_tree(tree, room);
    delete_node(tree, node_path);
  }
  if (opened != 0) return -1;
  // Never go on while a node still answers to the path: a tree in an older
  // layout cannot be edited before it is opened, and "partitions@N" answers
  // to "/partitions" as well. Each pass removes a node, so this ends.
  while (fdt_path_offset(tree, node_path) >= 0) {
    if (delete_node(tree, node_path) != 0) {
      printf("Could not delete node '%s'!\n", node_path);
      return -1;
    }
  }

  if (dtb_mode == dtb_mode_rebuild) {
    create_subnode(tree, "/", "partitions");
    int result = build_partitions_node(tree, node_path, table);
    if (result < 0) {
      printf("Failed to create new partition table: %d!\n", result);
      return result;
    }
  }
  int error = fdt_pack(tree);
  return error < 0 ? report_fdt_error("fdt_pack", error) : 0;
}
