// DTB blocks in every form the bootloader stores them, reworked and then
// decoded with zlib, fdtget and a container reader of the tests' own.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "devicetree.h"
#include "dtb_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Two trees for containers, with vbmeta lists of different lengths.
std::vector<bytes> box_trees() {
  return {compile_dts(box_dts("tree A", "boot,system,vendor", true)),
          compile_dts(box_dts("tree B", "boot", true))};
}

struct block_form {
  const char *name;
  uint32_t container_version;  // 0: a single tree
  bool compressed;
};
const block_form forms[] = {{"PlainTree", 0, false},   {"GzipTree", 0, true},
                            {"ContainerV1", 1, false}, {"ContainerV2", 2, false},
                            {"ContainerV3", 3, false}, {"GzipContainer", 2, true}};

void PrintTo(const block_form &f, std::ostream *out) { *out << f.name; }

bytes block_of(const block_form &f) {
  bytes content = f.container_version ? container(f.container_version, box_trees()) : box_trees()[0];
  return f.compressed ? compressed_block(content) : plain_block(content);
}

std::vector<const uint8_t *> trees_in(const bytes &content) {
  if (memcmp(content.data(), "AML_", 4) != 0) return {content.data()};
  std::vector<const uint8_t *> trees;
  for (uint32_t offset : container_tree_offsets(content)) trees.push_back(&content[offset]);
  return trees;
}

uint32_t le32_at(const bytes &b, size_t at) {
  uint32_t v;
  memcpy(&v, &b[at], 4);
  return v;
}

int read_parts(const bytes &block, char *value, size_t size) {
  return read_dtb_block_property(block.data(), "/firmware/android/vbmeta", "parts", value, size);
}

int rework(int mode, bytes &block) {
  mmc_partitions_fmt table = android_table();
  return rework_dtb_block(mode, block.data(), "/partitions", &table);
}

class BlockRoundTrip : public testing::TestWithParam<std::tuple<block_form, int>> {};

}  // namespace

TEST_P(BlockRoundTrip, GivesABlockTheBootloaderAndIndependentToolsRead) {
  auto [f, mode] = GetParam();
  bytes original = block_of(f);
  bytes block = original;
  uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(rework(mode, block), 0);

  EXPECT_EQ(stored_checksum(block.data()), word_sum(block.data()));
  if (f.compressed) {
    EXPECT_EQ(0, memcmp(block.data(), "\x1f\x8b\x08\x00", 4));  // no optional header fields
    EXPECT_GE(le32_at(block, 4), before);
  } else {
    EXPECT_EQ(0, memcmp(&block[0x3FFF0], "A~D", 4));
  }
  bytes content = block_content(block);
  ASSERT_FALSE(content.empty());
  bytes old_content = block_content(original);
  std::vector<const uint8_t *> trees = trees_in(content);
  ASSERT_EQ(trees.size(), trees_in(old_content).size());
  if (f.compressed && !f.container_version) {
    // A single tree is packed again exactly to its total size.
    EXPECT_EQ(content.size(), uint32_t(trees[0][4] << 24 | trees[0][5] << 16 | trees[0][6] << 8 | trees[0][7]));
  }

  const char *models[] = {"tree A\n", "tree B\n"};
  for (size_t i = 0; i < trees.size(); i++) {
    EXPECT_EQ(fdtget(trees[i], "/ model"), models[i]);
    std::string children = fdtget(trees[i], "-l /");
    if (mode == dtb_mode_rebuild) {
      EXPECT_EQ(children, "partitions\nfirmware\nsoc\n");
      EXPECT_EQ(fdtget(trees[i], "-l /partitions"), "logo\nmisc\nboot\nsystem\ndata\n");
      EXPECT_EQ(fdtget(trees[i], "-t x /partitions/data size"), "ffffffff ffffffff\n");
    } else {
      EXPECT_EQ(children, "firmware\nsoc\n");
    }
  }
  char parts[256] = {};
  EXPECT_EQ(read_parts(block, parts, sizeof(parts)), 0);
  EXPECT_STREQ(parts, trees.size() == 1 ? "boot,system,vendor" : "boot");
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormAndMode, BlockRoundTrip,
    testing::Combine(testing::ValuesIn(forms),
                     testing::Values(dtb_mode_remove, dtb_mode_rebuild, dtb_mode_keep)),
    [](const testing::TestParamInfo<BlockRoundTrip::ParamType> &info) {
      return std::string(std::get<0>(info.param).name) + "Mode" +
             std::to_string(std::get<1>(info.param));
    });

TEST(DtbBlock, ChecksumSumsEveryWordUpToTheChecksum) {
  bytes block(0x40000);
  block[0] = 1;
  block[0x3FFF8] = 2;     // the last word that counts
  block[0x3FFFC] = 0x55;  // the checksum word itself
  EXPECT_EQ(dtb_block_checksum(block.data()), 3u);
}

// Blocks the reader and the rework take apart: what the read gives (the
// last tree's value, or the first failure) and what a rework does
// (`reworked`, or skipped when 1). None of them is changed.
TEST(DtbBlock, ReadingAndReworkingLeaveWhatIsNoSoundTreeAlone) {
  const std::vector<bytes> trees = box_trees();
  const bytes lacking = compile_dts("/dts-v1/;\n/ { firmware { android { vbmeta { }; }; }; };\n");
  // A version 1 container with the word at `at` changed; a moved tree's magic goes along.
  const auto spoiled = [&](size_t at, uint32_t value, bool tree_moved = false) {
    bytes content = container(1, trees);
    memcpy(&content[at], &value, 4);
    if (tree_moved) memcpy(&content[value], "\xd0\x0d\xfe\xed", 4);
    return plain_block(content);
  };
  bytes wrong_marker = plain_block(trees[0]);
  memcpy(&wrong_marker[0x3FFF0], "XY\x1b", 4);
  const uint32_t first = container_tree_offsets(container(1, trees))[0];
  const std::string not_found = "Failed to get value of property 'parts' at '/firmware/android/vbmeta': -1!\n";
  const struct {
    const char *what;
    bytes block;
    int read;
    const char *value;
    int reworked;
    std::string printed;
  } rows[] = {
      {"no tree", plain_block(bytes(5000, 0x5a)), 0, "untouched", 0, ""},
      {"wrong marker", wrong_marker, -1, "", -1, "Error dtb magic: XY?!\nError dtb magic: XY?!\n"},
      {"a tree without it", plain_block(container(1, {trees[0], lacking})), -1, "", 1,
       "get_property_string 'property not found'\n" + not_found},
      {"entry 1 outside", spoiled(12 + 20 + 12, 0x7FFFFFF0), 0, "boot,system,vendor", -1,
       "Device tree of dtb container entry 1 lies outside the content!\n"},
      // libfdt needs trees on 8-byte boundaries.
      {"entry 0 unaligned", spoiled(12 + 12, first + 4, true), -1, "", 1,
       "Invalid device tree: not aligned to 8 bytes!\n" + not_found},
      {"too many entries", spoiled(8, 0x10000000), -1, "", -1,
       "Too many entries in dtb container: 268435456!\nToo many entries in dtb container: 268435456!\n"},
  };
  for (auto r : rows) {
    const bytes original = r.block;
    char value[256] = "untouched";
    CaptureStdout();
    EXPECT_EQ(read_parts(r.block, value, sizeof(value)), r.read) << r.what;
    if (r.read == 0) {
      EXPECT_STREQ(value, r.value) << r.what;
    }
    const int reworked = r.reworked == 1 ? 1 : rework(dtb_mode_remove, r.block);
    EXPECT_EQ(reworked, r.reworked) << r.what;
    EXPECT_EQ(GetCapturedStdout(), r.printed) << r.what;
    EXPECT_EQ(r.block, original) << r.what;
  }
}

TEST(DtbBlock, ACompressedBlockIsPackedAgainWhateverItHolds) {
  bytes junk(5000, 0x5a);
  bytes compressed = compressed_block(junk);
  ASSERT_EQ(rework(dtb_mode_rebuild, compressed), 0);
  EXPECT_EQ(block_content(compressed), junk);
  EXPECT_NE(le32_at(compressed, 4), 0u);
  EXPECT_EQ(stored_checksum(compressed.data()), word_sum(compressed.data()));
}

TEST(DtbBlock, ATreeMayNotGrowIntoTheNextContainerEntry) {
  bytes bare = compile_dts("/dts-v1/;\n/ { model = \"bare\"; };\n");
  bytes content = container(2, {bare, bare}, 8);
  bytes block = plain_block(content);
  CaptureStdout();
  EXPECT_EQ(rework(dtb_mode_rebuild, block), -1);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Failed to create new partition table: -1!"), std::string::npos) << out;
  // The second tree is still the tree it was.
  uint32_t second = container_tree_offsets(content)[1];
  EXPECT_EQ(0, memcmp(&block[second], bare.data(), bare.size()));
}

TEST(DtbBlock, ACompressedMemberThatWouldReachTheMarkerIsRefused) {
  bytes noise(262100);
  uint32_t state = 1;
  for (auto &b : noise) b = uint8_t((state = state * 1103515245 + 12345) >> 24);
  noise[0] = 0;  // no tree, no container: recompressed as it is
  bytes member = gzip_member(noise, 0);
  ASSERT_LE(member.size(), 0x40000u);
  bytes block(0x40000);
  memcpy(block.data(), member.data(), member.size());
  CaptureStdout();
  EXPECT_EQ(rework(dtb_mode_remove, block), -1);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Deflate need more space to compress left"), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to compress data to dtb: -1!\n"), std::string::npos) << out;
}

namespace {

// A reserved partition image: an old table at 0 and the two DTB copies.
struct reserved_file {
  reserved_file(const bytes &copy0, const bytes &copy1) : path(dir.file("reserved")) {
    bytes image(0x480000);
    memcpy(image.data(), "old table", 9);
    memcpy(&image[0x400000], copy0.data(), copy0.size());
    memcpy(&image[0x440000], copy1.data(), copy1.size());
    write_whole_file(path, image);
  }
  bytes contents() const { return read_whole_file(path); }
  temp_dir dir;
  std::string path;
};

}  // namespace

TEST(WritePartitionTable, AFailureOnEitherCopyWritesNothingAtAll) {
  bytes bad = plain_block(box_trees()[1]);
  bad[0x3FFF0] = 'B';
  reserved_file image(plain_block(box_trees()[0]), bad);
  bytes before = image.contents();
  mmc_partitions_fmt table = android_table();
  CaptureStdout();
  EXPECT_EQ(write_partition_table(dtb_mode_remove, &table, image.path.c_str()), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Error dtb magic: B~D!\nCould not remove node '/partitions' from dtb1!\n");
  EXPECT_EQ(image.contents(), before);
  // (A block that is not sound is left to the write's own checks.)
  EXPECT_EQ(check_dtb_copies_readable(image.path.c_str()), 0);

  // Nor does a copy that holds no tree the tool can read: its bootloader may.
  reserved_file opaque(plain_block(box_trees()[0]), plain_block(bytes(5000, 0x5a)));
  const bytes opaque_before = opaque.contents();
  CaptureStdout();
  EXPECT_EQ(write_partition_table(dtb_mode_remove, &table, opaque.path.c_str()), -1);
  EXPECT_EQ(check_dtb_copies_readable(opaque.path.c_str()), -1);
  const std::string printed = GetCapturedStdout(), said = "DTB copy 1 holds no device tree";
  EXPECT_TRUE(printed.starts_with(said) && printed.find(said, 1) != std::string::npos) << printed;
  EXPECT_EQ(opaque.contents(), opaque_before);

  // Nor does a table the bootloader would refuse.
  table.checksum++;
  CaptureStdout();
  EXPECT_EQ(write_partition_table(dtb_mode_keep, &table, image.path.c_str()), -1);
  EXPECT_NE(GetCapturedStdout().find("partition verified error"), std::string::npos);
  EXPECT_EQ(image.contents(), before);
}


TEST(WriteReservedImage, PreparingWritesNothingAndTheWriteLeavesExactlyTheImage) {
  reserved_file file(plain_block(box_trees()[0]), compressed_block(box_trees()[1]));
  bytes before = file.contents();
  mmc_partitions_fmt table = android_table();
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  ASSERT_EQ(prepare_reserved_image(dtb_mode_remove, &table, image.get(), file.path.c_str()), 0);
  EXPECT_EQ(file.contents(), before);
  ASSERT_EQ(write_reserved_image(image.get(), file.path.c_str()), 0);
  bytes after = file.contents();
  EXPECT_EQ(memcmp(after.data(), &table, sizeof(table)), 0);
  EXPECT_EQ(memcmp(&after[0x400000], image->blocks, 0x80000), 0);
  EXPECT_NE(memcmp(&after[0x400000], &before[0x400000], 0x40000), 0);
}
