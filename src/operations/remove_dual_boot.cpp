#include "operations.h"
#include "unavailable.h"

int remove_dual_boot(int, const mmc_partitions_fmt *) {
  return operation_unavailable("Removal of the dual boot installation");
}
