#include "operations.h"
#include "unavailable.h"

int renew_installation(const mmc_partitions_fmt *, int) {
  return operation_unavailable("Renewing the installation");
}
