// Console front end: start-up checks, menu, help, answers, status marker and
// the small file-system probes every subsystem uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "partition_table.h"

// ---- Console answers ----
// The user's one-character answer: the first character of the line, lowered
// (A-Z only); 0 for an empty line; 255 at end of input. The rest of the line
// is discarded. Standard output is flushed first so the prompt is shown.
uint8_t read_answer();
uint8_t read_answer_from(FILE *in);
constexpr uint8_t answer_end_of_input = 255;

// ---- A console that goes away ----
// For the whole run, and inherited by every tool it starts: SIGPIPE and
// SIGHUP are ignored. A reader of the output that ends (the "tee" of an ssh
// session that dropped, a "head") makes writes fail instead of ending the
// run between two steps, and so does the terminal hanging up; the question
// that follows reads the end of the input, which declines. (rsync ends on a
// hangup by its own handler: that copy then fails.)
void keep_running_without_console();
// Flushes `out`; when writing it has failed, says so once per run on
// `warnings` (nothing when that fails too). The run goes on either way.
void check_console_output(FILE *out = stdout, FILE *warnings = stderr);

// ---- Durable files ----
// Writes `text` and a newline as the new file `path` (replacing one of
// that name) and makes it durable. Silent; 0 or -1.
int write_durable_text(const char *path, const char *text);

// ---- Status marker ----
// Replaces "/storage/.config/boot.hint" (or `path`) with `word` and a
// newline, durably: written as "boot.hint.new", flushed to the medium,
// renamed over the marker, and its folder flushed; a failure leaves the old
// marker and no ".new". Prints nothing; 0 or -1 (also when the folder,
// "/storage/.config", is not a directory).
int write_status_marker(const char *word, const char *path = path_status_marker);

// ---- Probes (print nothing unless said) ----
bool is_directory(const char *path);
bool path_exists(const char *path);
// Size in bytes of a block device named without "/dev/" (from
// "/sys/block/<name>/size"), 0 when unknown.
uint64_t block_device_size(const char *device);
// Parses the first line of a /sys size file: whole sectors, nothing else.
// 0 when it is not a non-negative whole number or the size would overflow.
uint64_t sectors_text_to_bytes(const char *text);

// Copies at most `length` bytes of `text` (up to its first zero byte) into
// `out`, control characters and bytes above 0x7e shown as '?', so that bytes
// read from the device never reach the terminal as escape sequences. `keep_newline`
// lets newlines through unchanged.
void printable_text(char *out, size_t out_size, const char *text, size_t length,
                    bool keep_newline = false);

// ---- Start-up ----
// 1 when a line of "/proc/self/mountinfo" contains "/ /storage", 0 when none
// does, -1 when the file cannot be opened.
int is_running_from_boot_media();
int running_from_boot_media_in(const char *mountinfo_path);

// Reads the device-tree id (one line of at most 255 characters) into
// `buffer` (at least 256 bytes). 0 also when there is no id file; -1 when it
// exists but nothing could be read.
int read_device_id(char *buffer);
int read_device_id_from(const char *path, char *buffer);

uint32_t round_up_power_of_two(uint32_t n);

// Kernel release check: 1 supported (4.9 or later), 0 refused. The numbers
// read are stored; `numbers_read` tells how many (0 to 3).
struct kernel_version {
  int major;
  int minor;
  int patch;
  int numbers_read;
};
kernel_version parse_kernel_release(const char *release);
bool kernel_is_supported(const kernel_version &version);

// Device gate groups, found by substring search in the id text.
struct device_class {
  bool supported;
  bool no_recovery;
};
device_class classify_device_id(const char *id);

// Validates the -f argument: a whole number of MiB from 1 to 4095. 0 and the
// size in bytes, or -1 with a message.
int parse_flash_size_option(const char *text, uint64_t *size);

// Whether -n or --dry-run is among the options (looked at before the start
// marker, which a dry run does not write). Prints nothing.
bool asks_for_dry_run(int argc, char **argv);

// Handles the options in command-line order. 1: go on; 0: the help was
// printed (end with 0); -1: refused (end with -1).
int parse_options(int argc, char **argv);

// The whole program: start-up, menu, one operation, end. Returns the exit
// status (0 or -1).
int kvemmc_main(int argc, char **argv);

// ---- Installation state and menu ----
enum class installation_state {
  none,              // menu A
  single_boot,       // menu B
  dual_boot,         // menu C
  running_from_emmc, // menu D
  undetermined,      // nothing shown
};

struct install_modes {
  int single_boot_possible;
  int dual_boot_possible;
  int has_userdata;
};

install_modes possible_install_modes(const mmc_partitions_fmt *table);
installation_state decide_installation_state(const mmc_partitions_fmt *table, int running);

// Shows the menu for the table's state, reads one answer and runs at most one
// operation. Returns the operation's result, 0 when none ran.
int run_menu(const mmc_partitions_fmt *table, int running);

// ---- Help ----
void print_help(const char *program_name);
