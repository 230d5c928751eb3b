// Moves the contents of the partitions that change place between the old
// and the new table on the raw eMMC, through one bounded buffer.
//
// The moves are ordered so that no byte is overwritten before it was read: a
// move runs only when its target no longer overlaps the source of another
// pending move, and each range is copied in the direction that is safe for
// it. Where every pending move waits for another (a cycle), one of them is
// first copied to free space of the device and moved on from there later.
// The whole schedule is worked out, and checked against the device, before
// the first write.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "partition_table.h"
#include "region_io.h"
#include "relocation_internal.h"
#include "storage.h"

uint64_t relocation_chunk_size = 0x800000;

namespace {

constexpr uint64_t max_chunk_size = 0x2000000;
// Progress is shown for copies of at least this many bytes.
constexpr uint64_t progress_threshold = 0x4000000;
constexpr uint64_t progress_interval_ns = 250000000;
// Staging areas start on this boundary where the free space allows it.
constexpr uint64_t staging_alignment = 0x100000;

struct byte_range {
  uint64_t start;
  uint64_t end;  // exclusive; start == end is empty
};

byte_range range_of(uint64_t offset, uint64_t size) {
  uint64_t end = offset + size < offset ? UINT64_MAX : offset + size;
  return {offset, end};
}

bool ranges_overlap(byte_range a, byte_range b) {
  return a.start < a.end && b.start < b.end && a.start < b.end && b.start < a.end;
}

// One copy of the schedule: a partition to its target, or to a staging area.
struct move_step {
  uint32_t move;
  uint64_t from;
  uint64_t to;
  bool first;  // the first step of this partition: its moving message goes here
};

struct move_plan {
  uint32_t count;
  move_step steps[2 * max_partitions];
};

// New-table ranges whose contents stay where they are: every slot the old
// table also holds (and the bootloader and reserved slots) that does not move.
struct kept_ranges {
  uint32_t count;
  byte_range ranges[max_partitions];
  printable_name names[max_partitions];
};

// The slot's name as a terminated text; a name filling all 16 bytes stays
// unterminated in the slot and matches nothing.
void slot_name(const partition_entry &entry, char (&name)[partition_name_size + 1]) {
  memcpy(name, entry.name, partition_name_size);
  name[partition_name_size] = '\0';
}

uint32_t slot_count(const mmc_partitions_fmt *table) {
  return table->part_num < max_partitions ? table->part_num : max_partitions;
}

int collect_partition_moves(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                            const mmc_partitions_fmt *new_table, move_list *list) {
  memset(list, 0, sizeof(*list));
  if (!has_userdata) {
    for (const char *name : data_layout_keep_list) {
      if (find_partition(old_table, name, nullptr) != 0) continue;
      if (prepare_partition_move(name, old_table, new_table, list) != 0) return -1;
    }
    return 0;
  }
  int reserved = 0;
  if (find_partition(new_table, name_reserved, &reserved) != 0) {
    printf(msg_partition_not_found, name_reserved);
    return -1;
  }
  for (uint32_t i = static_cast<uint32_t>(reserved) + 1; i < slot_count(new_table); i++) {
    char name[partition_name_size + 1];
    slot_name(new_table->entries[i], name);
    if (name[0] == '\0' || find_partition(old_table, name, nullptr) != 0) continue;
    if (prepare_partition_move(name, old_table, new_table, list) != 0) return -1;
  }
  return 0;
}

bool is_moved(const move_list *list, const char *name) {
  for (uint32_t i = 0; i < list->count; i++)
    if (strncmp(list->moves[i].entry.name, name, partition_name_size) == 0) return true;
  return false;
}

void collect_kept_ranges(const mmc_partitions_fmt *old_table, const mmc_partitions_fmt *new_table,
                         const move_list *list, kept_ranges *kept) {
  memset(kept, 0, sizeof(*kept));
  for (uint32_t i = 0; i < slot_count(new_table); i++) {
    const partition_entry &entry = new_table->entries[i];
    char name[partition_name_size + 1];
    slot_name(entry, name);
    if (name[0] == '\0' || is_moved(list, name)) continue;
    bool kept_contents = find_partition(old_table, name, nullptr) == 0 ||
                         strcmp(name, name_bootloader) == 0 || strcmp(name, name_reserved) == 0;
    if (!kept_contents) continue;
    kept->ranges[kept->count] = range_of(entry.offset, entry.size);
    kept->names[kept->count] = printable_slot_name(entry.name);
    kept->count++;
  }
}

int check_move_ranges(const move_list *list, const kept_ranges *kept, const char *device,
                      uint64_t device_size) {
  for (uint32_t i = 0; i < list->count; i++) {
    const partition_move &move = list->moves[i];
    const printable_name shown = printable_slot_name(move.entry.name);
    const char *name = shown.text;
    uint64_t size = move.entry.size;
    for (uint64_t offset : {move.old_offset, move.entry.offset}) {
      if (offset > device_size || size > device_size - offset) {
        printf(
            "Partition '%s' at offset 0x%012llx, size 0x%012llx lies outside '%s' (0x%012llx "
            "bytes)!\n",
            name, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size),
            device, static_cast<unsigned long long>(device_size));
        return -1;
      }
    }
    byte_range target = range_of(move.entry.offset, size);
    for (uint32_t j = 0; j < i; j++) {
      if (ranges_overlap(target,
                         range_of(list->moves[j].entry.offset, list->moves[j].entry.size))) {
        printf("New place of partition '%s' overlaps the new place of partition '%s'!\n", name,
               printable_slot_name(list->moves[j].entry.name).text);
        return -1;
      }
    }
    for (uint32_t j = 0; j < kept->count; j++) {
      if (ranges_overlap(target, kept->ranges[j])) {
        printf("New place of partition '%s' overlaps partition '%s'!\n", name,
               kept->names[j].text);
        return -1;
      }
    }
  }
  return 0;
}

bool overlaps_any(byte_range range, const byte_range *others, uint32_t count) {
  for (uint32_t i = 0; i < count; i++)
    if (ranges_overlap(range, others[i])) return true;
  return false;
}

// The lowest place of `size` bytes on the device outside all `busy` ranges,
// on a staging boundary where that fits. 0 and the offset, or -1.
int find_free_space(uint64_t size, const byte_range *busy, uint32_t busy_count,
                    uint64_t device_size, uint64_t *offset) {
  bool found = false;
  for (uint32_t i = 0; i <= busy_count; i++) {
    uint64_t start = i < busy_count ? busy[i].end : 0;
    uint64_t aligned = (start + staging_alignment - 1) / staging_alignment * staging_alignment;
    for (uint64_t candidate : {aligned, start}) {
      if (candidate < start || candidate > device_size || size > device_size - candidate) continue;
      if (overlaps_any(range_of(candidate, size), busy, busy_count)) continue;
      if (!found || candidate < *offset) *offset = candidate;
      found = true;
      break;
    }
  }
  return found ? 0 : -1;
}

// Works out the order of the copies; staging areas are taken from space
// outside every kept range, every target and every source still to be read.
int schedule_moves(const move_list *list, const kept_ranges *kept, const char *device,
                   uint64_t device_size, move_plan *plan) {
  memset(plan, 0, sizeof(*plan));
  uint64_t source[max_partitions];
  bool pending[max_partitions];
  bool started[max_partitions] = {};
  for (uint32_t i = 0; i < list->count; i++) {
    source[i] = list->moves[i].old_offset;
    pending[i] = true;
  }
  auto source_range = [&](uint32_t i) { return range_of(source[i], list->moves[i].entry.size); };
  auto target_range = [&](uint32_t i) {
    return range_of(list->moves[i].entry.offset, list->moves[i].entry.size);
  };
  auto blocks = [&](uint32_t blocker, uint32_t waiting) {
    return blocker != waiting && pending[blocker] &&
           ranges_overlap(source_range(blocker), target_range(waiting));
  };
  auto add_step = [&](uint32_t i, uint64_t to) {
    plan->steps[plan->count++] = {i, source[i], to, !started[i]};
    started[i] = true;
  };
  for (uint32_t done = 0; done < list->count;) {
    uint32_t ready = list->count;
    for (uint32_t i = 0; i < list->count && ready == list->count; i++) {
      if (!pending[i]) continue;
      bool blocked = false;
      for (uint32_t j = 0; j < list->count && !blocked; j++) blocked = blocks(j, i);
      if (!blocked) ready = i;
    }
    if (ready < list->count) {
      add_step(ready, list->moves[ready].entry.offset);
      pending[ready] = false;
      done++;
      continue;
    }
    // Every pending move waits for another: stage the smallest one that holds
    // up another and finds room.
    byte_range busy[3 * max_partitions];
    uint32_t busy_count = 0;
    for (uint32_t i = 0; i < kept->count; i++) busy[busy_count++] = kept->ranges[i];
    for (uint32_t i = 0; i < list->count; i++) {
      busy[busy_count++] = target_range(i);
      if (pending[i]) busy[busy_count++] = source_range(i);
    }
    uint32_t staged = list->count;
    uint64_t staging_offset = 0;
    for (uint32_t i = 0; i < list->count; i++) {
      bool holds_up = false;
      for (uint32_t j = 0; j < list->count && !holds_up; j++) holds_up = blocks(i, j);
      if (!holds_up) continue;
      if (staged < list->count && list->moves[staged].entry.size <= list->moves[i].entry.size)
        continue;
      uint64_t offset = 0;
      if (find_free_space(list->moves[i].entry.size, busy, busy_count, device_size, &offset) != 0)
        continue;
      staged = i;
      staging_offset = offset;
    }
    if (staged == list->count) {
      printf(
          "The new places of the partitions overlap their old places in a cycle, and '%s' has "
          "no free space to hold one of them meanwhile!\n",
          device);
      return -1;
    }
    add_step(staged, staging_offset);
    source[staged] = staging_offset;
  }
  return 0;
}

int open_device(owned_fd &device, const char *path, uint64_t *size) {
  if (open_region_file(device, path, O_RDWR) != 0) return -1;
  off_t end = lseek(device.fd, 0, SEEK_END);
  if (end < 0) {
    puts(msg_seek);
    return -1;
  }
  *size = static_cast<uint64_t>(end);
  return 0;
}

// Everything move_partitions decides before its first write: the moves, the
// device and its size, the checks and the schedule.
int plan_relocation(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                    const mmc_partitions_fmt *new_table, const char *path, owned_fd &device,
                    move_list *list, move_plan *plan) {
  if (collect_partition_moves(has_userdata, old_table, new_table, list) != 0) return -1;
  uint64_t device_size = 0;
  if (open_device(device, path, &device_size) != 0) return -1;
  kept_ranges kept;
  collect_kept_ranges(old_table, new_table, list, &kept);
  if (check_move_ranges(list, &kept, path, device_size) != 0) return -1;
  return schedule_moves(list, &kept, path, device_size, plan);
}

uint64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// "\r  NN% (X of Y MiB)" on a terminal, a few times a second at most.
struct copy_progress {
  bool shown;
  uint64_t total;
  uint64_t last_ns;
};

void show_progress(copy_progress *progress, uint64_t done) {
  if (!progress->shown) return;
  uint64_t now = monotonic_ns();
  if (done < progress->total && now - progress->last_ns < progress_interval_ns) return;
  progress->last_ns = now;
  printf("\r  %3u%% (%llu of %llu MiB)", static_cast<unsigned>(done * 100 / progress->total),
         static_cast<unsigned long long>(done >> 20),
         static_cast<unsigned long long>(progress->total >> 20));
  if (done == progress->total) putchar('\n');
  fflush(stdout);
}

// Records in `journal`, if there is one, that `done` bytes of copy `step`
// are on the device. Once the table is written, a relocation stopped
// half-way strands the box: a record that cannot be written ends the
// journal, not the relocation.
void record_progress(relocation_journal *journal, uint32_t step, uint64_t done) {
  if (!journal || journal->file.fd < 0) return;
  if (record_relocation_progress(*journal, step, done) == 0) return;
  puts("Warning: the journal can no longer follow the relocation: it is removed, and the "
       "partitions are moved to the end without it. Do not switch the box off before kvemmc "
       "has finished!");
  abandon_relocation_journal(*journal);
}

// Where a copy stands in the journal, if it keeps one.
struct journal_position {
  relocation_journal *journal;
  uint32_t step;
};

// Copies [from, from + size) to `to` from `start` bytes on, in the safe
// direction. With a journal, a record follows every stretch of at most
// 64 MiB, made durable after the bytes it covers; where the two ranges lie
// closer than that, stretch and chunk shrink to their distance, so that no
// byte a recorded point still has to read is overwritten before the record.
int copy_range(int fd, uint64_t from, uint64_t to, uint64_t size, uint8_t *chunk,
               uint64_t chunk_size, uint64_t start, journal_position at) {
  const bool backward = to > from && to - from < size;
  const uint64_t distance = from > to ? from - to : to - from;
  uint64_t stretch = journal_record_interval;
  if (at.journal && distance < size) {
    if (distance < chunk_size) chunk_size = distance;
    if (distance / chunk_size * chunk_size < stretch) stretch = distance / chunk_size * chunk_size;
  }
  // The chunk buffer is page-aligned, and with the ends of both ranges and
  // the starting point on whole blocks, every transfer is.
  direct_transfers direct(fd, (from | to | size | start | chunk_size) % direct_alignment == 0);
  copy_progress progress = {size >= progress_threshold && isatty(STDOUT_FILENO) == 1, size, 0};
  uint64_t unrecorded = 0;
  for (uint64_t done = start; done < size;) {
    uint64_t length = size - done < chunk_size ? size - done : chunk_size;
    uint64_t position = backward ? size - done - length : done;
    if (read_region_at(fd, from + position, chunk, length) != 0) return -1;
    if (write_region_at(fd, to + position, chunk, length) != 0) return -1;
    done += length;
    unrecorded += length;
    show_progress(&progress, done);
    if (at.journal && (unrecorded >= stretch || done == size)) {
      if (sync_region_file(fd) != 0) return -1;
      record_progress(at.journal, at.step, done);
      unrecorded = 0;
    }
  }
  if (size == 0) record_progress(at.journal, at.step, 0);
  return 0;
}

int run_step(int fd, const move_list *list, const move_plan *plan, uint32_t index, uint8_t *chunk,
             uint64_t chunk_size, uint64_t start, relocation_journal *journal) {
  const move_step &step = plan->steps[index];
  const partition_move &move = list->moves[step.move];
  if (step.first || start > 0) {
    printf(
        "Moving partition '%s' from offset 0x%012llx, size %lldMB to offset 0x%012llx, please "
        "wait...\n",
        printable_slot_name(move.entry.name).text, static_cast<unsigned long long>(move.old_offset),
        static_cast<long long>(move.entry.size >> 20),
        static_cast<unsigned long long>(move.entry.offset));
    fflush(stdout);
  }
  if (step.from == step.to) {
    record_progress(journal, index, move.entry.size);
    return 0;
  }
  if (copy_range(fd, step.from, step.to, move.entry.size, chunk, chunk_size, start,
                 {journal, index}) != 0) {
    printf("Failed to move memory of partition %s\n", printable_slot_name(move.entry.name).text);
    return -1;
  }
  // A staged copy must be on the device before its source is overwritten.
  if (step.to != move.entry.offset) return sync_region_file(fd);
  return 0;
}

// The schedule from copy `first`, `start` bytes into it, on.
int run_schedule(int fd, const move_list *list, const move_plan *plan, uint32_t first,
                 uint64_t start, relocation_journal *journal) {
  uint64_t chunk_size = relocation_chunk_size;
  if (chunk_size == 0 || chunk_size > max_chunk_size) chunk_size = max_chunk_size;
  owned<uint8_t> chunk = allocate_zeroed(static_cast<size_t>(chunk_size));
  if (!chunk) {
    puts("malloc failed for chunk reading!");
    return -1;
  }
  for (uint32_t i = first; i < plan->count; i++) {
    if (run_step(fd, list, plan, i, chunk.get(), chunk_size, i == first ? start : 0, journal) != 0)
      return -1;
  }
  return sync_region_file(fd);
}

void fill_schedule(const move_list *list, const move_plan *plan, relocation_schedule *schedule) {
  schedule->count = plan->count;
  for (uint32_t i = 0; i < plan->count; i++) {
    const move_step &step = plan->steps[i];
    const partition_entry &entry = list->moves[step.move].entry;
    schedule->steps[i] = {printable_slot_name(entry.name), step.from, step.to, entry.size,
                          step.to != entry.offset};
  }
}

bool same_schedule(const relocation_schedule &a, const relocation_schedule &b) {
  if (a.count != b.count) return false;
  for (uint32_t i = 0; i < a.count; i++) {
    const relocation_step &x = a.steps[i], &y = b.steps[i];
    if (x.from != y.from || x.to != y.to || x.size != y.size || x.staging != y.staging ||
        strncmp(x.name.text, y.name.text, sizeof(x.name.text)) != 0)
      return false;
  }
  return true;
}

}  // namespace

int prepare_partition_move(const char *name, const mmc_partitions_fmt *old_table,
                           const mmc_partitions_fmt *new_table, move_list *list) {
  int old_index = 0;
  int new_index = 0;
  if (find_partition(old_table, name, &old_index) != 0) {
    printf("No partition '%s' found on old table!\n", printable_slot_name(name).text);
    return -1;
  }
  if (find_partition(new_table, name, &new_index) != 0) {
    printf("No partition '%s' found on new table!\n", printable_slot_name(name).text);
    return -1;
  }
  const partition_entry &old_entry = old_table->entries[old_index];
  const partition_entry &new_entry = new_table->entries[new_index];
  if (old_entry.offset == new_entry.offset || is_moved(list, name)) return 0;
  if (old_entry.size != new_entry.size) {
    printf("Partition '%s' has 0x%012llx bytes on the old table but 0x%012llx on the new one!\n",
           printable_slot_name(name).text, static_cast<unsigned long long>(old_entry.size),
           static_cast<unsigned long long>(new_entry.size));
    return -1;
  }
  // Each name is recorded once, so a table's 32 slots cannot overfill the list.
  if (list->count >= max_partitions) {
    puts("Too many partitions to move!");
    return -1;
  }
  list->moves[list->count].entry = new_entry;
  list->moves[list->count].old_offset = old_entry.offset;
  list->count++;
  return 0;
}

int move_partition_contents(int fd, uint64_t from, uint64_t to, uint64_t size, uint8_t *chunk,
                            uint64_t chunk_size) {
  if (from == to || size == 0) return 0;
  return copy_range(fd, from, to, size, chunk, chunk_size, 0, {nullptr, 0});
}

int check_partition_moves(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                          const mmc_partitions_fmt *new_table, const char *device,
                          relocation_schedule *schedule) {
  owned_fd handle;
  move_list list;
  move_plan plan;
  if (plan_relocation(has_userdata, old_table, new_table, device, handle, &list, &plan) != 0)
    return -1;
  if (schedule) fill_schedule(&list, &plan, schedule);
  return 0;
}

int move_partitions(unsigned int has_userdata, const mmc_partitions_fmt *old_table,
                    const mmc_partitions_fmt *new_table, const char *device,
                    relocation_journal *journal) {
  puts("");
  if (check_installation_unmounted() != 0) return -1;
  owned_fd handle;
  move_list list;
  move_plan plan;
  if (plan_relocation(has_userdata, old_table, new_table, device, handle, &list, &plan) != 0)
    return -1;
  return run_schedule(handle.fd, &list, &plan, 0, 0, journal);
}

namespace {

// The relocation between the journal's tables, planned again on `device`,
// must be the one the journal recorded.
int plan_resumed_moves(const journal_state &state, const char *device, owned_fd &handle,
                       move_list *list, move_plan *plan) {
  const journal_header &header = state.header;
  if (plan_relocation(header.has_userdata, &header.old_table, &header.new_table, device, handle,
                      list, plan) != 0)
    return -1;
  relocation_schedule now;
  fill_schedule(list, plan, &now);
  if (!same_schedule(now, header.schedule) || state.step > plan->count) {
    puts("The moves between the journal's tables are not the ones it recorded: the "
         "relocation cannot be finished!");
    return -1;
  }
  return 0;
}

}  // namespace

int check_resumable_moves(const journal_state &state, const char *device) {
  owned_fd handle;
  move_list list;
  move_plan plan;
  return plan_resumed_moves(state, device, handle, &list, &plan);
}

int resume_partition_moves(const journal_state &state, relocation_journal &journal,
                           const char *device) {
  puts("");
  if (check_installation_unmounted() != 0) return -1;
  owned_fd handle;
  move_list list;
  move_plan plan;
  if (plan_resumed_moves(state, device, handle, &list, &plan) != 0) return -1;
  return run_schedule(handle.fd, &list, &plan, state.step, state.done, &journal);
}
