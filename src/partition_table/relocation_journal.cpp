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

constexpr char journal_magic[8] = {'K', 'V', 'R', 'J', 'N', 'L', '0', '1'};
constexpr uint32_t record_magic = 0x5052564b;  // "KVRP"
// The records start on a page of their own behind the header.
constexpr uint64_t header_room = 0x2000;
static_assert(sizeof(journal_header) <= header_room);
static_assert(std::is_trivially_copyable_v<journal_header>);

struct journal_record {
  uint32_t magic;
  uint32_t step;
  uint64_t done;
  uint64_t sequence;  // 1, 2, ... in the order they were written
  uint32_t reserved;
  uint32_t checksum;  // crc32 of the bytes before it
};
static_assert(sizeof(journal_record) == 32);

uint32_t checksum_of(const void *bytes, size_t size) {
  return static_cast<uint32_t>(
      crc32(0, static_cast<const Bytef *>(bytes), static_cast<uInt>(size)));
}

uint32_t header_checksum(const journal_header &header) {
  return checksum_of(&header, offsetof(journal_header, checksum));
}

uint32_t record_checksum(const journal_record &record) {
  return checksum_of(&record, offsetof(journal_record, checksum));
}

// The folder of `path` made durable, so that a new name in it survives.
int sync_folder_of(const char *path) {
  char folder[256];
  snprintf(folder, sizeof(folder), "%s", path);
  char *slash = strrchr(folder, '/');
  if (!slash || slash == folder) return 0;
  *slash = '\0';
  owned_fd handle;
  if (open_region_file(handle, folder, O_RDONLY) != 0) return -1;
  return sync_region_file(handle.fd);
}

int refuse(const char *path, const char *why) {
  printf("The relocation journal '%s' fails its checks (%s): it is not used!\n", path, why);
  return -1;
}

}  // namespace

int create_relocation_journal(relocation_journal &journal, journal_header &header,
                              const char *path) {
  memcpy(header.magic, journal_magic, sizeof(journal_magic));
  header.header_size = static_cast<uint32_t>(sizeof(journal_header));
  header.checksum = header_checksum(header);
  char fresh[300];
  snprintf(fresh, sizeof(fresh), "%s.new", path);
  owned<uint8_t> page = allocate_zeroed(header_room);
  if (!page) {
    puts("malloc failed for the relocation journal!");
    return -1;
  }
  memcpy(page.get(), &header, sizeof(header));
  // A half-written header never carries the journal's name.
  if (open_region_file(journal.file, fresh, region_create) != 0 ||
      write_region_at(journal.file.fd, 0, page.get(), header_room) != 0 ||
      sync_region_file(journal.file.fd) != 0) {
    unlink(fresh);
    printf("Failed to write the relocation journal '%s'!\n", path);
    return -1;
  }
  if (rename(fresh, path) != 0 || sync_folder_of(path) != 0) {
    unlink(fresh);
    printf("Failed to write the relocation journal '%s': %s!\n", path, strerror(errno));
    return -1;
  }
  journal.records = 0;
  return 0;
}

int record_relocation_progress(relocation_journal &journal, uint32_t step, uint64_t done) {
  journal_record record = {record_magic, step, done, journal.records + 1, 0, 0};
  record.checksum = record_checksum(record);
  const uint64_t at = header_room + journal.records * sizeof(journal_record);
  if (write_region_at(journal.file.fd, at, &record, sizeof(record)) != 0 ||
      sync_region_file(journal.file.fd) != 0) {
    puts("Failed to record the progress of the relocation in its journal!");
    return -1;
  }
  journal.records++;
  return 0;
}

int read_relocation_journal(journal_state *state, const char *path) {
  memset(state, 0, sizeof(*state));
  struct stat info;
  if (stat(path, &info) != 0) return errno == ENOENT ? 1 : refuse(path, "it cannot be read");
  const uint64_t length = static_cast<uint64_t>(info.st_size);
  if (!S_ISREG(info.st_mode) || length < header_room) return refuse(path, "it is too short");
  owned_fd file;
  if (open_region_file(file, path, O_RDONLY) != 0) return refuse(path, "it cannot be opened");
  journal_header &header = state->header;
  if (read_region_at(file.fd, 0, &header, sizeof(header)) != 0)
    return refuse(path, "its head cannot be read");
  if (memcmp(header.magic, journal_magic, sizeof(journal_magic)) != 0 ||
      header.header_size != sizeof(journal_header))
    return refuse(path, "it is no journal of this tool");
  if (header.checksum != header_checksum(header)) return refuse(path, "its head is damaged");
  const relocation_schedule &schedule = header.schedule;
  if (schedule.count > sizeof(schedule.steps) / sizeof(schedule.steps[0]) ||
      (header.operation != journal_operation_install &&
       header.operation != journal_operation_migrate) ||
      header.has_userdata > 1 || header.data_source > data_source_backup)
    return refuse(path, "its head holds values out of range");
  header.snapshot[sizeof(header.snapshot) - 1] = '\0';

  // The records: each one further on than the one before; a torn or
  // damaged one is allowed only at the end, where the run was cut off.
  const uint64_t count = (length - header_room) / sizeof(journal_record);
  for (uint64_t i = 0; i < count; i++) {
    journal_record record;
    if (read_region_at(file.fd, header_room + i * sizeof(record), &record, sizeof(record)) != 0)
      return refuse(path, "a record cannot be read");
    const bool sound = record.magic == record_magic && record.checksum == record_checksum(record) &&
                       record.sequence == i + 1 && record.step < schedule.count &&
                       record.done <= schedule.steps[record.step].size;
    if (!sound) {
      if (i + 1 < count) return refuse(path, "a record before its last one is damaged");
      break;
    }
    // The same copy further on, or the next copy once the one before was done.
    const bool further = i == 0 ? record.step == 0
                                : (record.step == state->step && record.done > state->done) ||
                                      (record.step == state->step + 1 &&
                                       state->done == schedule.steps[state->step].size);
    if (!further) return refuse(path, "its records do not follow each other");
    state->step = record.step;
    state->done = record.done;
    state->records = i + 1;
  }
  // A copy that is done hands over to the next one.
  if (state->records > 0 && state->done == schedule.steps[state->step].size) {
    state->step++;
    state->done = 0;
  }
  return 0;
}

int reopen_relocation_journal(relocation_journal &journal, const journal_state &state,
                              const char *path) {
  if (open_region_file(journal.file, path, O_RDWR) != 0) return -1;
  // The next record goes behind the last sound one, over a torn one.
  journal.records = state.records;
  return 0;
}

int remove_relocation_journal(const char *path) {
  if (unlink(path) != 0 && errno != ENOENT) {
    printf("Failed to remove the relocation journal '%s': %s!\n", path, strerror(errno));
    return -1;
  }
  return sync_folder_of(path);
}
