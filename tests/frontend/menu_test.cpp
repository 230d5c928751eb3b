#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "../support/fake_operations.h"
#include "../support/table_builder.h"
#include "frontend.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const mmc_partitions_fmt dual_boot_installed = make_named_table(
    {"bootloader", "reserved", "cache", "env", "system", "data", "KV_STORAGE", "KV_FLASH"});
const mmc_partitions_fmt single_boot_installed =
    make_named_table({"bootloader", "reserved", "env", "KV_FLASH", "KV_STORAGE"});
const mmc_partitions_fmt single_boot_userdata_installed = make_named_table(
    {"bootloader", "reserved", "env", "vbmeta_a", "super", "KV_FLASH", "KV_STORAGE", "userdata"});

class Menu : public testing::Test {
 protected:
  void SetUp() override {
    reset_fake_operations();
    status_word = nullptr;
  }
  void TearDown() override { status_word = nullptr; }

  // Runs the menu with `answer` typed at the prompt; returns what it printed.
  std::string run(const mmc_partitions_fmt &table, int running, const std::string &answer) {
    char name[] = "/tmp/kvemmc-answer-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    close(fd);
    EXPECT_NE(freopen(name, "r", stdin), nullptr);
    unlink(name);
    CaptureStdout();
    result = run_menu(&table, running);
    return GetCapturedStdout();
  }

  void expect_call(const mmc_partitions_fmt &table, const char *name, std::vector<int> arguments) {
    ASSERT_EQ(operation_calls.size(), 1u) << name;
    EXPECT_EQ(operation_calls[0].name, name);
    if (operation_calls[0].name != "copy_to_external") {
      EXPECT_EQ(operation_calls[0].table, &table);
    }
    EXPECT_EQ(operation_calls[0].arguments, arguments) << name;
  }

  int result = -2;
};

}  // namespace

// Every choice of menus B, C and D reaches its operation with its arguments;
// the first choice not offered reaches nothing.
TEST_F(Menu, EveryChoiceDispatchesItsOperation) {
  struct {
    const mmc_partitions_fmt &table;
    int running;
    const char *answer;
    const char *operation;  // nullptr: none
    std::vector<int> arguments;
  } cases[] = {
      {single_boot_installed, 1, "1\n", "renew_installation", {data_source_boot_media}},
      {single_boot_installed, 1, "2\n", "renew_installation", {data_source_backup}},
      {single_boot_installed, 1, "3\n", "backup_to_boot_media", {}},
      {single_boot_installed, 1, "4\n", nullptr, {}},
      {dual_boot_installed, 1, "1\n", "migrate_to_single_boot", {0, data_source_boot_media}},
      {dual_boot_installed, 1, "2x\n", "migrate_to_single_boot", {0, data_source_emmc}},
      {dual_boot_installed, 1, "3\n", "migrate_to_single_boot", {0, data_source_backup}},
      {dual_boot_installed, 1, "4\n", "renew_installation", {data_source_boot_media}},
      {dual_boot_installed, 1, "5\n", "renew_installation", {data_source_backup}},
      {dual_boot_installed, 1, "6\n", "backup_to_boot_media", {}},
      {dual_boot_installed, 1, "7\n", "remove_dual_boot", {0}},
      {dual_boot_installed, 1, "8\n", nullptr, {}},
      {single_boot_userdata_installed, 0, "1\n", "copy_to_external", {}},
      {single_boot_userdata_installed, 0, "2\n", nullptr, {}},
  };
  for (const auto &c : cases) {
    reset_fake_operations();
    run(c.table, c.running, c.answer);
    if (c.operation) {
      expect_call(c.table, c.operation, c.arguments);
    } else {
      EXPECT_TRUE(operation_calls.empty()) << c.answer;
    }
  }
}

TEST_F(Menu, TheOperationsResultAndWordComeBack) {
  fake_operation_result = -1;
  fake_operation_status_word = status_renew;
  run(single_boot_installed, 1, "1\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(status_word, nullptr);
  reset_fake_operations();
  fake_operation_status_word = status_renew;
  run(single_boot_installed, 1, "1\n");
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(status_word, "KVEMMC_RENEW");
}
