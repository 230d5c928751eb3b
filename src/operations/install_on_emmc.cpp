#include "operations.h"
#include "unavailable.h"

int install_on_emmc(const mmc_partitions_fmt *, int, int, int) {
  return operation_unavailable("Installation on eMMC");
}
