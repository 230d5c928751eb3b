// Operations that record how the menu called them, so that the front end can
// be tested without touching a device.
#pragma once

#include <string>
#include <vector>

#include "partition_table.h"

struct operation_call {
  std::string name;
  const mmc_partitions_fmt *table;
  std::vector<int> arguments;  // the integer arguments, in call order
};

extern std::vector<operation_call> operation_calls;
extern int fake_operation_result;
extern const char *fake_operation_status_word;

void reset_fake_operations();
