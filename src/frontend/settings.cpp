// The process-wide settings; start-up writes them, everything else reads them.
#include "kvemmc.h"

int verbose = 0;
int refuse_unsupported_device = 1;
int refuse_no_recovery_device = 1;
uint64_t flash_partition_size = default_flash_partition_size;
int long_help = 0;
int running_from_boot_media = -1;
int dry_run = 0;

char *scratch_buffer = nullptr;
const char *status_word = nullptr;
