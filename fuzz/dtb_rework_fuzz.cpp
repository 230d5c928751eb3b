// Reworking any block in modes 0, 1 and 2. A block that was reworked must
// carry a correct checksum, keep its marker and be reworkable again.
#include "fuzz_block.h"

namespace {

mmc_partitions_fmt make_table(bool env_last) {
  struct row {
    const char *name;
    uint64_t size;
    uint64_t mask;
  };
  const row rows[] = {{"bootloader", 0x400000, 0}, {"reserved", 0x4000000, 0},
                      {"cache", 0x46000000, 2},    {"env", 0x800000, 0},
                      {"logo", 0x800000, 1},       {"misc", 0x800000, 1},
                      {"boot", 0x1000000, 1},      {"system", 0x74000000, 1},
                      {"data", 0x100000000, 4}};
  mmc_partitions_fmt table{};
  memcpy(table.magic, "MPT", 4);
  uint32_t count = env_last ? 4 : 9;
  for (uint32_t i = 0; i < count; i++) {
    strcpy(table.entries[i].name, rows[i].name);
    table.entries[i].size = rows[i].size;
    table.entries[i].mask = rows[i].mask;
  }
  table.part_num = count;
  table.checksum = partition_table_checksum(table.entries, static_cast<int>(count));
  return table;
}

const mmc_partitions_fmt android_table = make_table(false);
const mmc_partitions_fmt env_last_table = make_table(true);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t control = control_of(data, size);
  int mode = std::min(control & 3, 2);
  const mmc_partitions_fmt *table = control & control_env_last ? &env_last_table : &android_table;
  owned<uint8_t> block = block_from_input(data, size);
  owned<uint8_t> original = block_from_input(data, size);
  const uint8_t *b = original.get();
  bool compressed = b[0] == 0x1f && b[1] == 0x8b;
  bool holds_trees = memcmp(b, "\xd0\x0d\xfe\xed", 4) == 0 || memcmp(b, "AML_", 4) == 0;

  if (rework_dtb_block(mode, block.get(), partitions_node_path, table) != 0) return 0;

  if (!compressed && !holds_trees) {
    // Content that is no tree is left byte for byte as it was.
    if (memcmp(block.get(), b, dtb_block_size) != 0) abort();
    return 0;
  }
  uint32_t stored;
  memcpy(&stored, block.get() + dtb_checksum_offset, sizeof(stored));
  if (stored != dtb_block_checksum(block.get())) abort();
  // The marker area is never written but for the checksum word.
  if (memcmp(block.get() + dtb_marker_offset, b + dtb_marker_offset, 12) != 0) abort();
  // What was written is sound: it can be reworked again.
  if (rework_dtb_block(mode, block.get(), partitions_node_path, table) != 0) abort();
  return 0;
}
