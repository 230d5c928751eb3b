#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The answer is the first character of its line, A-Z lowered; the rest of
// the line goes, whatever its bytes or length, so the next question reads
// the next line.
TEST(Answer, IsTheFirstCharacterOfItsLine) {
  struct {
    std::string typed;
    uint8_t first, next;
  } cases[] = {
      {"6x\n1\n", '6', '1'},
      {"Y\n", 'y', answer_end_of_input},
      {"\n3\n", 0, '3'},
      {"", answer_end_of_input, answer_end_of_input},
      {std::string("\xff\xfe\x01\x00\x80\n2\n", 8), 0xff, '2'},
      {std::string(100000, '9'), '9', answer_end_of_input},
  };
  for (const auto &c : cases) {
    FILE *in = tmpfile();
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(fwrite(c.typed.data(), 1, c.typed.size(), in), c.typed.size());
    rewind(in);
    EXPECT_EQ(read_answer_from(in), c.first) << c.typed.substr(0, 8);
    EXPECT_EQ(read_answer_from(in), c.next) << c.typed.substr(0, 8);
    fclose(in);
  }
}

TEST(SectorCount, IsAWholeNumberOfSectorsOrUnknown) {
  EXPECT_EQ(sectors_text_to_bytes("30535680\n"), 15634268160ull);
  EXPECT_EQ(sectors_text_to_bytes("15269888"), 7818182656ull);
  EXPECT_EQ(sectors_text_to_bytes("0\n"), 0ull);
  EXPECT_EQ(sectors_text_to_bytes("36028797018963967\n"), 36028797018963967ull * 512);
  // Anything else is unknown.
  for (const char *text : {"", "\n", "abc\n", "-5\n", " 12\n", "12abc\n", "0x10\n",
                           "36028797018963968\n", "99999999999999999999999\n"}) {
    EXPECT_EQ(sectors_text_to_bytes(text), 0ull) << text;
  }
}

TEST(PrintableText, ReplacesControlBytesAndStopsAtTheLimits) {
  char out[8];
  printable_text(out, sizeof(out), "ab\x1b[2J", 6);
  EXPECT_STREQ(out, "ab?[2J");
  printable_text(out, sizeof(out), "abcdefghijkl", 12);  // the output's size bounds it
  EXPECT_STREQ(out, "abcdefg");
  printable_text(out, sizeof(out), "abcdef", 3);  // the input's length bounds it
  EXPECT_STREQ(out, "abc");
  printable_text(out, sizeof(out), "a\nb\xff", 4, true);
  EXPECT_STREQ(out, "a\nb?");
  printable_text(out, sizeof(out), "a\nb", 3);
  EXPECT_STREQ(out, "a?b");
}

TEST(StatusMarker, ReplacesTheMarkerWholeAndLeavesNoNewFile) {
  char folder[] = "/tmp/kvemmc-marker-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string marker = std::string(folder) + "/boot.hint";
  const auto read = [&](const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "r")) {
      for (int c = fgetc(f); c != EOF; c = fgetc(f)) text += static_cast<char>(c);
      fclose(f);
    }
    return text;
  };
  EXPECT_EQ(write_status_marker("KVEMMC_STARTED", marker.c_str()), 0);
  EXPECT_EQ(write_status_marker("KVEMMC_NEW", marker.c_str()), 0);
  EXPECT_EQ(read(marker), "KVEMMC_NEW\n");
  EXPECT_FALSE(path_exists((marker + ".new").c_str()));
  // No folder: refused, nothing made.
  const std::string nowhere = std::string(folder) + "/missing/boot.hint";
  EXPECT_EQ(write_status_marker("KVEMMC_NEW", nowhere.c_str()), -1);
  EXPECT_FALSE(path_exists((nowhere + ".new").c_str()));
  unlink(marker.c_str());
  rmdir(folder);
}
