#include <gtest/gtest.h>

#include <string>

#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string head =
    "Usage: ./kvemmc [options]\n"
    "\n\n"
    "[options]\n"
    " -v\t\tverbose output\n"
    " -f\t\tset KV_FLASH partiton size in MB, default is 512MB\n"
    " -h, --help\tprint this help\n"
    "\n"
    " Available functions:\n"
    "\n";

std::string help(int running, int with_descriptions) {
  running_from_boot_media = running;
  long_help = with_descriptions;
  CaptureStdout();
  print_help("./kvemmc");
  std::string out = GetCapturedStdout();
  long_help = 0;
  return out;
}

}  // namespace

TEST(Help, RunningFromEmmcOffersTheCopy) {
  const std::string body =
      "  [\033[1mExisting Kestrova installation on eMMC\033[0m]\n"
      "\n"
      "   [1] Make a copy of current Kestrova installation on eMMC to current used SD or USB "
      "device\n";
  EXPECT_EQ(help(0, 0), head + body + "\n");
  EXPECT_EQ(help(0, 1), head + body +
                            "       Make a copy of all Kestrova data on flash and/or storage\n"
                            "       partition on eMMC to the current used SD or USB device\n"
                            "\n"
                            "\n");
}

TEST(Help, UndeterminedShowsNoFunctions) {
  EXPECT_EQ(help(-1, 0), head + "\n");
  EXPECT_EQ(help(-1, 1), head + "\n");
}

TEST(Help, BootMediaShortHelpListsEveryChoiceWithoutDescriptions) {
  std::string out = help(1, 0);
  ASSERT_EQ(out.rfind(head, 0), 0u);
  std::string body = out.substr(head.size());
  EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 37);  // 33 rows, 3 headings' empty lines, the last line
  EXPECT_EQ(body.find("           "), std::string::npos);
  EXPECT_NE(body.find("\n\n   Renew current Kestrova single boot installation on eMMC\n"),
            std::string::npos);
  EXPECT_TRUE(body.ends_with(
      "   [3] Make a backup of current Kestrova single boot installation on eMMC to current "
      "used SD or USB device\n\n"));
}

TEST(Help, BootMediaLongHelpPutsDescriptionsUnderTheirChoices) {
  std::string out = help(1, 1);
  EXPECT_NE(out.find("       [2] existing backup on current used SD or USB device\n"
                     "           Install Kestrova on eMMC without removing Android from the device.\n"
                     "           Dual boot of Android and Kestrova is possible.\n"
                     "           Not all memory of the eMMC can be used because of Android.\n"
                     "           An existing backup of the Kestrova data on on current\n"
                     "           used SD or USB device will be used for installation.\n"
                     "\n"
                     "\n"
                     "   Install in single boot mode"),
            std::string::npos);
  // No empty line of its own after the last single-boot install choice.
  EXPECT_NE(out.find("used SD or USB device will be used for installation.\n"
                     "\n"
                     "  [\033[1mExisting Kestrova dual boot"),
            std::string::npos);
  EXPECT_NE(out.find("   [7] Remove current Kestrova dual boot installation on eMMC\n"
                     "       All existing Kestrova data on eMMC and the existing\n"
                     "       Kestrova dual boot installation on eMMC will be removed.\n"
                     "\n"
                     "  [\033[1mExisting Kestrova single boot"),
            std::string::npos);
  EXPECT_TRUE(out.ends_with("       partition on eMMC to the current used SD or USB device\n\n\n"));
}
