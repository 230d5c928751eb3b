// The one gateway to the platform's tools: shell command lines run through
// popen, and the checks every value must pass before it enters such a line.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "frontend.h"
#include "storage.h"
#include "storage_internal.h"

owned<char> allocate_text(size_t size) {
  owned<char> text = allocate_zeroed<char>(size);
  if (!text) printf("Error allocating %zu bytes!\n", size);
  return text;
}

bool lies_in_scratch_buffer(const char *text) {
  if (!text || !scratch_buffer) return false;
  // Compared as integers: the pointers need not belong to the same object.
  uintptr_t start = reinterpret_cast<uintptr_t>(scratch_buffer);
  uintptr_t at = reinterpret_cast<uintptr_t>(text);
  if (at < start || at >= start + scratch_buffer_size) return false;
  puts("Argument lies in the scratch buffer that the command is built in!");
  return true;
}

static int close_command(FILE *pipe, const char *command, command_outcome *outcome);

int run_command_outcome(const char *command, char *output, size_t output_size, FILE *echo,
                        command_outcome *outcome) {
  command_outcome local;
  if (!outcome) outcome = &local;
  *outcome = {0, 0, 0};

  owned<char> kept = allocate_text(command_capture_size + 1);
  if (!kept) return -1;

  // Our own pending output goes first, so the command's output follows it.
  check_console_output();
  if (echo) fflush(echo);

  // /bin/sh runs the line: pipes, "&&", "||", redirections and wildcards work.
  FILE *pipe = popen(command, "r");
  if (!pipe) {
    puts("Error running cmd with popen");
    return -1;
  }

  // Read to the end, each block as it arrives, so that progress shows at once
  // (carriage returns and all) and a talkative command never blocks on a full
  // pipe. The stream's own buffer is never used: the descriptor is read.
  size_t length = 0;
  const int from = fileno(pipe);
  char block[4096];
  for (;;) {
    const ssize_t got = read(from, block, sizeof(block));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const size_t n = static_cast<size_t>(got);
    if (echo) {
      fwrite(block, 1, n, echo);
      fflush(echo);
    }
    const size_t room = command_capture_size - length;
    memcpy(kept.get() + length, block, n < room ? n : room);
    length += n < room ? n : room;
  }
  // An echo that could not be written is said once; the command's work
  // counts, not what could be shown of it.
  if (echo) check_console_output(echo);
  if (length > 0 && kept.get()[length - 1] == '\n') kept.get()[--length] = '\0';

  // Delivered before the status is looked at: a failing command still shows
  // what it said.
  if (output && output_size > 0) {
    size_t n = length < output_size - 1 ? length : output_size - 1;
    memcpy(output, kept.get(), n);
    output[n] = '\0';
  }

  return close_command(pipe, command, outcome);
}

// pclose and the command's exit status, as run_command reports them.
static int close_command(FILE *pipe, const char *command, command_outcome *outcome) {
  int status = pclose(pipe);
  if (status < 0) {
    puts("Error running pclose on cmd");
    return -1;
  }
  outcome->completed = 1;
  int code;
  if (WIFSIGNALED(status)) {
    // A command cut short by a signal has not done its work: reported the
    // way the shell reports it, as 128 plus the signal number.
    outcome->signal = WTERMSIG(status);
    code = 128 + outcome->signal;
  } else {
    outcome->exit_code = WEXITSTATUS(status);
    code = outcome->exit_code;
  }
  if (code != 0) {
    printf("Error running pclose on cmd: `%s`. Error: %d\n", command, code);
    return -code;
  }
  return 0;
}

int run_command(const char *command, char *output, size_t output_size, FILE *echo) {
  return run_command_outcome(command, output, output_size, echo, nullptr);
}

int run_command_lines(const char *command, line_reader take, void *context, char *last,
                      size_t last_size) {
  if (last && last_size > 0) last[0] = '\0';
  check_console_output();
  FILE *pipe = popen(command, "r");
  if (!pipe) {
    puts("Error running cmd with popen");
    return -1;
  }
  // getline's buffer grows with the longest line; it is this function's.
  char *line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  for (;;) {
    errno = 0;
    length = getline(&line, &capacity, pipe);
    if (length < 0 && errno == EINTR) {
      // Read on: a command left writing into a full pipe would never end.
      clearerr(pipe);
      continue;
    }
    if (length < 0) break;
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    take(context, line);
    if (last && last_size > 0) snprintf(last, last_size, "%s", line);
  }
  free(line);
  command_outcome outcome;
  return close_command(pipe, command, &outcome);
}

static int vformat_command(char *buffer, size_t size, const char *format, va_list args) {
  int n = vsnprintf(buffer, size, format, args);
  if (n >= 0 && static_cast<size_t>(n) < size) return 0;
  // A cut-off command line could do something else than intended (think of
  // "rm -rf /media/KV_STORAGE/kes" or a lost "|| true"): it is never run.
  printf("Command line longer than %zu bytes refused: '%.60s...'\n", size - 1, buffer);
  if (size > 0) buffer[0] = '\0';
  return -1;
}

int format_command(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vformat_command(buffer, size, format, args);
  va_end(args);
  return result;
}

int run_formatted(char *buffer, size_t size, FILE *echo, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int formed = vformat_command(buffer, size, format, args);
  va_end(args);
  if (formed != 0) return -1;
  if (run_command(buffer, nullptr, 0, echo) < 0) {
    printf(msg_cmd_failed, buffer);
    return -1;
  }
  return 0;
}

static bool is_safe_character(char c, bool path) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || (path && c == '/');
}

static bool check_safe(const char *what, const char *text, bool path) {
  bool safe = text && text[0] != '\0' && text[0] != '-';
  for (const char *p = text; safe && *p; p++) safe = is_safe_character(*p, path);
  if (safe) return true;
  char shown[128];
  if (text) {
    printable_text(shown, sizeof(shown), text, strlen(text));
  } else {
    strcpy(shown, "(none)");
  }
  printf("Unsafe %s '%s' refused!\n", what, shown);
  return false;
}

bool check_safe_name(const char *what, const char *text) { return check_safe(what, text, false); }

bool check_safe_path(const char *what, const char *text) { return check_safe(what, text, true); }
