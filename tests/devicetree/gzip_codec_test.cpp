// gzip members as the bootloader's tools write them, with every optional
// header field, and broken ones.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "devicetree.h"
#include "dtb_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string text = "partitions { parts = <5>; } and some more text to compress";

// A member with the given flags and optional fields, its trailer zeroed (it
// is not read).
bytes member(uint8_t flags, const bytes &fields, const bytes &content) {
  const uint8_t header[] = {0x1f, 0x8b, 8, flags, 0, 0, 0, 0, 0, 3};
  bytes data = deflate_with(content, 9, -15);
  bytes out(sizeof(header) + fields.size() + data.size() + 8);
  memcpy(out.data(), header, sizeof(header));
  std::copy(fields.begin(), fields.end(), out.begin() + sizeof(header));
  std::copy(data.begin(), data.end(), out.begin() + long(sizeof(header) + fields.size()));
  return out;
}

}  // namespace

// Every optional header field is skipped; a broken member is refused with
// its own line.
TEST(Gunzip, SkipsEveryOptionalHeaderFieldAndRefusesBrokenMembers) {
  bytes content(text.begin(), text.end());
  bytes wrong_method = member(0, {}, content);
  wrong_method[2] = 7;
  bytes truncated = member(0, {}, content);
  truncated.resize(truncated.size() - 8 - 4);
  const std::pair<bytes, const char *> cases[] = {
      {member(0, {}, content), ""},
      {member(0x04, {3, 0, 'a', 'b', 'c'}, content), ""},
      {member(0x08, {'n', 'a', 'm', 'e', 0}, content), ""},
      {member(0x10, {'c', 0}, content), ""},
      {member(0x1e, {1, 0, 'x', 'n', 0, 'c', 0, 0x12, 0x34}, content), ""},
      {gzip_member(content), ""},
      {wrong_method, "Error: Bad gzipped data\n\n"},
      {member(0x20, {}, content), "Error: Bad gzipped data\n\n"},  // a reserved flag
      {member(0x04, {0xff, 0xff}, content), "Error: gunzip out of data in header\n\n"},
      {{0x1f, 0x8b, 8, 0x08, 0, 0, 0, 0, 0, 3, 'n', 'a', 'm', 'e'}, "Error: gunzip out of data in header\n\n"},
      {truncated, "Error: inflate() returned -5\n"},
      {gzip_member(bytes(6 << 20, 0)), "Error: inflate() returned -5\n"},  // more than the room
  };
  for (auto &[source, line] : cases) {
    bytes out(5 << 20);
    uint64_t length = source.size();
    CaptureStdout();
    EXPECT_EQ(gunzip(out.data(), out.size(), source.data(), &length), *line ? -1 : 0) << line;
    EXPECT_EQ(GetCapturedStdout(), line);
    if (!*line) {
      EXPECT_EQ(std::string(out.begin(), out.begin() + long(length)), text);
    }
  }
}

TEST(Gzip, WritesEveryByteUpToAndPastAStepBoundary) {
  for (size_t size : {1, 512, 513}) {
    bytes source(size, 0x5a), out(size + 1024);
    uint64_t length = out.size();
    ASSERT_EQ(gzip(out.data(), &length, source.data(), source.size()), 0) << size;
    EXPECT_EQ(gunzip_member(out.data(), length), source) << size;
  }
}

TEST(Gzip, OutputThatFillsTheRoomExactlyIsAFailure) {
  bytes source(5000);
  for (size_t i = 0; i < source.size(); i++) source[i] = uint8_t(i * i % 253);
  bytes out(20000);
  uint64_t needed = out.size();
  ASSERT_EQ(gzip(out.data(), &needed, source.data(), source.size()), 0);
  uint64_t length = needed;
  CaptureStdout();
  EXPECT_EQ(gzip(out.data(), &length, source.data(), source.size()), -1);
  EXPECT_NE(GetCapturedStdout().find("Deflate need more space to compress left"), std::string::npos);
  length = needed + 1;
  EXPECT_EQ(gzip(out.data(), &length, source.data(), source.size()), 0);
  EXPECT_EQ(length, needed);
}
