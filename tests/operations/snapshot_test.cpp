// The recovery snapshot: a new file next to the old ones, never over them,
// what an earlier save left unfinished swept, and no file at all from a
// reserved area that cannot be read whole.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "../../src/operations/operation_steps.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string stamp(time_t at) {
  char text[32];
  struct tm utc;
  strftime(text, sizeof(text), "%Y%m%d-%H%M%S", gmtime_r(&at, &utc));
  return text;
}

std::string contents(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RecoverySnapshot, TakesTheNextFreeNameAndLeavesEveryOldOneAsItWas) {
  const fs::path dir = fs::temp_directory_path() / ("snapshot-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string area(reserved_snapshot_size, '\0');
  for (size_t i = 0; i < area.size(); i++) area[i] = static_cast<char>(i * 7 + i / 4096);
  std::ofstream(dir / "reserved", std::ios::binary) << area << "beyond the area";
  // Snapshots of this second and of the minute after it exist already, so
  // that a slow run still finds its name taken.
  const time_t now = time(nullptr);
  fs::create_directories(dir / "kvemmc");
  for (time_t at = now; at < now + 60; at++)
    std::ofstream(dir / "kvemmc" / ("reserved-" + stamp(at) + ".img")) << "old";
  // A save cut off before its rename left its file; a file of another name stays.
  std::ofstream(dir / "kvemmc" / "reserved-20260101-000000.img.new") << "torn";
  std::ofstream(dir / "kvemmc" / "notes.img.new") << "old";

  CaptureStdout();
  const int result = save_reserved_snapshot((dir / "reserved").c_str(), (dir / "kvemmc").c_str());
  const std::string printed = GetCapturedStdout();
  ASSERT_EQ(result, 0) << printed;
  int fresh = 0;
  for (const auto &entry : fs::directory_iterator(dir / "kvemmc")) {
    const std::string name = entry.path().filename();
    if (contents(entry.path()) == "old") continue;
    fresh++;
    EXPECT_TRUE(name.ends_with("-2.img")) << name;
    EXPECT_EQ(contents(entry.path()), area) << name;
    EXPECT_NE(printed.find("saved as '" + entry.path().string() + "'"), std::string::npos) << printed;
  }
  EXPECT_EQ(fresh, 1);
  EXPECT_FALSE(fs::exists(dir / "kvemmc" / "reserved-20260101-000000.img.new"));

  // A reserved partition shorter than the area: no snapshot, and nothing left.
  fs::resize_file(dir / "reserved", reserved_snapshot_size - 1);
  fs::remove_all(dir / "kvemmc");
  CaptureStdout();
  EXPECT_EQ(save_reserved_snapshot((dir / "reserved").c_str(), (dir / "kvemmc").c_str()), -1);
  EXPECT_NE(GetCapturedStdout().find("for the recovery snapshot!"), std::string::npos);
  EXPECT_TRUE(!fs::exists(dir / "kvemmc") || fs::is_empty(dir / "kvemmc"));
  fs::remove_all(dir);
}

}  // namespace
