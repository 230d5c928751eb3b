#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct temp_file {
  explicit temp_file(const std::string &content) {
    char name[] = "/tmp/kvemmc-test-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        path.clear();
      close(fd);
    }
  }
  ~temp_file() { unlink(path.c_str()); }
  std::string path;
};

}  // namespace

TEST(KernelCheck, RefusesKernelsBeforeFourNine) {
  struct {
    const char *release;
    bool supported;
  } cases[] = {{"4.8.0", false},       {"4.9.0", true},     {"4.9.113", true},
               {"5.4.0", true},        {"5.0.1", true},     {"3.14.29", false},
               {"2.6.32", false},      {"6.18.44-fc", true}, {"4.10", true},
               {"10.1.2", true},       {"4", false},        {"4.x.1", false},
               {"", false},            {"-5.4.0", false},   {"v5.4.0", false},
               {"99999999999999.1", true}};
  for (const auto &c : cases)
    EXPECT_EQ(kernel_is_supported(parse_kernel_release(c.release)), c.supported) << c.release;
}

TEST(EmmcSize, GigabytesRoundUpToAPowerOfTwo) {
  struct {
    uint32_t in, out;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {7, 8}, {8, 8}, {9, 16},
               {15, 16}, {16, 16}, {31, 32}, {120, 128}, {0x80000000u, 0x80000000u}};
  for (const auto &c : cases) EXPECT_EQ(round_up_power_of_two(c.in), c.out) << c.in;
  EXPECT_EQ(round_up_power_of_two(static_cast<uint32_t>(7818182656ull / 1000000000)), 8u);
  EXPECT_EQ(round_up_power_of_two(static_cast<uint32_t>(15634268160ull / 1000000000)), 16u);
}

TEST(DeviceGate, FindsTheGroupsAnywhereInTheId) {
  struct {
    const char *id;
    bool supported, no_recovery;
  } cases[] = {{"khadas_vim3", true, false},
               {"khadas_vim3l", true, false},
               {"amlogic,gxl_p212_2g_kvim\n", true, false},
               {"minix_u9", true, false},
               {"beelink_gt_king", true, false},
               {"homatics_box_r", false, true},
               {"buzztv_x4", false, true},
               {"beelink-buzztv", true, true},
               {"", false, false},
               {"khadas_vim", false, false},
               {"KHADAS_VIM3", false, false}};
  for (const auto &c : cases) {
    device_class d = classify_device_id(c.id);
    EXPECT_EQ(d.supported, c.supported) << c.id;
    EXPECT_EQ(d.no_recovery, c.no_recovery) << c.id;
  }
}

TEST(FlashSize, IsAWholeNumberOfMegabytes) {
  uint64_t size = 0;
  EXPECT_EQ(parse_flash_size_option("1024", &size), 0);
  EXPECT_EQ(size, 0x40000000ull);
  EXPECT_EQ(parse_flash_size_option("1", &size), 0);
  EXPECT_EQ(size, 0x100000ull);
  EXPECT_EQ(parse_flash_size_option("4095", &size), 0);
  EXPECT_EQ(size, 0xfff00000ull);
  EXPECT_EQ(parse_flash_size_option("0512", &size), 0);
  EXPECT_EQ(size, 0x20000000ull);
}

TEST(FlashSize, SizesThatWouldBeEmptyOrWrapAreRefused) {
  for (const char *text : {"0", "4096", "65536", "-5", "abc", "12x", "", " 12", "+12",
                           "99999999999999999999"}) {
    uint64_t size = 77;
    CaptureStdout();
    EXPECT_EQ(parse_flash_size_option(text, &size), -1) << text;
    EXPECT_EQ(GetCapturedStdout(), std::string("Invalid KV_FLASH partition size: '") + text +
                                       "' (use a whole number of MB from 1 to 4095)!\n");
    EXPECT_EQ(size, 77u);
  }
}

TEST(MountCheck, ReadsLinesOfAnyLength) {
  std::string long_line = "23 22 0:21 / /mnt/" + std::string(9000, 'a') + " rw - tmpfs x rw\n";
  std::string content = long_line + "31 22 179:34 / /storage rw - ext4 /dev/sda2 rw\n";
  EXPECT_EQ(running_from_boot_media_in(temp_file(content).path.c_str()), 1);
}

