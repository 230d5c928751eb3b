// Installation state, the menu that fits it, and dispatch to one operation.
#include <cstring>

#include "frontend.h"
#include "operations.h"

namespace {

bool has_partition(const mmc_partitions_fmt *table, const char *name) {
  return find_partition(table, name, nullptr) == 0;
}

int abort_run() {
  puts(msg_aborting);
  return 0;
}

int menu_no_installation(const mmc_partitions_fmt *table) {
  install_modes modes = possible_install_modes(table);
  printf("\n\033[1mNo Kestrova installation found on eMMC\033[0m");
  if (modes.dual_boot_possible) {
    printf("\n");
    printf("\nInstall in dual boot mode, Kestrova and Android on eMMC");
    printf("\n  Use Kestrova data from");
    printf("\n    [1] current used SD or USB device");
    printf("\n    [2] existing backup on current used SD or USB device");
  }
  if (modes.single_boot_possible) {
    printf("\n");
    printf("\nInstall in single boot mode, only Kestrova on eMMC");
    printf("\n  Use Kestrova data from");
    printf("\n    [3] current used SD or USB device");
    printf("\n    [4] existing backup on current used SD or USB device");
  }
  if (modes.dual_boot_possible && modes.single_boot_possible) {
    printf("\n\nPlease choose one option? [1/2/3/4]: ");
  } else if (modes.dual_boot_possible) {
    printf("\n");
    printf("\nInstall in single boot mode not possible!");
    printf("\n\nPlease choose one option? [1/2]: ");
  } else {
    printf("\n");
    printf("\nInstall in dual boot mode not possible!");
    printf("\n\nPlease choose one option? [3/4]: ");
  }
  uint8_t answer = read_answer();
  printf("\n");

  if (modes.dual_boot_possible && (answer == '1' || answer == '2')) {
    int source = answer == '1' ? data_source_boot_media : data_source_backup;
    return install_on_emmc(table, install_mode_dual_boot, modes.has_userdata, source);
  }
  if (modes.single_boot_possible && (answer == '3' || answer == '4')) {
    int source = answer == '3' ? data_source_boot_media : data_source_backup;
    return install_on_emmc(table, install_mode_single_boot, modes.has_userdata, source);
  }
  return abort_run();
}

int menu_single_boot(const mmc_partitions_fmt *table) {
  printf("\n\033[1mExisting Kestrova single boot installation found on eMMC\033[0m");
  printf("\n");
  printf("\nRenew current Kestrova single boot installation on eMMC");
  printf("\n  Use Kestrova data from");
  printf("\n    [1] current used SD or USB device");
  printf("\n    [2] existing backup on current used SD or USB device");
  printf("\n");
  printf("\n[3] Make a backup of current Kestrova single boot installation on eMMC to current "
         "used SD or USB device");
  printf("\n\nPlease choose one option? [1/2/3]: ");
  switch (read_answer()) {
    case '1':
      return renew_installation(table, data_source_boot_media);
    case '2':
      return renew_installation(table, data_source_backup);
    case '3':
      return backup_to_boot_media(table);
    default:
      return abort_run();
  }
}

int menu_dual_boot(const mmc_partitions_fmt *table) {
  int has_userdata = possible_install_modes(table).has_userdata;
  printf("\n\033[1mExisting Kestrova dual boot installation found on eMMC\033[0m");
  printf("\n");
  printf("\nMigrate Kestrova dual boot to single boot installation");
  printf("\n  Use Kestrova data from");
  printf("\n    [1] current used SD or USB device");
  printf("\n    [2] the existing data on eMMC");
  printf("\n    [3] existing backup on current used SD or USB device");
  printf("\n");
  printf("\nRenew current Kestrova dual boot installation on eMMC");
  printf("\n  Use Kestrova data from");
  printf("\n    [4] current used SD or USB device");
  printf("\n    [5] existing backup on current used SD or USB device");
  printf("\n");
  printf("\n[6] Make a backup of current Kestrova dual boot installation on eMMC to current used "
         "SD or USB device");
  printf("\n[7] Remove current Kestrova dual boot installation on eMMC");
  printf("\n\nPlease choose one option? [1/2/3/4/5/6/7]: ");
  switch (read_answer()) {
    case '1':
      return migrate_to_single_boot(has_userdata, table, data_source_boot_media);
    case '2':
      return migrate_to_single_boot(has_userdata, table, data_source_emmc);
    case '3':
      return migrate_to_single_boot(has_userdata, table, data_source_backup);
    case '4':
      return renew_installation(table, data_source_boot_media);
    case '5':
      return renew_installation(table, data_source_backup);
    case '6':
      return backup_to_boot_media(table);
    case '7':
      return remove_dual_boot(has_userdata, table);
    default:
      return abort_run();
  }
}

int menu_running_from_emmc() {
  printf("\n\033[1mExisting Kestrova installation found on eMMC\033[0m");
  printf("\n");
  printf("\n[1] Make a copy of current Kestrova installation on eMMC to current used SD or USB "
         "device");
  printf("\n\nPlease choose one option? [1]: ");
  if (read_answer() == '1') return copy_to_external();
  return abort_run();
}

}  // namespace

install_modes possible_install_modes(const mmc_partitions_fmt *table) {
  install_modes modes{0, 1, 0};
  if (has_partition(table, "dtbo") || has_partition(table, "dto")) modes.single_boot_possible = 1;
  if (has_partition(table, "userdata")) {
    modes.dual_boot_possible = 0;
    modes.has_userdata = 1;
    modes.single_boot_possible = 1;
  }
  return modes;
}

installation_state decide_installation_state(const mmc_partitions_fmt *table, int running) {
  if (!has_partition(table, "KV_STORAGE")) return installation_state::none;
  if (running == 1)
    return has_partition(table, "system") ? installation_state::dual_boot
                                          : installation_state::single_boot;
  if (running == 0) return installation_state::running_from_emmc;
  return installation_state::undetermined;
}

int run_menu(const mmc_partitions_fmt *table, int running) {
  switch (decide_installation_state(table, running)) {
    case installation_state::none:
      return menu_no_installation(table);
    case installation_state::single_boot:
      return menu_single_boot(table);
    case installation_state::dual_boot:
      return menu_dual_boot(table);
    case installation_state::running_from_emmc:
      return menu_running_from_emmc();
    case installation_state::undetermined:
      break;
  }
  return 0;
}
