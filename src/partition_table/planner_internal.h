// Inside the partition-table subsystem: the single-boot builder with the AVB
// list already collected, so that it can be driven without the bootloader's
// environment and device tree.
#pragma once

#include "partition_table.h"

int place_single_boot_table(int has_userdata, const mmc_partitions_fmt *old_table,
                            mmc_partitions_fmt *new_table, const avb_partition_list *avb_list,
                            uint64_t emmc_size);
