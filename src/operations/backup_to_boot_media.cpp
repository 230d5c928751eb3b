#include "operations.h"
#include "unavailable.h"

int backup_to_boot_media(const mmc_partitions_fmt *) {
  return operation_unavailable("Backup to the boot media");
}
