// The help text of -h and --help: a fixed head, then the functions that the
// running system offers, with their descriptions under --help.
#include <cstring>

#include "frontend.h"

namespace {

struct description_block {
  char key;
  const char *lines[3];
};

constexpr description_block description_blocks[] = {
    {'D',
     {"           Install Kestrova on eMMC without removing Android from the device.",
      "           Dual boot of Android and Kestrova is possible.",
      "           Not all memory of the eMMC can be used because of Android."}},
    {'S',
     {"           Install Kestrova on eMMC and remove Android from the device.",
      "           Only boot of Kestrova is possible.",
      "           The maximum of memory of the eMMC is used."}},
    {'K',
     {"           An existing backup of the Kestrova data on on current",
      "           used SD or USB device will be used for installation."}},
    {'N',
     {"           All existing Kestrova data on eMMC will be removed",
      "           and the new data from current used SD or USB device",
      "           will be copied to eMMC."}},
    {'E', {"           The existing Kestrova data on eMMC will be used for installation."}},
    {'R',
     {"           All existing Kestrova data on eMMC will be removed and",
      "           the new data from an existing backup from current",
      "           used SD or USB device will be copied to eMMC."}},
    {'B',
     {"       Make a backup of all Kestrova data on flash and/or storage",
      "       partition on eMMC to the current used SD or USB device"}},
    {'X',
     {"       All existing Kestrova data on eMMC and the existing",
      "       Kestrova dual boot installation on eMMC will be removed."}},
    {'C',
     {"       Make a copy of all Kestrova data on flash and/or storage",
      "       partition on eMMC to the current used SD or USB device"}},
};

// One line of the body. `blocks` are the descriptions printed under it with
// --help; a trailing '+' adds an empty line after them.
struct help_row {
  const char *line;  // null: an empty line
  const char *blocks;
};

constexpr help_row boot_media_rows[] = {
    {"  [\033[1mNo Kestrova installation on eMMC\033[0m]", ""},
    {nullptr, ""},
    {"   Install in dual boot mode, Kestrova and Android on eMMC", ""},
    {"     Use Kestrova data from", ""},
    {"       [1] current used SD or USB device", "D+"},
    {"       [2] existing backup on current used SD or USB device", "DK+"},
    {nullptr, ""},
    {"   Install in single boot mode, only Kestrova on eMMC", ""},
    {"     Use Kestrova data from", ""},
    {"       [3] current used SD or USB device", "S+"},
    {"       [4] existing backup on current used SD or USB device", "SK"},
    {nullptr, ""},
    {"  [\033[1mExisting Kestrova dual boot installation on eMMC\033[0m]", ""},
    {nullptr, ""},
    {"   Migrate Kestrova dual boot to single boot installation", ""},
    {"     Use Kestrova data from", ""},
    {"       [1] current used SD or USB device", "SN+"},
    {"       [2] the existing data on eMMC", "SE+"},
    {"       [3] existing backup on current used SD or USB device", "SK+"},
    {nullptr, ""},
    {"   Renew current Kestrova dual boot installation on eMMC", ""},
    {"     Use Kestrova data from", ""},
    {"       [4] current used SD or USB device", "N+"},
    {"       [5] existing backup on current used SD or USB device", "R+"},
    {nullptr, ""},
    {"   [6] Make a backup of current Kestrova dual boot installation on eMMC to current used "
     "SD or USB device",
     "B+"},
    {"   [7] Remove current Kestrova dual boot installation on eMMC", "X"},
    {nullptr, ""},
    {"  [\033[1mExisting Kestrova single boot installation on eMMC\033[0m]", ""},
    {nullptr, ""},
    {"   Renew current Kestrova single boot installation on eMMC", ""},
    {"     Use Kestrova data from", ""},
    {"       [1] current used SD or USB device", "N+"},
    {"       [2] existing backup on current used SD or USB device", "R+"},
    {nullptr, ""},
    {"   [3] Make a backup of current Kestrova single boot installation on eMMC to current "
     "used SD or USB device",
     "B+"},
};

constexpr help_row emmc_rows[] = {
    {"  [\033[1mExisting Kestrova installation on eMMC\033[0m]", ""},
    {nullptr, ""},
    {"   [1] Make a copy of current Kestrova installation on eMMC to current used SD or USB "
     "device",
     "C+"},
};

void print_block(char key) {
  for (const description_block &block : description_blocks) {
    if (block.key != key) continue;
    for (const char *line : block.lines)
      if (line) puts(line);
  }
}

template <size_t count>
void print_rows(const help_row (&rows)[count]) {
  for (const help_row &row : rows) {
    puts(row.line ? row.line : "");
    if (!long_help) continue;
    for (const char *key = row.blocks; *key; key++) {
      if (*key == '+')
        puts("");
      else
        print_block(*key);
    }
  }
}

}  // namespace

void print_help(const char *program_name) {
  printf("Usage: %s [options]\n", program_name);
  puts("");
  puts("");
  puts("[options]");
  puts(" -v\t\tverbose output");
  puts(" -f\t\tset KV_FLASH partiton size in MB, default is 512MB");
  puts(" -n, --dry-run\tshow what the chosen function would do, change nothing");
  puts(" -h, --help\tprint this help");
  puts("");
  puts(" Available functions:");
  puts("");
  if (running_from_boot_media == 1)
    print_rows(boot_media_rows);
  else if (running_from_boot_media == 0)
    print_rows(emmc_rows);
  puts("");
}
