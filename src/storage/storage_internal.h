// Helpers shared by the storage tools' units; not for other subsystems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kvemmc.h"
#include "partition_table.h"

// A zero-filled text buffer of `size` bytes; prints a line and gives null when
// the allocation fails.
owned<char> allocate_text(size_t size);

// Forms a command line in `buffer` (refused when it does not fit) and runs
// it, echoing its output to `echo` when given. A failed command adds
// "Error executing cmd '%s'" to run_command's own line. 0 or -1.
int run_formatted(char *buffer, size_t size, FILE *echo, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Looks up the partition `name` (a safe name) and checks that its location can
// be handed to the tools: a non-zero offset and size, both and their sum within
// signed 64 bits. Prints why not and returns -1; 0 and the entry otherwise.
int locate_partition(const mmc_partitions_fmt *table, const char *name, partition_entry *entry);

// Runs "losetup --find" and checks the name it gives. Prints "Error getting
// next free loop" on failure. 0 or -1.
int find_free_loop(char *loop, size_t loop_size);

// True when `text` points into the scratch buffer (a command built there would
// overwrite its own argument); prints a line then.
bool lies_in_scratch_buffer(const char *text);
