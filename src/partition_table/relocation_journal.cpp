// The relocation's journal on the boot media: one header with everything a
// later run needs to finish the relocation, then fixed-size progress
// records, each with its own checksum. See partition_table.h.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "partition_table.h"

namespace {

// The first six bytes name a journal of this tool, the last two its version.
constexpr char journal_magic[8] = {'K', 'V', 'R', 'J', 'N', 'L', '0', '2'};
constexpr size_t journal_kind_size = 6;
constexpr uint32_t record_magic = 0x5052564b;  // "KVRP"
static_assert(sizeof(journal_header) <= journal_image_offset);
static_assert(std::is_trivially_copyable_v<journal_header>);

struct journal_record {
  uint32_t magic;
  uint32_t step;      // the copy; the schedule's count for a later step
  uint64_t done;      // bytes of that copy; 0 for a later step
  uint64_t sequence;  // 1, 2, ... in the order they were written
  uint32_t stage;     // journal_stage_*; 0 for a copy's progress
  uint32_t checksum;  // see record_checksum
};
static_assert(sizeof(journal_record) == 32);
static_assert(sizeof(journal_record) <= 512, "a record lies in one sector of its block");

uint32_t checksum_of(const void *bytes, size_t size, uint32_t seed = 0) {
  return static_cast<uint32_t>(
      crc32(seed, static_cast<const Bytef *>(bytes), static_cast<uInt>(size)));
}

uint32_t header_checksum(const journal_header &header) {
  return checksum_of(&header, offsetof(journal_header, checksum));
}

// Bound to its journal: seeded with the header's checksum and the change's
// identifier, so that a record of another journal or run never passes.
uint32_t record_checksum(const journal_record &record, uint32_t header_crc,
                         const uint8_t *change_id) {
  uint32_t seed = checksum_of(&header_crc, sizeof(header_crc));
  seed = checksum_of(change_id, change_id_size, seed);
  return checksum_of(&record, offsetof(journal_record, checksum), seed);
}

uint64_t record_offset(uint64_t index) {
  return journal_records_offset + index * journal_record_block;
}

int refuse(const char *path, const char *why) {
  printf("The relocation journal '%s' fails its checks (%s): it is not used!\n", path, why);
  return -1;
}

}  // namespace

int create_relocation_journal(relocation_journal &journal, journal_header &header,
                              const char *path, const uint8_t *image, uint64_t image_size) {
  if (image_size > journal_image_room || (image_size > 0 && !image)) {
    puts("The reserved area's image does not fit the relocation journal!");
    return -1;
  }
  memcpy(header.magic, journal_magic, sizeof(journal_magic));
  header.header_size = static_cast<uint32_t>(sizeof(journal_header));
  header.image_size = image_size;
  header.image_crc = image_size > 0 ? checksum_of(image, static_cast<size_t>(image_size)) : 0;
  header.checksum = header_checksum(header);
  char fresh[300];
  snprintf(fresh, sizeof(fresh), "%s.new", path);
  owned<uint8_t> page = allocate_zeroed(static_cast<size_t>(journal_records_offset));
  if (!page) {
    puts("malloc failed for the relocation journal!");
    return -1;
  }
  memcpy(page.get(), &header, sizeof(header));
  if (image_size > 0) memcpy(page.get() + journal_image_offset, image, static_cast<size_t>(image_size));
  // A half-written header never carries the journal's name.
  if (open_region_file(journal.file, fresh, region_create) != 0 ||
      write_region_at(journal.file.fd, 0, page.get(), journal_records_offset) != 0 ||
      sync_region_file(journal.file.fd) != 0) {
    unlink(fresh);
    printf("Failed to write the relocation journal '%s'!\n", path);
    return -1;
  }
  if (rename(fresh, path) != 0 || sync_folder_of(path) != 0) {
    const int cause = errno;
    unlink(fresh);
    printf("Failed to write the relocation journal '%s': %s!\n", path, strerror(cause));
    return -1;
  }
  journal.records = 0;
  snprintf(journal.path, sizeof(journal.path), "%s", path);
  journal.step_count = header.schedule.count;
  journal.header_checksum = header.checksum;
  memcpy(journal.change_id, header.change_id, change_id_size);
  return 0;
}

namespace {

// One record in a block of its own, made durable.
int write_record(relocation_journal &journal, uint32_t step, uint64_t done, uint32_t stage) {
  alignas(4096) uint8_t block[journal_record_block] = {};
  journal_record record = {record_magic, step, done, journal.records + 1, stage, 0};
  record.checksum = record_checksum(record, journal.header_checksum, journal.change_id);
  memcpy(block, &record, sizeof(record));
  if (write_region_at(journal.file.fd, record_offset(journal.records), block, sizeof(block)) != 0 ||
      sync_region_file(journal.file.fd) != 0)
    return -1;
  journal.records++;
  return 0;
}

}  // namespace

int record_relocation_progress(relocation_journal &journal, uint32_t step, uint64_t done) {
  if (write_record(journal, step, done, journal_stage_none) != 0) {
    puts("Failed to record the progress of the relocation in its journal!");
    return -1;
  }
  return 0;
}

int record_change_stage(relocation_journal &journal, uint32_t stage) {
  // A journal-less change (dual boot) has nothing to record.
  if (journal.file.fd < 0) return 0;
  if (write_record(journal, journal.step_count, 0, stage) != 0) {
    puts("Failed to record the progress of the change in its journal!");
    return -1;
  }
  return 0;
}

int read_relocation_journal(journal_state *state, const char *path) {
  memset(state, 0, sizeof(*state));
  struct stat info;
  if (stat(path, &info) != 0) return errno == ENOENT ? 1 : refuse(path, "it cannot be read");
  const uint64_t length = static_cast<uint64_t>(info.st_size);
  owned_fd file;
  if (!S_ISREG(info.st_mode) || length < sizeof(journal_header))
    return refuse(path, "it is too short");
  if (open_region_file(file, path, O_RDONLY) != 0) return refuse(path, "it cannot be opened");
  journal_header &header = state->header;
  if (read_region_at(file.fd, 0, &header, sizeof(header)) != 0)
    return refuse(path, "its head cannot be read");
  if (memcmp(header.magic, journal_magic, journal_kind_size) != 0)
    return refuse(path, "it is no journal of this tool");
  if (memcmp(header.magic, journal_magic, sizeof(journal_magic)) != 0 ||
      header.header_size != sizeof(journal_header))
    return refuse(path, "it is of another version");
  if (length < journal_records_offset) return refuse(path, "it is too short");
  if (header.checksum != header_checksum(header)) return refuse(path, "its head is damaged");
  const relocation_schedule &schedule = header.schedule;
  if (schedule.count > sizeof(schedule.steps) / sizeof(schedule.steps[0]) ||
      (header.operation != journal_operation_install &&
       header.operation != journal_operation_migrate &&
       header.operation != journal_operation_remove) ||
      (header.operation == journal_operation_remove && schedule.count != 0) ||
      header.has_userdata > 1 || header.data_source > data_source_backup ||
      header.image_size > journal_image_room)
    return refuse(path, "its head holds values out of range");
  header.snapshot[sizeof(header.snapshot) - 1] = '\0';
  header.emmc_cid[sizeof(header.emmc_cid) - 1] = '\0';

  // The records: each one further on than the one before; a torn or
  // damaged one is allowed only at the end, where the run was cut off.
  const uint64_t count =
      (length - journal_records_offset + journal_record_block - 1) / journal_record_block;
  bool relocated = schedule.count == 0;
  for (uint64_t i = 0; i < count; i++) {
    journal_record record = {};
    const uint64_t at = record_offset(i);
    const bool whole = length - at >= sizeof(record);
    if (whole && read_region_at(file.fd, at, &record, sizeof(record)) != 0)
      return refuse(path, "a record cannot be read");
    const bool progress = record.stage == journal_stage_none;
    const bool sound =
        whole && record.magic == record_magic &&
        record.checksum == record_checksum(record, header.checksum, header.change_id) &&
        record.sequence == i + 1 &&
        (progress ? record.step < schedule.count && record.done <= schedule.steps[record.step].size
                  : record.stage <= journal_stage_last && record.step == schedule.count &&
                        record.done == 0);
    if (!sound) {
      if (i + 1 < count) return refuse(path, "a record before its last one is damaged");
      break;
    }
    // The same copy further on, or the next copy once the one before was
    // done; after the last copy, the later steps in their order.
    const bool further =
        !progress  ? relocated && record.stage > state->stage
        : relocated ? false
        : i == 0    ? record.step == 0
                    : (record.step == state->step && record.done > state->done) ||
                       (record.step == state->step + 1 &&
                        state->done == schedule.steps[state->step].size);
    if (!further) return refuse(path, "its records do not follow each other");
    if (progress) {
      state->step = record.step;
      state->done = record.done;
      relocated = record.step + 1 == schedule.count && record.done == schedule.steps[record.step].size;
    } else {
      state->stage = record.stage;
    }
    state->records = i + 1;
  }
  // A copy that is done hands over to the next one.
  if (state->step < schedule.count && state->records > 0 &&
      state->done == schedule.steps[state->step].size) {
    state->step++;
    state->done = 0;
  }
  return 0;
}

int read_journal_image(const journal_state &state, uint8_t *image, const char *path) {
  const journal_header &header = state.header;
  owned_fd file;
  if (open_region_file(file, path, O_RDONLY) != 0 ||
      read_region_at(file.fd, journal_image_offset, image, header.image_size) != 0)
    return refuse(path, "its image of the reserved area cannot be read");
  if (checksum_of(image, static_cast<size_t>(header.image_size)) != header.image_crc)
    return refuse(path, "its image of the reserved area is damaged");
  return 0;
}

int reopen_relocation_journal(relocation_journal &journal, const journal_state &state,
                              const char *path) {
  if (open_region_file(journal.file, path, O_RDWR) != 0) return -1;
  // The next record goes behind the last sound one, over a torn one.
  journal.records = state.records;
  snprintf(journal.path, sizeof(journal.path), "%s", path);
  journal.step_count = state.header.schedule.count;
  journal.header_checksum = state.header.checksum;
  memcpy(journal.change_id, state.header.change_id, change_id_size);
  return 0;
}

int remove_relocation_journal(const char *path) {
  if (unlink(path) != 0 && errno != ENOENT) {
    printf("Failed to remove the relocation journal '%s': %s!\n", path, strerror(errno));
    return -1;
  }
  return sync_folder_of(path);
}

void abandon_relocation_journal(relocation_journal &journal) {
  close_region_file(journal.file);
  remove_relocation_journal(journal.path);
}
