// The signals held back while the eMMC's layout changes, and noted while a
// copy runs; see operation_steps.h.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "operation_steps.h"

// ---- The protected window ----

namespace {

// SIGHUP is not among them: the run ignores it (a console that went away
// is no request to stop, see keep_running_without_console).
constexpr int held_signals[held_signal_count] = {SIGINT, SIGTERM, SIGQUIT};

void held_set(sigset_t *set) {
  sigemptyset(set);
  for (int s : held_signals) sigaddset(set, s);
}

}  // namespace

critical_window::~critical_window() {
  if (open) close_critical_window(*this);
}

int open_critical_window(critical_window &window) {
  sigset_t held;
  held_set(&held);
  if (sigprocmask(SIG_BLOCK, &held, &window.previous) != 0) {
    puts("Cannot hold back signals for the change of the eMMC layout!");
    return -1;
  }
  window.open = true;
  return 0;
}

int close_critical_window(critical_window &window) {
  if (!window.open) return 0;
  window.open = false;
  sigset_t held, pending;
  held_set(&held);
  int arrived = 0;
  if (sigpending(&pending) == 0) {
    // Take every held signal that came, so that none ends the process when
    // they are let through again.
    const struct timespec none = {0, 0};
    for (int s : held_signals) {
      if (sigismember(&pending, s) != 1) continue;
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, s);
      if (sigtimedwait(&one, nullptr, &none) == s && arrived == 0) arrived = s;
    }
  }
  sigprocmask(SIG_SETMASK, &window.previous, nullptr);
  if (arrived == 0) return 0;
  printf("Stopped by signal %d (%s) after the change of the eMMC layout was completed!\n", arrived,
         strsignal(arrived));
  return -1;
}

// ---- A copy that Ctrl-C may end ----

namespace {

volatile sig_atomic_t copy_signal = 0;

void note_copy_signal(int signal) {
  if (copy_signal == 0) copy_signal = signal;
}

}  // namespace

copy_guard::copy_guard() {
  copy_signal = 0;
  struct sigaction noting {};
  noting.sa_handler = note_copy_signal;
  sigemptyset(&noting.sa_mask);
  for (int i = 0; i < held_signal_count; i++) sigaction(held_signals[i], &noting, &previous[i]);
}

copy_guard::~copy_guard() {
  for (int i = 0; i < held_signal_count; i++) sigaction(held_signals[i], &previous[i], nullptr);
}

int copy_signal_arrived() { return copy_signal; }

int check_copy_interrupted(const copy_guard &) {
  const int arrived = copy_signal;
  if (arrived == 0) return 0;
  printf("Stopped by signal %d (%s) during the copy!\n", arrived, strsignal(arrived));
  return -1;
}
