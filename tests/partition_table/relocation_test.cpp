// Relocation of partition contents on image files standing in for the eMMC.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../../src/partition_table/relocation_internal.h"
#include "../support/table_builder.h"
#include "partition_table.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t GiB = 1024 * MiB;

// A sparse image file in a fresh folder, removed again at the end.
struct image_file {
  std::string folder;
  std::string path;
  int fd = -1;

  image_file(uint64_t size, const char *base = nullptr) {
    // In memory where possible: every relocation ends with an fsync.
    if (!base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string name = std::string(base) + "/relocation-XXXXXX";
    if (!mkdtemp(name.data())) {
      ADD_FAILURE() << "mkdtemp failed in " << base;
      return;
    }
    folder = name;
    path = folder + "/mmcblk0";
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) ADD_FAILURE() << "no image";
  }
  ~image_file() {
    if (fd >= 0) close(fd);
    unlink(path.c_str());
    rmdir(folder.c_str());
  }

  void write(uint64_t offset, const std::vector<uint8_t> &bytes) const {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  }
  std::vector<uint8_t> read(uint64_t offset, uint64_t size) const {
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(pread(fd, bytes.data(), size, static_cast<off_t>(offset)),
              static_cast<ssize_t>(size));
    return bytes;
  }
  std::vector<uint8_t> all() const {
    off_t size = lseek(fd, 0, SEEK_END);
    return read(0, static_cast<uint64_t>(size));
  }
};

// Byte `position` of the recognisable contents of partition `id`.
uint8_t pattern_byte(uint32_t id, uint64_t position) {
  uint64_t x = (position + 1) ^ (static_cast<uint64_t>(id) << 48);
  x *= 0x9e3779b97f4a7c15ull;
  return static_cast<uint8_t>(x >> 56);
}

std::vector<uint8_t> pattern(uint32_t id, uint64_t position, uint64_t length) {
  std::vector<uint8_t> bytes(length);
  for (uint64_t i = 0; i < length; i++) bytes[i] = pattern_byte(id, position + i);
  return bytes;
}

struct span {
  uint64_t position;
  uint64_t length;
};

// The parts of a partition that carry its pattern: all of it when it is
// small, else blocks at its start and end, around every chunk boundary and
// at a few places in between.
std::vector<span> sample_spans(uint64_t size, uint64_t chunk, std::mt19937_64 &random) {
  if (size <= 4 * MiB) return size ? std::vector<span>{{0, size}} : std::vector<span>{};
  constexpr uint64_t block = 4096;
  std::vector<span> spans = {{0, block}, {size - block, block}};
  for (uint64_t boundary = chunk; boundary < size; boundary += chunk)
    spans.push_back({boundary - block / 2, block});
  for (int i = 0; i < 8; i++) spans.push_back({random() % (size - block), block});
  return spans;
}

struct layout_partition {
  std::string name;
  uint64_t size;
  uint64_t old_offset;  // UINT64_MAX: only on the new table
  uint64_t new_offset;  // UINT64_MAX: only on the old table
  uint64_t new_size;
};

mmc_partitions_fmt table_of(const std::vector<layout_partition> &partitions, bool new_table) {
  std::vector<test_partition> slots;
  for (const layout_partition &p : partitions) {
    uint64_t offset = new_table ? p.new_offset : p.old_offset;
    if (offset != UINT64_MAX)
      slots.push_back({p.name.c_str(), new_table ? p.new_size : p.size, offset, 0});
  }
  return make_table(slots);
}

bool moves(const layout_partition &p) {
  return p.old_offset != UINT64_MAX && p.new_offset != UINT64_MAX && p.old_offset != p.new_offset;
}

// A layout on an image: every partition of the old table carries its
// pattern; after a successful relocation each moved partition must carry it
// at its new place and every other kept partition where it was.
struct relocation_case {
  std::vector<layout_partition> partitions;
  unsigned int has_userdata = 1;
  uint64_t device_size = 0;
  std::vector<std::vector<span>> samples;
  std::vector<std::vector<std::vector<uint8_t>>> expected;  // what the samples read before

  void fill(const image_file &image, uint64_t chunk, std::mt19937_64 &random) {
    samples.assign(partitions.size(), {});
    for (uint32_t i = 0; i < partitions.size(); i++) {
      const layout_partition &p = partitions[i];
      if (p.old_offset == UINT64_MAX || p.old_offset >= device_size) continue;
      uint64_t size = std::min(p.size, device_size - p.old_offset);
      samples[i] = sample_spans(size, chunk, random);
      for (const span &s : samples[i])
        image.write(p.old_offset + s.position, pattern(i, s.position, s.length));
    }
    // Old places may overlap: what counts is what each partition holds now.
    expected.assign(partitions.size(), {});
    for (uint32_t i = 0; i < partitions.size(); i++)
      for (const span &s : samples[i])
        expected[i].push_back(image.read(partitions[i].old_offset + s.position, s.length));
  }

  // Moved partitions at their new place, kept ones where they are; nothing
  // else is looked at (free space may hold staged copies).
  void expect_moved(const image_file &image) const {
    for (uint32_t i = 0; i < partitions.size(); i++) {
      const layout_partition &p = partitions[i];
      if (p.old_offset == UINT64_MAX || p.new_offset == UINT64_MAX) continue;
      for (size_t k = 0; k < samples[i].size(); k++) {
        const span &s = samples[i][k];
        ASSERT_EQ(image.read(p.new_offset + s.position, s.length), expected[i][k])
            << p.name << " at +" << s.position;
      }
    }
  }
};

class Relocation : public testing::Test {
 protected:
  void SetUp() override { default_chunk = relocation_chunk_size; }
  void TearDown() override { relocation_chunk_size = default_chunk; }

  // Runs `call` on the case's old and new table.
  template <typename F>
  static int on_tables(const relocation_case &c, std::string *output, F call) {
    mmc_partitions_fmt old_table = table_of(c.partitions, false);
    mmc_partitions_fmt new_table = table_of(c.partitions, true);
    CaptureStdout();
    int result = call(&old_table, &new_table);
    *output = GetCapturedStdout();
    return result;
  }
  static int move(const relocation_case &c, const image_file &image, std::string *output) {
    return on_tables(c, output, [&](auto old_table, auto new_table) {
      return move_partitions(c.has_userdata, old_table, new_table, image.path.c_str());
    });
  }
  static int check(const relocation_case &c, const image_file &image, std::string *output,
                   relocation_schedule *schedule = nullptr) {
    return on_tables(c, output, [&](auto old_table, auto new_table) {
      return check_partition_moves(c.has_userdata, old_table, new_table, image.path.c_str(),
                                   schedule);
    });
  }

  uint64_t default_chunk = 0;
};

// The writes of a move in their order, a flush as an empty span: the
// executable's own pwrite and fsync stand before the C library's.
std::vector<span> *recorded = nullptr;

constexpr uint64_t none = UINT64_MAX;

// bootloader and reserved, then the given partitions (a new size of 0: the
// same size on both tables).
relocation_case userdata_case(std::vector<layout_partition> rest, uint64_t device_size) {
  relocation_case c;
  c.partitions = {{"bootloader", 1 * MiB, 0, 0, 1 * MiB},
                  {"reserved", 2 * MiB, 2 * MiB, 2 * MiB, 2 * MiB}};
  for (layout_partition &p : rest) {
    if (p.new_size == 0) p.new_size = p.size;
    c.partitions.push_back(p);
  }
  c.device_size = device_size;
  return c;
}

TEST_F(Relocation, AnEmptyPartitionIsAnnouncedButNothingIsWritten) {
  relocation_case c = userdata_case({{"frp", 0, 5 * MiB, 9 * MiB, 0}}, 16 * MiB);
  image_file image(c.device_size);
  image.write(9 * MiB, pattern(7, 0, 64 * KiB));
  std::vector<uint8_t> before = image.all();
  std::string output;
  EXPECT_EQ(move(c, image, &output), 0);
  EXPECT_EQ(output, "\nMoving partition 'frp' from offset 0x000000500000, size 0MB to offset "
                    "0x000000900000, please wait...\n");
  EXPECT_EQ(image.all(), before);
}

// New places that share a single byte with another new place, with a kept
// partition or with what lies past the device are refused; places that only
// touch are not.
TEST_F(Relocation, NewPlacesSharingOneByteAreRefusedTouchingOnesPass) {
  const uint64_t a = 5 * MiB, size = 1 * MiB;
  const struct {
    uint64_t b_new;  // new place of "misc" (1 MiB); "logo" goes to [a, a + size)
    const char *refusal;
    uint64_t b_new_size = 0;  // 0: the same
  } cases[] = {
      {a + size - 1, "New place of partition 'misc' overlaps the new place of partition 'logo'!\n"},
      {a + size, nullptr},
      {a - size + 1, "New place of partition 'misc' overlaps the new place of partition 'logo'!\n"},
      {a - size, nullptr},
      {2 * MiB - size + 1, "New place of partition 'misc' overlaps partition 'reserved'!\n"},
      {4 * MiB, nullptr},
      // The device's last byte is the last a place may take.
      {16 * MiB - size, nullptr},
      {16 * MiB - size + 1, "Partition 'misc' at offset 0x000000f00001, size 0x000000100000 lies "
                            "outside"},
      // Nor may a moved partition change its size.
      {12 * MiB, "Partition 'misc' has 0x000000100000 bytes on the old table but 0x000000100001 "
                "on the new one!\n", size + 1},
  };
  for (const auto &t : cases) {
    relocation_case c = userdata_case(
        {{"logo", size, 9 * MiB, a, 0}, {"misc", size, 11 * MiB, t.b_new, t.b_new_size}}, 16 * MiB);
    image_file image(c.device_size);
    std::string output;
    EXPECT_EQ(check(c, image, &output), t.refusal ? -1 : 0) << t.b_new << output;
    if (t.refusal) {
      EXPECT_NE(output.find(t.refusal), std::string::npos) << output;
    }
  }
}

// Partitions that move over their own old place, down and up, with sizes
// that leave a short last chunk; a name read from the device is shown
// without its control bytes.
TEST_F(Relocation, MovesOverItsOwnOldPlaceInBothDirections) {
  relocation_chunk_size = 64 * KiB;
  uint64_t odd = 5 * 64 * KiB + 777;
  for (uint64_t to :
       {5 * MiB - 3 * 64 * KiB, 5 * MiB + 100, 5 * MiB + 2 * 64 * KiB, 5 * MiB + odd}) {
    relocation_case c = userdata_case({{"\x1b[2Jsuper", odd, 5 * MiB, to, 0}}, 8 * MiB);
    image_file image(c.device_size);
    std::mt19937_64 random(4);
    c.fill(image, relocation_chunk_size, random);
    std::string output;
    EXPECT_EQ(move(c, image, &output), 0);
    EXPECT_NE(output.find("\nMoving partition '?[2Jsuper' from offset 0x000000500000"),
              std::string::npos) << output;
    c.expect_moved(image);
  }
}

// ---- Random layouts ----

// Places `size` bytes in [0, limit) clear of `busy`, at a random place, or
// returns none.
uint64_t random_place(uint64_t size, uint64_t limit, const std::vector<span> &busy,
                      std::mt19937_64 &random) {
  if (size > limit) return none;
  for (int attempt = 0; attempt < 200; attempt++) {
    uint64_t at = random() % (limit - size + 1);
    if (random() % 2) at &= ~(4 * KiB - 1);
    bool clear = std::none_of(busy.begin(), busy.end(), [&](const span &b) {
      return size && b.length && at < b.position + b.length && b.position < at + size;
    });
    if (clear) return at;
  }
  return none;
}

const char *const examined_names[] = {"env", "misc", "logo", "dtbo", "dto"};

// A layout where every moved partition has room: old and new places each
// clear of the kept partitions and of each other, and a free stretch as
// large as the largest moved partition at the end of the device.
relocation_case feasible_case(std::mt19937_64 &random, uint64_t scale) {
  relocation_case c;
  c.has_userdata = random() % 2;
  uint32_t moved = 1 + random() % 5;
  uint32_t kept = random() % 3;
  std::vector<uint64_t> sizes;
  uint64_t largest = 0;
  uint64_t total = 0;
  for (uint32_t i = 0; i < moved; i++) {
    uint64_t size = random() % 5 == 0 ? 0 : 1 + random() % scale;
    sizes.push_back(size);
    largest = std::max(largest, size);
    total += size;
  }
  uint64_t span_size = 3 * total + 4 * scale;
  c.device_size = span_size + largest + random() % 4096;
  std::vector<span> kept_spans = {{0, 64 * KiB}, {128 * KiB, 256 * KiB}};
  c.partitions = {{"bootloader", 64 * KiB, 0, 0, 64 * KiB},
                  {"reserved", 256 * KiB, 128 * KiB, 128 * KiB, 256 * KiB}};
  for (uint32_t i = 0; i < kept; i++) {
    uint64_t size = 1 + random() % (scale / 4 + 1);
    uint64_t at = random_place(size, span_size, kept_spans, random);
    if (at == none) continue;
    kept_spans.push_back({at, size});
    std::string name = i == 0 ? "super" : "cache";
    c.partitions.push_back({name, size, at, at, size});
  }
  std::vector<span> old_busy = kept_spans;
  std::vector<span> new_busy = kept_spans;
  for (uint32_t i = 0; i < moved; i++) {
    uint64_t from = random_place(sizes[i], span_size, old_busy, random);
    uint64_t to = random_place(sizes[i], span_size, new_busy, random);
    if (from == none || to == none || from == to) continue;
    old_busy.push_back({from, sizes[i]});
    new_busy.push_back({to, sizes[i]});
    c.partitions.push_back({examined_names[i], sizes[i], from, to, sizes[i]});
  }
  // A created partition over free space of the new table may be used for staging.
  uint64_t created = random_place(scale, span_size, new_busy, random);
  if (created != none) c.partitions.push_back({"KV_STORAGE", scale, none, created, scale});
  std::shuffle(c.partitions.begin() + 2, c.partitions.end(), random);
  return c;
}

// Anything goes: places may overlap, leave the device or change size.
relocation_case random_case(std::mt19937_64 &random) {
  relocation_case c;
  c.has_userdata = random() % 2;
  c.device_size = 1 * MiB + random() % (3 * MiB);
  c.partitions = {{"bootloader", 64 * KiB, 0, 0, 64 * KiB},
                  {"reserved", 64 * KiB, 64 * KiB, 64 * KiB, 64 * KiB}};
  uint32_t count = 1 + random() % 5;
  for (uint32_t i = 0; i < count; i++) {
    uint64_t size = random() % (c.device_size / 3);
    uint64_t from = random() % c.device_size;
    uint64_t to = random() % 8 == 0 ? from : random() % c.device_size;
    uint64_t new_size = random() % 16 == 0 ? size + 1 : size;
    c.partitions.push_back({examined_names[i], size, from, to, new_size});
  }
  return c;
}

// A staged copy is flushed before a write lands on its source.
TEST_F(Relocation, MovesEveryFeasibleRandomLayoutExactly) {
  int staged = 0;
  for (uint64_t seed = 1; seed <= 300; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    const uint64_t chunks[] = {512, 1000, 4096, 65536, 16 * MiB};
    relocation_chunk_size = chunks[random() % 5];
    relocation_case c = feasible_case(random, 256 * KiB);
    image_file image(c.device_size);
    c.fill(image, relocation_chunk_size, random);
    std::string output;
    relocation_schedule schedule{};
    ASSERT_EQ(check(c, image, &output, &schedule), 0) << output;
    std::vector<span> writes;
    recorded = &writes;
    int result = move(c, image, &output);
    recorded = nullptr;
    ASSERT_EQ(result, 0) << output;
    size_t lines = std::count_if(c.partitions.begin(), c.partitions.end(), moves);
    size_t printed = 0;
    for (size_t at = output.find("Moving"); at != std::string::npos;
         at = output.find("Moving", at + 1))
      printed++;
    EXPECT_EQ(printed, lines) << output;
    for (uint32_t k = 0; k < schedule.count; k++) {
      const relocation_step &s = schedule.steps[k];
      if (!s.staging || s.size == 0) continue;
      staged++;
      bool unflushed = false;  // bytes of the staged copy written but not flushed
      for (const span &w : writes) {
        auto hits = [&](uint64_t at) { return w.position < at + s.size && at < w.position + w.length; };
        unflushed = w.length > 0 && (unflushed || hits(s.to));
        ASSERT_FALSE(unflushed && hits(s.from)) << s.name.text << " overwritten before its staged copy was flushed";
      }
    }
    c.expect_moved(image);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(staged, 0);
}

TEST_F(Relocation, EitherRefusesARandomLayoutUntouchedOrMovesItExactly) {
  int refused = 0;
  for (uint64_t seed = 1001; seed <= 1300; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    relocation_chunk_size = 1 + random() % (128 * KiB);
    relocation_case c = random_case(random);
    image_file image(c.device_size);
    c.fill(image, relocation_chunk_size, random);
    std::vector<uint8_t> before = image.all();
    std::string checked;
    std::string output;
    int feasible = check(c, image, &checked);
    int result = move(c, image, &output);
    ASSERT_EQ(result, feasible) << checked << output;
    if (result != 0) {
      refused++;
      ASSERT_EQ(image.all(), before) << output;
    } else {
      c.expect_moved(image);
    }
    if (HasFatalFailure()) return;
  }
  // Both kinds of outcome occur.
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, 300);
}

// Partitions over 4 GiB at offsets over 4 GiB, on a sparse image in memory
// (only the sampled blocks carry data; the copy itself writes every byte).
TEST_F(Relocation, MovesPartitionsLargerThanFourGibibytes) {
  struct statvfs room;
  const char *folder = "/dev/shm";
  if (statvfs(folder, &room) != 0 || room.f_bavail * room.f_frsize < 6 * GiB)
    GTEST_SKIP() << "needs 6 GiB free in " << folder;
  uint64_t size = 4 * GiB + 3 * MiB + 12345;
  // Up over its own old place: copied from the end, chunk offsets above 4 GiB.
  const uint64_t to = 5 * GiB + 40 * MiB + 3;
  relocation_case c = userdata_case({{"super", size, 5 * GiB, to, 0}}, 10 * GiB);
  image_file image(c.device_size, folder);
  std::mt19937_64 random(to);
  c.fill(image, relocation_chunk_size, random);
  std::string output;
  EXPECT_EQ(move(c, image, &output), 0) << output;
  EXPECT_NE(output.find("from offset 0x000140000000, size 4099MB to offset 0x000142800003"),
            std::string::npos) << output;
  c.expect_moved(image);
}

}  // namespace

// ---- The journal ----

// A move over its own old place, closer than a chunk: every record is at
// most the distance beyond the one before, so that a run cut off right
// before a record still finds every byte it has to copy again; and a run
// cut off there is finished from the journal exactly.
TEST_F(Relocation, AJournalledMoveCloserThanAChunkCanBeFinishedFromEveryStretch) {
  relocation_chunk_size = 64 * KiB;
  const uint64_t size = 5 * 64 * KiB + 777, from = 5 * MiB;
  for (uint64_t to : {from - 100, from + 3 * 64 * KiB + 5}) {
    const uint64_t distance = to > from ? to - from : from - to;
    relocation_case c = userdata_case({{"super", size, from, to, 0}}, 8 * MiB);
    image_file image(c.device_size);
    std::mt19937_64 random(9);
    c.fill(image, relocation_chunk_size, random);
    const std::vector<uint8_t> before = image.all();
    mmc_partitions_fmt old_table = table_of(c.partitions, false);
    mmc_partitions_fmt new_table = table_of(c.partitions, true);
    static journal_header header;
    memset(&header, 0, sizeof(header));
    header.operation = journal_operation_install;
    header.has_userdata = 1;
    header.old_table = old_table;
    header.new_table = new_table;
    const std::string path = image.folder + "/relocation.journal";
    CaptureStdout();
    ASSERT_EQ(check_partition_moves(1, &old_table, &new_table, image.path.c_str(), &header.schedule), 0);
    relocation_journal journal;
    ASSERT_EQ(create_relocation_journal(journal, header, path.c_str()), 0);
    ASSERT_EQ(move_partitions(1, &old_table, &new_table, image.path.c_str(), &journal), 0);
    GetCapturedStdout();
    c.expect_moved(image);

    // The records: how far the copy was durable each time.
    std::vector<uint64_t> done;
    for (uint64_t i = 0;; i++) {
      uint64_t value = 0;
      if (pread(journal.file.fd, &value, 8, static_cast<off_t>(journal_records_offset + journal_record_block * i + 8)) != 8) break;
      done.push_back(value);
    }
    ASSERT_GE(done.size(), 2u);
    ASSERT_EQ(done.back(), size);
    for (size_t i = 1; i < done.size(); i++) ASSERT_LE(done[i] - done[i - 1], distance) << i;

    // Cut off right before record k + 1, with all of its bytes written.
    const size_t k = done.size() / 2;
    ASSERT_EQ(pwrite(image.fd, before.data(), before.size(), 0), static_cast<ssize_t>(before.size()));
    std::vector<uint8_t> chunk(distance);
    const uint64_t written = done[k];
    const uint64_t at = to > from ? size - written : 0;
    ASSERT_EQ(move_partition_contents(image.fd, from + at, to + at, written, chunk.data(), distance), 0);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(journal_records_offset + journal_record_block * k)), 0);
    static journal_state state;
    ASSERT_EQ(read_relocation_journal(&state, path.c_str()), 0);
    EXPECT_EQ(state.done, done[k - 1]);
    relocation_journal again;
    CaptureStdout();
    ASSERT_EQ(reopen_relocation_journal(again, state, path.c_str()), 0);
    EXPECT_EQ(resume_partition_moves(state, again, image.path.c_str()), 0);
    GetCapturedStdout();
    c.expect_moved(image);
  }
}

// The journal's own checks, on a journal of two copies (100 and 200 bytes)
// spoilt in one way per row: which records are still believed.
TEST(RelocationJournal, BelievesOnlyRecordsOfItsOwnRunAndHead) {
  struct row {
    const char *name;
    std::vector<int> stages;  // after the two copies' records
    std::string spoil;        // "torn", "foreign", "version", "early" or ""
    int result;
    uint32_t step, stage;
    const char *said;
  };
  const row rows[] = {
      {"sound", {1, 2, 3, 4, 5}, "", 0, 2, 5, ""},
      {"torn last record", {1, 2, 3}, "torn", 0, 2, 2, ""},
      {"another journal's record", {1, 2, 3}, "foreign", -1, 0, 0, "before its last one"},
      {"another version", {1}, "version", -1, 0, 0, "(it is of another version)"},
      {"a later step before the copies are done", {1}, "early", -1, 0, 0, "do not follow"},
  };
  char folder[] = "/tmp/journal-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/relocation.journal";
  const std::string other = path + ".other";
  static journal_header header;
  for (const row &r : rows) {
    auto make = [&](const std::string &where, uint8_t id, relocation_journal &journal) {
      memset(&header, 0, sizeof(header));
      header.operation = journal_operation_install;
      header.schedule.count = 2;
      header.schedule.steps[0].size = 100;
      header.schedule.steps[1].size = 200;
      memset(header.change_id, id, sizeof(header.change_id));
      ASSERT_EQ(create_relocation_journal(journal, header, where.c_str()), 0);
      ASSERT_EQ(record_relocation_progress(journal, 0, 100), 0);
      if (r.spoil != "early") {
        ASSERT_EQ(record_relocation_progress(journal, 1, 200), 0);
      }
      for (int stage : r.stages) ASSERT_EQ(record_change_stage(journal, stage), 0);
    };
    relocation_journal mine, theirs;
    make(path, 1, mine);
    make(other, 2, theirs);
    const off_t length = lseek(mine.file.fd, 0, SEEK_END);
    if (r.spoil == "torn") {
      ASSERT_EQ(ftruncate(mine.file.fd, length - 4096 + 20), 0);
    } else if (r.spoil == "version") {
      ASSERT_EQ(pwrite(mine.file.fd, "1", 1, 7), 1);
    }
    if (r.spoil == "foreign") {  // the same head but another change's block
      std::vector<uint8_t> block(journal_record_block);
      const off_t at = static_cast<off_t>(journal_records_offset + journal_record_block);
      ASSERT_EQ(pread(theirs.file.fd, block.data(), block.size(), at), 4096);
      ASSERT_EQ(pwrite(mine.file.fd, block.data(), block.size(), at), 4096);
    }
    static journal_state state;
    CaptureStdout();
    EXPECT_EQ(read_relocation_journal(&state, path.c_str()), r.result) << r.name;
    EXPECT_NE(GetCapturedStdout().find(r.said), std::string::npos) << r.name;
    if (r.result == 0) {
      EXPECT_EQ(state.step * 10 + state.stage, r.step * 10 + r.stage) << r.name;
    }
  }
  unlink(path.c_str());
  unlink(other.c_str());
  rmdir(folder);
}

extern "C" ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset) {
  static auto real = reinterpret_cast<ssize_t (*)(int, const void *, size_t, off_t)>(
      dlsym(RTLD_NEXT, "pwrite64"));
  if (recorded) recorded->push_back({static_cast<uint64_t>(offset), size});
  return real(fd, buffer, size, offset);
}

extern "C" int fsync(int fd) {
  if (recorded) recorded->push_back({0, 0});
  return static_cast<int>(syscall(SYS_fsync, fd));
}
