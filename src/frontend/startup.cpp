// The entry point: start-up checks, from process start until the partition
// table is in memory, then the menu and the end of the run.
#include <getopt.h>
#include <sys/utsname.h>

#include <climits>
#include <cstring>

#include "frontend.h"
#include "operations.h"
#include "region_io.h"

namespace {

// Device ids: the supported boxes first, then those on which no recovery is
// possible. An id matches an entry that occurs anywhere in it.
constexpr const char *supported_device_ids[] = {"gxl_p212_2g_kvim", "khadas_vim3", "minix",
                                                "beelink"};
constexpr const char *no_recovery_device_ids[] = {"buzztv", "homatics"};

constexpr uint32_t max_flash_partition_mib = 4095;  // the size is kept in 32 bits

bool contains_any(const char *text, const auto &entries) {
  for (const char *entry : entries)
    if (strstr(text, entry)) return true;
  return false;
}

struct line_reader {
  char *line = nullptr;
  size_t capacity = 0;
  ~line_reader() { free(line); }
};

// Keeps the global scratch pointer in step with its owner.
struct scratch_owner {
  owned<char> buffer = allocate_zeroed<char>(scratch_buffer_size);
  scratch_owner() { scratch_buffer = buffer.get(); }
  ~scratch_owner() { scratch_buffer = nullptr; }
};

int fail_marker(const char *word) {
  printf("Failed to set boot.hint status: %s!\n", word);
  return -1;
}

// Texts of the system's (device id, kernel release) are shown with their
// control bytes made harmless.
void print_refused(const char *format, const char *text) {
  char shown[512];
  printable_text(shown, sizeof(shown), text, strlen(text), true);
  printf(format, shown);
}

// 0: go on; 1: the user declined (end with 0); -1: refused.
int device_gate(const char *id) {
  device_class device = classify_device_id(id);
  if (device.no_recovery && refuse_no_recovery_device) {
    print_refused("\nSystem is not supported as no recovery is possible: %s!\n", id);
    return -1;
  }
  if (!device.supported && refuse_unsupported_device) {
    print_refused("\nSystem is not supported: %s!\n", id);
    return -1;
  }
  if (!device.supported) {
    print_refused("\nSystem is not supported: %s!\n", id);
    puts("\nThere is NO official support by Team Kestrova");
    printf("if you continue to run this tool!\nContinue? [y]: ");
    if (read_answer() != 'y') {
      puts(msg_aborting);
      return 1;
    }
  }
  return 0;
}

int check_kernel() {
  struct utsname name;
  if (uname(&name) != 0) {
    puts("Failed to read uname data from system!");
    return -1;
  }
  kernel_version version = parse_kernel_release(name.release);
  if (kernel_is_supported(version)) return 0;
  if (version.numbers_read < 2) {
    print_refused("\nSystem is not supported: %s!\n", name.release);
  } else {
    printf("\nSystem is not supported: %d.%d.%d!\n", version.major, version.minor, version.patch);
  }
  return -1;
}

}  // namespace

int running_from_boot_media_in(const char *mountinfo_path) {
  owned_file file(fopen(mountinfo_path, "r"));
  if (!file) return -1;
  // The root of a mount, then its mount point: "/storage" is itself the root
  // of a filesystem (the boot media's data partition). Sub-mounts below
  // /storage do not count.
  line_reader reader;
  while (getline(&reader.line, &reader.capacity, file.get()) != -1) {
    if (strstr(reader.line, " / /storage ")) return 1;
  }
  return 0;
}

int is_running_from_boot_media() { return running_from_boot_media_in(path_mountinfo); }

int read_device_id_from(const char *path, char *buffer) {
  owned_file file(fopen(path, "r"));
  if (!file) return 0;
  if (!fgets(buffer, 256, file.get())) return -1;
  return 0;
}

int read_device_id(char *buffer) { return read_device_id_from(path_device_id, buffer); }

uint32_t round_up_power_of_two(uint32_t n) {
  if (n <= 2) return n;
  uint32_t power = 1;
  while (power < n && power <= UINT32_MAX / 2) power <<= 1;
  return power < n ? 0 : power;
}

kernel_version parse_kernel_release(const char *release) {
  kernel_version version{0, 0, 0, 0};
  int *numbers[] = {&version.major, &version.minor, &version.patch};
  const char *p = release;
  for (int *number : numbers) {
    if (*p < '0' || *p > '9') break;
    long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
      if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    *number = value > INT_MAX ? INT_MAX : static_cast<int>(value);
    version.numbers_read++;
    if (*p != '.') break;
    p++;
  }
  return version;
}

bool kernel_is_supported(const kernel_version &version) {
  if (version.numbers_read < 2) return false;
  if (version.major <= 3) return false;
  if (version.major == 4 && version.minor <= 8) return false;
  return true;
}

device_class classify_device_id(const char *id) {
  return {contains_any(id, supported_device_ids), contains_any(id, no_recovery_device_ids)};
}

int parse_flash_size_option(const char *text, uint64_t *size) {
  uint32_t mib = 0;
  bool valid = text[0] != '\0';
  for (const char *p = text; valid && *p; p++) {
    valid = *p >= '0' && *p <= '9' && mib <= max_flash_partition_mib;
    if (valid) mib = mib * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (!valid || mib == 0 || mib > max_flash_partition_mib) {
    char shown[256];
    printable_text(shown, sizeof(shown), text, strlen(text));
    printf("Invalid KV_FLASH partition size: '%s' (use a whole number of MB from 1 to %u)!\n",
           shown, max_flash_partition_mib);
    return -1;
  }
  *size = static_cast<uint64_t>(mib) << 20;
  return 0;
}

namespace {

constexpr const char short_options[] = "vxnf:h";
const struct option long_options[] = {
    {"help", no_argument, &long_help, 1},
    {"kestrova", no_argument, &long_help, 1},
    {"dry-run", no_argument, nullptr, 'n'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

bool asks_for_dry_run(int argc, char **argv) {
  const int kept_opterr = opterr;
  const int kept_long_help = long_help;
  opterr = 0;  // the real pass reports what is wrong
  optind = 0;
  bool asked = false;
  for (int option; (option = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1;)
    asked = asked || option == 'n';
  opterr = kept_opterr;
  long_help = kept_long_help;
  optind = 0;
  return asked;
}

int parse_options(int argc, char **argv) {
  optind = 0;  // start afresh (the parser keeps state between calls)
  for (;;) {
    int index = -1;
    int option = getopt_long(argc, argv, short_options, long_options, &index);
    if (option == -1) return 1;
    if (option == 0) {
      if (strcmp(long_options[index].name, "help") == 0) {
        option = 'h';
      } else {
        refuse_no_recovery_device = 0;
        continue;
      }
    }
    switch (option) {
      case 'n':
        dry_run = 1;
        break;
      case 'v':
        verbose = 1;
        break;
      case 'x':
        refuse_unsupported_device = 0;
        break;
      case 'f':
        if (parse_flash_size_option(optarg, &flash_partition_size) != 0) return -1;
        break;
      case 'h':
        print_help(argv[0]);
        return 0;
      default:  // the parser has printed its diagnostic
        return -1;
    }
  }
}

int kvemmc_main(int argc, char **argv) {
  // A console that goes away (an ssh session that drops under "kvemmc |
  // tee log") ends neither the run nor a tool it runs.
  keep_running_without_console();

  // 1. Taken before the options: the help text depends on it.
  running_from_boot_media = is_running_from_boot_media();

  // 2-3. Banner and start marker; a dry run leaves the marker as it is, so
  // it is known before the options are taken in order.
  puts("\nStarting Kestrova eMMC installation tool...");
  dry_run = asks_for_dry_run(argc, argv) ? 1 : 0;
  if (!dry_run && write_status_marker(status_started) != 0) return fail_marker(status_started);

  // 4. Options; help ends the run here.
  int options = parse_options(argc, argv);
  if (options <= 0) return options;

  // 5. Kernel 4.9 or later.
  if (check_kernel() != 0) return -1;

  // 6. Scratch buffer.
  scratch_owner scratch;
  if (!scratch_buffer) {
    puts("malloc failed for temporary char buffer!");
    return -1;
  }

  // 7-8. Device id and the device gate.
  if (read_device_id(scratch_buffer) != 0) {
    puts("Failed to read Kestrova id from DTB!");
    return -1;
  }
  int gate = device_gate(scratch_buffer);
  if (gate != 0) return gate > 0 ? 0 : -1;

  // 9. eMMC size.
  uint64_t emmc_size = block_device_size("mmcblk0");
  if (emmc_size == 0) {
    puts("Failed to read eMMC size! Exit!");
    return -1;
  }
  printf("\neMMC size: 0x%012llx [%dGB]\n", static_cast<unsigned long long>(emmc_size),
         static_cast<int>(round_up_power_of_two(static_cast<uint32_t>(emmc_size / 1000000000))));
  // Written as a block device only: a plain file in its place would take
  // every write and report success.
  owned_fd emmc;
  if (open_block_device(emmc, path_emmc_device, O_RDONLY) != 0 || close_region_file(emmc) != 0) {
    return -1;
  }

  // 10-11. The partition table as found. Every decision from here on rests on
  // it, so a table that fails its own checks is refused, printed or not; only
  // the journal of an interrupted change may still mend it first.
  owned<mmc_partitions_fmt> table;
  if (read_partition_table(table, path_reserved_device) != 0) {
    puts("Failed to read original partition table!");
    return -1;
  }
  bool table_sound;
  if (verbose) {
    puts("\nOriginal partition table:");
    table_sound = verify_and_print_partition_table(table.get(), 1) == 0;
  } else {
    table_sound = verify_partition_table(table.get()) == 0;
  }

  // A single-boot change that was cut off comes before the menu; then the
  // menu and one operation, then the end of the run. A change cut off in
  // its table write can leave a torn table: its journal may still mend it,
  // nothing else is done with such a table.
  const bool journal_looked_at =
      running_from_boot_media == 1 && (table_sound || path_exists(path_relocation_journal));
  int result = running_from_boot_media == 1 && table_sound ? finish_interrupted_resize(table.get()) : 1;
  if (result > 0 && journal_looked_at) result = finish_interrupted_change();
  if (result > 0 && !table_sound) {
    puts(verbose ? "Failed to show original partition table!"
                 : "Failed to read original partition table!");
    return -1;
  }
  if (result > 0) result = run_menu(table.get(), running_from_boot_media);
  table.reset();
  scratch.buffer.reset();
  scratch_buffer = nullptr;
  if (result == 0 && status_word && !dry_run && write_status_marker(status_word) != 0)
    return fail_marker(status_word);
  check_console_output();
  return result;
}
