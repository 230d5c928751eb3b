// Shared inside the device-tree subsystem only.
#pragma once

#include <cstdint>
#include <cstdio>

// Seeks to `offset` and moves `size` bytes as one item; a short transfer is
// a failure. Each prints the shared I/O line of its failure.
int read_file_at(FILE *file, uint64_t offset, void *buffer, uint64_t size);
int write_file_at(FILE *file, uint64_t offset, const void *buffer, uint64_t size);

// Checks that the flattened tree at `tree` is sound and lies within `size`
// bytes, before any other libfdt call sees it. 0, or -1 with a message.
int check_tree(const void *tree, uint64_t size);
