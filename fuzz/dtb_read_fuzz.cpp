// Unpacking a block and reading a string property from every tree in it.
#include "fuzz_block.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  owned<uint8_t> block = block_from_input(data, size);
  char value[256];
  memset(value, 0, sizeof(value));
  read_dtb_block_property(block.get(), "/firmware/android/vbmeta", "parts", value, sizeof(value));
  // The caller relies on one zero byte at least.
  if (value[sizeof(value) - 1] != '\0') abort();
  return 0;
}
