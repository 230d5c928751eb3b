// Driver of bench/relocation: fills the old places of a single boot's
// "cache" (1 GiB) and "super" (2 GiB) on an image file, or moves them to the
// places of the new table, keeping the relocation's journal in JOURNAL as a
// single boot does, and reports the time the move took.
//
//   relocation_bench fill IMAGE
//   relocation_bench move IMAGE JOURNAL
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "partition_table.h"

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t image_size = 5200 * MiB;

struct layout_slot {
  const char *name;
  uint64_t size;
  uint64_t old_offset;
  uint64_t new_offset;
};

// The new table lays the kept partitions out from the start of the device:
// "cache" moves down clear of its old place, "super" moves down over its own
// old place and over the old place of "cache".
constexpr layout_slot layout[] = {
    {"bootloader", 4 * MiB, 0, 0},
    {"reserved", 64 * MiB, 36 * MiB, 36 * MiB},
    {"cache", 1024 * MiB, 1268 * MiB, 108 * MiB},
    {"super", 2048 * MiB, 3072 * MiB, 1140 * MiB},
};

mmc_partitions_fmt make_bench_table(bool new_table) {
  mmc_partitions_fmt table;
  memset(&table, 0, sizeof(table));
  memcpy(table.magic, partition_table_magic, sizeof(table.magic));
  uint32_t n = 0;
  for (const layout_slot &slot : layout) {
    partition_entry &entry = table.entries[n++];
    strncpy(entry.name, slot.name, sizeof(entry.name) - 1);
    entry.size = slot.size;
    entry.offset = new_table ? slot.new_offset : slot.old_offset;
  }
  table.part_num = n;
  table.checksum = partition_table_checksum(table.entries, static_cast<int>(n));
  return table;
}

// Writes every byte of the image, so that neither the relocation nor dd
// pays for allocating the places it writes to.
int fill(const char *path) {
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    perror(path);
    return 1;
  }
  static uint8_t block[8 * MiB];
  for (uint64_t done = 0; done < image_size; done += sizeof(block)) {
    for (size_t i = 0; i < sizeof(block); i += 4096)
      memset(block + i, static_cast<int>((done + i) >> 12), 4096);
    if (pwrite(fd, block, sizeof(block), static_cast<off_t>(done)) !=
        static_cast<ssize_t>(sizeof(block))) {
      perror(path);
      return 1;
    }
  }
  return close(fd) == 0 ? 0 : 1;
}

int move(const char *path, const char *journal_path) {
  static journal_header header;
  header.operation = journal_operation_install;
  header.has_userdata = 1;
  header.old_table = make_bench_table(false);
  header.new_table = make_bench_table(true);
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  relocation_journal journal;
  if (check_partition_moves(1, &header.old_table, &header.new_table, path, &header.schedule) != 0 ||
      create_relocation_journal(journal, header, journal_path) != 0 ||
      move_partitions(1, &header.old_table, &header.new_table, path, &journal) != 0)
    return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("relocation_seconds %.3f\n", seconds);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "fill") == 0) return fill(argv[2]);
  if (argc == 4 && strcmp(argv[1], "move") == 0) return move(argv[2], argv[3]);
  fprintf(stderr, "usage: relocation_bench fill IMAGE | move IMAGE JOURNAL\n");
  return 2;
}
