#include "operations.h"
#include "unavailable.h"

int migrate_to_single_boot(int, const mmc_partitions_fmt *, int) {
  return operation_unavailable("Migration to single boot");
}
