// Shared inside the device-tree subsystem only.
#pragma once

#include <cstdint>
#include <cstdio>

// Checks that the flattened tree at `tree` is sound and lies within `size`
// bytes, before any other libfdt call sees it. 0, or -1 with a message.
int check_tree(const void *tree, uint64_t size);
