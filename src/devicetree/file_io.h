// Whole-region transfers at 64-bit offsets on an open file, shared by the DTB
// copies and the raw regions. Each prints the shared I/O line of its failure.
#pragma once

#include <cstdint>
#include <cstdio>

// Seeks to `offset` and moves `size` bytes as one item; a short transfer is
// a failure.
int read_file_at(FILE *file, uint64_t offset, void *buffer, uint64_t size);
int write_file_at(FILE *file, uint64_t offset, const void *buffer, uint64_t size);
