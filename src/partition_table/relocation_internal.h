// What the relocation's tests may tune.
#pragma once

#include <cstdint>

// Bytes of the one buffer every copy goes through (8 MiB). Tests shrink it
// so that small images cross many chunk boundaries; at most 32 MiB.
extern uint64_t relocation_chunk_size;
