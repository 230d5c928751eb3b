// The room checks at their edge: data that fill the room exactly fit, one
// byte more does not; the refusal says so in its three lines.
#include <gtest/gtest.h>

#include <string>

#include "../../src/operations/operation_steps.h"
#include "storage.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

TEST(RoomCheck, DataThatFillTheRoomExactlyFitOneByteMoreDoesNot) {
  const uint64_t room = 512ull << 20;
  CaptureStdout();
  EXPECT_EQ(check_room("/flash", name_kv_flash, room, room), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  CaptureStdout();
  EXPECT_EQ(check_room("/flash", name_kv_flash, room, room + 1), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "New partition is too small to cover data of '/flash' from current boot device!\n"
            "Free space on 'KV_FLASH' partition: 512MB\n"
            "Used space on '/flash': 536870913\n");

  // A fresh vfat: its room measured as the check measures it (or estimated,
  // where no mkfs.vfat is found), and a file that fills it with the top
  // folder's cluster and its entries' cluster.
  const uint64_t size = 64ull << 20;
  filesystem_room fresh;
  CaptureStdout();
  ASSERT_EQ(measure_new_filesystem_room(new_vfat, name_kv_flash, size, &fresh), 0);
  GetCapturedStdout();
  ASSERT_GT(fresh.bytes, 2ull * fresh.unit);
  for (uint64_t more : {0, 1}) {
    tree_census census;
    count_in_census(census, 0, ".", true);
    count_in_census(census, fresh.bytes - 2 * fresh.unit + more, "file", false);
    ASSERT_EQ(copy_need(census, new_vfat, fresh.unit), fresh.bytes + more * fresh.unit);
    uint64_t usable = 0;
    CaptureStdout();
    EXPECT_EQ(check_new_filesystem_room("/flash", "/flash", name_kv_flash, size, census.bytes,
                                        census, &usable),
              more ? -1 : 0);
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(usable, fresh.bytes);
    EXPECT_EQ(printed.find("too small") != std::string::npos, more == 1) << printed;
  }
}

}  // namespace
