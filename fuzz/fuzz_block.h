// Shared by the DTB fuzz targets: an input becomes one 256 KiB block.
//
// Input layout: byte 0 controls the run, the rest is the start of the block
// (zero-filled behind it).
//   bits 0-1  dtb mode for a rework (3 counts as 2)
//   bit 2     put the "A~D" marker at its place, so that uncompressed blocks
//             get past the marker check
//   bit 3     rework with a table whose "env" is the last entry
#pragma once

#include <cstdio>
#include <cstring>

#include "devicetree.h"

constexpr uint8_t control_marker = 0x04;
constexpr uint8_t control_env_last = 0x08;

inline uint8_t control_of(const uint8_t *data, size_t size) { return size ? data[0] : 0; }

// Exactly 256 KiB on the heap, so that the sanitizer sees any access past it.
inline owned<uint8_t> block_from_input(const uint8_t *data, size_t size) {
  owned<uint8_t> block = allocate_zeroed(dtb_block_size);
  if (!block) abort();
  if (size > 1) memcpy(block.get(), data + 1, std::min<size_t>(size - 1, dtb_block_size));
  if (control_of(data, size) & control_marker)
    memcpy(block.get() + dtb_marker_offset, dtb_marker, sizeof(dtb_marker));
  return block;
}

// The messages of failed reads and reworks are expected; keep them off the
// fuzzer's output.
inline void silence_stdout() {
  if (!freopen("/dev/null", "w", stdout)) abort();
}
