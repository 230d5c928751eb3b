#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct input {
  explicit input(const std::string &text) : text(text) {
    file = fmemopen(this->text.data(), this->text.size() ? this->text.size() : 1, "r");
    if (this->text.empty()) fgetc(file);  // an empty stream: at its end at once
  }
  ~input() { fclose(file); }
  std::string text;
  FILE *file;
};

}  // namespace

TEST(ReadAnswer, TakesTheFirstCharacterLowered) {
  EXPECT_EQ(read_answer_from(input("Yes\n").file), 'y');
  EXPECT_EQ(read_answer_from(input("n\n").file), 'n');
  EXPECT_EQ(read_answer_from(input("2x\n").file), '2');
  EXPECT_EQ(read_answer_from(input("Y").file), 'y');  // end of input after the answer
  EXPECT_EQ(read_answer_from(input("[\n").file), '[');
}

TEST(ReadAnswer, EnterAloneIsNoAnswerAndBlanksAreNotSkipped) {
  EXPECT_EQ(read_answer_from(input("\n").file), 0);
  EXPECT_EQ(read_answer_from(input(" y\n").file), ' ');
}

TEST(ReadAnswer, EndOfInputMatchesNoChoice) {
  input empty("");
  EXPECT_EQ(read_answer_from(empty.file), answer_end_of_input);
  EXPECT_EQ(read_answer_from(empty.file), answer_end_of_input);
}

TEST(ReadAnswer, EachQuestionConsumesExactlyOneLine) {
  input lines("yes please\n\n" + std::string(100000, 'z') + "\nN\n");
  EXPECT_EQ(read_answer_from(lines.file), 'y');
  EXPECT_EQ(read_answer_from(lines.file), 0);
  EXPECT_EQ(read_answer_from(lines.file), 'z');
  EXPECT_EQ(read_answer_from(lines.file), 'n');
  EXPECT_EQ(read_answer_from(lines.file), answer_end_of_input);
}

TEST(ReadAnswer, BinaryBytesAreJustAnswersThatMatchNothing) {
  input bytes(std::string("\x00\x01\n\xc3\xa9\n\x1b[A\n", 10));
  EXPECT_EQ(read_answer_from(bytes.file), 0);  // a zero byte is no answer
  EXPECT_EQ(read_answer_from(bytes.file), 0xc3);
  EXPECT_EQ(read_answer_from(bytes.file), 0x1b);
}

TEST(Probes, TellDirectoriesFromOtherPaths) {
  EXPECT_TRUE(is_directory("/tmp"));
  EXPECT_TRUE(path_exists("/tmp"));
  EXPECT_FALSE(is_directory("/dev/null"));
  EXPECT_TRUE(path_exists("/dev/null"));
  EXPECT_FALSE(is_directory("/nonexistent-kvemmc-test"));
  EXPECT_FALSE(path_exists("/nonexistent-kvemmc-test"));
}

TEST(SectorCount, IsAWholeNumberOfSectors) {
  EXPECT_EQ(sectors_text_to_bytes("30535680\n"), 15634268160ull);
  EXPECT_EQ(sectors_text_to_bytes("15269888"), 7818182656ull);
  EXPECT_EQ(sectors_text_to_bytes("0\n"), 0ull);
  EXPECT_EQ(sectors_text_to_bytes("36028797018963967\n"), 36028797018963967ull * 512);
}

TEST(SectorCount, AnythingElseIsUnknown) {
  for (const char *text : {"", "\n", "abc\n", "-5\n", " 12\n", "12abc\n", "0x10\n",
                           "36028797018963968\n", "99999999999999999999999\n"}) {
    EXPECT_EQ(sectors_text_to_bytes(text), 0ull) << text;
  }
}

TEST(BlockDeviceSize, NamesADeviceWithoutSysfsEntry) {
  CaptureStdout();
  EXPECT_EQ(block_device_size("kvemmc-no-such-disk"), 0ull);
  EXPECT_EQ(GetCapturedStdout(),
            "Parameter for block device 'kvemmc-no-such-disk' not found: "
            "'/sys/block/kvemmc-no-such-disk/size'\n");
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
