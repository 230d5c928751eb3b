// The check every flattened tree read from the device passes before libfdt
// works on it. libfdt 1.6.1's own fdt_check_full loops for ever on a property
// length that wraps its offset and follows a null name in trees older than
// version 16; the walk here rules both out, fdt_check_full checks the rest.
#include <libfdt.h>

#include <cstring>

#include "internal.h"

namespace {

constexpr uint32_t fdt_magic = 0xd00dfeed;
constexpr uint32_t oldest_version = 16;
constexpr uint32_t tag_begin_node = 1;
constexpr uint32_t tag_end_node = 2;
constexpr uint32_t tag_property = 3;
constexpr uint32_t tag_nop = 4;
constexpr uint32_t tag_end = 9;

uint32_t load_be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint64_t align4(uint64_t n) { return (n + 3) & ~static_cast<uint64_t>(3); }

// Walks the tags of the structure block [start, end); each step moves on by
// at least one tag, so the walk ends. The fault found, or null.
const char *structure_fault(const uint8_t *tree, uint64_t start, uint64_t end) {
  uint64_t offset = start;
  uint64_t depth = 0;
  while (offset + 4 <= end) {
    uint32_t tag = load_be32(tree + offset);
    offset += 4;
    switch (tag) {
      case tag_begin_node: {
        const void *nul = memchr(tree + offset, '\0', static_cast<size_t>(end - offset));
        if (!nul) return "node name runs past the structure block";
        offset = align4(static_cast<uint64_t>(static_cast<const uint8_t *>(nul) - tree) + 1);
        depth++;
        break;
      }
      case tag_end_node:
        if (depth == 0) return "node end without a node";
        depth--;
        break;
      case tag_property: {
        if (offset + 8 > end) return "property header runs past the structure block";
        uint64_t length = load_be32(tree + offset);
        offset += 8;
        if (length > end - offset) return "property value runs past the structure block";
        offset = align4(offset + length);
        break;
      }
      case tag_nop:
        break;
      case tag_end:
        return depth == 0 ? nullptr : "structure ends inside a node";
      default:
        return "unknown structure tag";
    }
  }
  return "structure block ends without its end tag";
}

const char *header_fault(const uint8_t *tree, uint64_t size) {
  // libfdt works on trees aligned to 8 bytes only; vendor containers place
  // them on 2 KiB boundaries.
  if (reinterpret_cast<uintptr_t>(tree) % 8 != 0) return "not aligned to 8 bytes";
  if (size < sizeof(fdt_header)) return "no room for its header";
  if (load_be32(tree) != fdt_magic) return "bad magic";
  uint64_t total = load_be32(tree + 4);
  uint64_t structure = load_be32(tree + 8);
  uint32_t version = load_be32(tree + 20);
  if (version < oldest_version) return "version older than 16";
  if (total > size) return "total size beyond its room";
  // Version 16 headers do not give the structure size.
  uint64_t structure_end = version >= 17 ? structure + load_be32(tree + 36) : total;
  if (structure % 4 != 0 || structure > structure_end || structure_end > total)
    return "structure block outside the tree";
  return structure_fault(tree, structure, structure_end);
}

}  // namespace

int check_tree(const void *tree, uint64_t size) {
  const char *fault = header_fault(static_cast<const uint8_t *>(tree), size);
  if (fault) {
    printf("Invalid device tree: %s!\n", fault);
    return -1;
  }
  int error = fdt_check_full(tree, static_cast<size_t>(size));
  if (error != 0) {
    printf("Invalid device tree: %s (%d)!\n", fdt_strerror(error), error);
    return -1;
  }
  return 0;
}
