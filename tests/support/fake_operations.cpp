#include "fake_operations.h"

#include "operations.h"

std::vector<operation_call> operation_calls;
int fake_operation_result = 0;
const char *fake_operation_status_word = nullptr;

void reset_fake_operations() {
  operation_calls.clear();
  fake_operation_result = 0;
  fake_operation_status_word = nullptr;
}

namespace {
int record(const char *name, const mmc_partitions_fmt *table, std::vector<int> arguments) {
  operation_calls.push_back({name, table, std::move(arguments)});
  if (fake_operation_result == 0) status_word = fake_operation_status_word;
  return fake_operation_result;
}
}  // namespace

int install_on_emmc(const mmc_partitions_fmt *table, int install_mode, int has_userdata,
                    int data_source) {
  return record("install_on_emmc", table, {install_mode, has_userdata, data_source});
}
int renew_installation(const mmc_partitions_fmt *table, int data_source) {
  return record("renew_installation", table, {data_source});
}
int migrate_to_single_boot(int has_userdata, const mmc_partitions_fmt *table, int data_source) {
  return record("migrate_to_single_boot", table, {has_userdata, data_source});
}
int backup_to_boot_media(const mmc_partitions_fmt *table) {
  return record("backup_to_boot_media", table, {});
}
int copy_to_external() { return record("copy_to_external", nullptr, {}); }
int remove_dual_boot(int has_userdata, const mmc_partitions_fmt *table) {
  return record("remove_dual_boot", table, {has_userdata});
}
int finish_interrupted_change() { return 1; }
