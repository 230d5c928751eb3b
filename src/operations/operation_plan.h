// What a dry run (-n) shows in place of an operation's question: what the
// run measured and planned, and what a real run would write, in its order,
// with the point of no return marked. The operation fills the record as it
// goes; finish_dry_run prints it and undoes the run's measuring mounts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "partition_table.h"

struct operation_run;

constexpr uint32_t max_plan_rows = 4;
constexpr uint32_t max_plan_steps = 16;
constexpr size_t plan_step_size = 200;
constexpr uint32_t no_point_of_no_return = UINT32_MAX;

// Measured data and the room they would go to.
struct plan_data_row {
  const char *source;
  uint64_t used;
  const char *target;
  uint64_t room;
};

struct operation_plan {
  const char *title = "";
  bool writes_emmc = false;  // the eMMC's health is shown
  // A table write: the table now and the one written with its dtb mode;
  // `moves`: the partitions that stay move to their new places.
  const mmc_partitions_fmt *old_table = nullptr;
  const mmc_partitions_fmt *new_table = nullptr;
  int dtb_mode = 0;
  bool moves = false;
  plan_data_row data[max_plan_rows] = {};
  uint32_t data_count = 0;
  const char *emptied[max_plan_rows] = {};
  uint32_t emptied_count = 0;
  char steps[max_plan_steps][plan_step_size] = {};
  uint32_t step_count = 0;
  uint32_t point_of_no_return = no_point_of_no_return;  // the first step past it
};

// A table write from `old_table` to `new_table` in `dtb_mode`; `moves`:
// the partitions that stay move (single boot).
void plan_table_write(operation_plan &plan, const mmc_partitions_fmt *old_table,
                      const mmc_partitions_fmt *new_table, int dtb_mode, bool moves);
void plan_data(operation_plan &plan, const char *source, uint64_t used, const char *target,
               uint64_t room);
// A folder whose content a real run deletes or replaces.
void plan_emptied(operation_plan &plan, const char *folder);
void plan_step(operation_plan &plan, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The steps added from here on are past the point of no return.
void plan_point_of_no_return(operation_plan &plan);
// The step of the recovery snapshot with the name a real run would give it.
// 0, or -1 with the cause printed.
int plan_snapshot(operation_plan &plan);

// Prints the plan, then undoes the mounts `run` made for measuring; the run
// ends here, with nothing written. 0, or -1 when the plan cannot be shown
// (its line printed) or a mount stays.
int finish_dry_run(operation_run &run, const operation_plan &plan);
