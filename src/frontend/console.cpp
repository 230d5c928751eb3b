// Console answers, the status marker and the small file-system probes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frontend.h"
#include "region_io.h"

uint8_t read_answer_from(FILE *in) {
  check_console_output();
  int first = fgetc(in);
  if (first == EOF) return answer_end_of_input;
  if (first == '\n') return 0;
  // Discard the rest of the line so that the next question starts fresh.
  for (int c = fgetc(in); c != EOF && c != '\n'; c = fgetc(in)) {
  }
  if (first >= 'A' && first <= 'Z') first = first - 'A' + 'a';
  return static_cast<uint8_t>(first);
}

uint8_t read_answer() { return read_answer_from(stdin); }

// ---- A console that goes away ----

// The tools inherit the ignored dispositions across exec, and keep them: a
// tool's own standard output is the pipe this run reads to its end, so no
// tool meets a closed pipe there while the run lives; its standard error is
// the run's, and a tool that writes there after the reader has gone (mke2fs
// prints its banner there) must not be killed in the middle of its work for
// it. Should the run itself be killed, a tool's next write into the pipe
// fails (EPIPE) instead, and the tool ends or goes on as it handles errors.
void keep_running_without_console() {
  struct sigaction ignored {};
  ignored.sa_handler = SIG_IGN;
  sigemptyset(&ignored.sa_mask);
  sigaction(SIGPIPE, &ignored, nullptr);
  sigaction(SIGHUP, &ignored, nullptr);
}

namespace {
bool output_failure_said = false;
}  // namespace

void check_console_output(FILE *out, FILE *warnings) {
  const bool flushed = fflush(out) == 0;
  const int error = errno;
  if ((flushed && !ferror(out)) || output_failure_said) return;
  output_failure_said = true;
  // The work goes on; only what it shows is lost. The warning goes where
  // it may still be read, and nowhere when that fails too.
  fprintf(warnings,
          "Warning: the output of kvemmc cannot be written (%s): the work goes on, but what it "
          "shows from here on is lost!\n",
          flushed ? "write error" : strerror(error));
  fflush(warnings);
}

// ---- Durable files ----

// The text goes into its own file, made durable before it takes the
// marker's name: the boot scripts find the old word or the new one, whole.
int write_durable_text(const char *path, const char *word) {
  owned_file file(fopen(path, "w"));
  if (!file) return -1;
  bool written = fputs(word, file.get()) != EOF && fputc('\n', file.get()) != EOF &&
                 fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0;
  // A full disk shows only when the buffered text is written out.
  if (fclose(file.release()) != 0) written = false;
  return written ? 0 : -1;
}

int write_status_marker(const char *word, const char *path) {
  char folder[256], fresh[256];
  snprintf(folder, sizeof(folder), "%s", path);
  char *slash = strrchr(folder, '/');
  if (!slash || slash == folder) return -1;
  *slash = '\0';
  if (!is_directory(folder)) return -1;
  if (snprintf(fresh, sizeof(fresh), "%s.new", path) >= static_cast<int>(sizeof(fresh))) return -1;
  if (write_durable_text(fresh, word) != 0 || rename(fresh, path) != 0) {
    unlink(fresh);
    return -1;
  }
  return sync_folder_of(path);
}

bool is_directory(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

uint64_t sectors_text_to_bytes(const char *text) {
  constexpr uint64_t max_sectors = UINT64_MAX / 512;
  uint64_t sectors = 0;
  const char *p = text;
  if (*p < '0' || *p > '9') return 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (sectors > (max_sectors - digit) / 10) return 0;
    sectors = sectors * 10 + digit;
  }
  for (; *p; p++) {
    if (*p != '\n' && *p != ' ' && *p != '\t' && *p != '\r') return 0;
  }
  return sectors * 512;
}

uint64_t block_device_size(const char *device) {
  char path[256];
  int n = snprintf(path, sizeof(path), "/sys/block/%s/size", device);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path) || !path_exists(path)) {
    printf("Parameter for block device '%s' not found: '%s'\n", device, path);
    return 0;
  }
  owned_file file(fopen(path, "r"));
  if (!file) return 0;
  char line[64];
  if (!fgets(line, sizeof(line), file.get())) return 0;
  return sectors_text_to_bytes(line);
}

void printable_text(char *out, size_t out_size, const char *text, size_t length,
                    bool keep_newline) {
  if (out_size == 0) return;
  size_t n = 0;
  for (size_t i = 0; i < length && text[i] != '\0' && n + 1 < out_size; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool shown = (c >= 0x20 && c <= 0x7e) || (keep_newline && c == '\n');
    out[n++] = shown ? static_cast<char>(c) : '?';
  }
  out[n] = '\0';
}
