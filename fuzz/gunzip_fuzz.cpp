// gunzip of any bytes; whatever it accepts must survive a gzip round trip.
#include <cstdio>
#include <cstring>

#include "devicetree.h"

namespace {
constexpr uint64_t room = 1 << 20;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static owned<uint8_t> inflated = allocate_zeroed(room);
  static owned<uint8_t> again = allocate_zeroed(room);
  uint64_t length = size;
  if (gunzip(inflated.get(), room, data, &length) != 0) return 0;

  // Room for incompressible data with zlib's worst-case overhead.
  uint64_t packed_room = length + length / 8 + 64;
  owned<uint8_t> packed = allocate_zeroed(packed_room);
  uint64_t packed_length = packed_room;
  if (gzip(packed.get(), &packed_length, inflated.get(), length) != 0) abort();
  if (length == 0) return 0;
  uint64_t again_length = packed_length;
  if (gunzip(again.get(), room, packed.get(), &again_length) != 0) abort();
  if (again_length != length || memcmp(again.get(), inflated.get(), length) != 0) abort();
  return 0;
}
