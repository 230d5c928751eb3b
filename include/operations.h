// The six user-visible operations. Each returns 0 on success (also when the
// user declines at its own question) and -1 on failure, and on success sets
// `status_word`.
#pragma once

#include "partition_table.h"

int install_on_emmc(const mmc_partitions_fmt *table, int install_mode, int has_userdata,
                    int data_source);
int renew_installation(const mmc_partitions_fmt *table, int data_source);
int migrate_to_single_boot(int has_userdata, const mmc_partitions_fmt *table, int data_source);
int backup_to_boot_media(const mmc_partitions_fmt *table);
int copy_to_external();
int remove_dual_boot(int has_userdata, const mmc_partitions_fmt *table);
// At start-up from the boot media: a single-boot change that was cut off
// (its journal on the boot media) is offered to be finished. 1: there is
// none to finish, the menu follows; 0 or -1: the run ends with that. It
// reads the reserved area itself: the table found there may be torn.
int finish_interrupted_change();
// At start-up from the boot media, before that: a resize of Android's data
// filesystem that was cut off (its record on the boot media, for a
// partition of `table`) is checked and done again, as the user had agreed.
// 1: the menu follows (also when a record is refused, with its line); -1:
// the resize failed again and the run ends.
int finish_interrupted_resize(const mmc_partitions_fmt *table);
