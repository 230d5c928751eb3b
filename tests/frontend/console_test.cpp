#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

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
