// What the end-to-end tests share: the console texts kvemmc prints, a
// partition record for expected tables, and running a program with a given
// standard input while capturing its output.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace e2e {

namespace fs = std::filesystem;

constexpr uint64_t MiB = 1ull << 20;

struct Part {
  std::string name;
  uint64_t size;
  uint64_t offset;
  uint64_t mask;
};

// ---------------------------------------------------------------------------
// Expected console texts
// ---------------------------------------------------------------------------

inline const std::string kBanner = "\nStarting Kestrova eMMC installation tool...\n";
inline const std::string kSize8G = "\neMMC size: 0x0001d2000000 [8GB]\n";
inline const std::string kAbort = "\nAborting!\n\n";  // "\nAborting!\n" printed as a line
inline const std::string kUnavailable = "is not available in this build!\n";
inline const std::string kStarted = "KVEMMC_STARTED\n";

inline std::string menu_a(bool dual, bool single) {
  std::string s = "\n\033[1mNo Kestrova installation found on eMMC\033[0m";
  if (dual) {
    s += "\n"
         "\nInstall in dual boot mode, Kestrova and Android on eMMC"
         "\n  Use Kestrova data from"
         "\n    [1] current used SD or USB device"
         "\n    [2] existing backup on current used SD or USB device";
  }
  if (single) {
    s += "\n"
         "\nInstall in single boot mode, only Kestrova on eMMC"
         "\n  Use Kestrova data from"
         "\n    [3] current used SD or USB device"
         "\n    [4] existing backup on current used SD or USB device";
  }
  if (dual && single) {
    s += "\n\nPlease choose one option? [1/2/3/4]: ";
  } else if (dual) {
    s += "\n\nInstall in single boot mode not possible!\n\nPlease choose one option? [1/2]: ";
  } else {
    s += "\n\nInstall in dual boot mode not possible!\n\nPlease choose one option? [3/4]: ";
  }
  return s;
}

// Menu A writes an empty line after reading the answer; menus B to D do not.
inline std::string menu_a_answered(bool dual, bool single) { return menu_a(dual, single) + "\n"; }

inline const std::string kMenuB =
    "\n\033[1mExisting Kestrova single boot installation found on eMMC\033[0m"
    "\n"
    "\nRenew current Kestrova single boot installation on eMMC"
    "\n  Use Kestrova data from"
    "\n    [1] current used SD or USB device"
    "\n    [2] existing backup on current used SD or USB device"
    "\n"
    "\n[3] Make a backup of current Kestrova single boot installation on eMMC to current used "
    "SD or USB device"
    "\n\nPlease choose one option? [1/2/3]: ";

inline const std::string kMenuC =
    "\n\033[1mExisting Kestrova dual boot installation found on eMMC\033[0m"
    "\n"
    "\nMigrate Kestrova dual boot to single boot installation"
    "\n  Use Kestrova data from"
    "\n    [1] current used SD or USB device"
    "\n    [2] the existing data on eMMC"
    "\n    [3] existing backup on current used SD or USB device"
    "\n"
    "\nRenew current Kestrova dual boot installation on eMMC"
    "\n  Use Kestrova data from"
    "\n    [4] current used SD or USB device"
    "\n    [5] existing backup on current used SD or USB device"
    "\n"
    "\n[6] Make a backup of current Kestrova dual boot installation on eMMC to current used SD "
    "or USB device"
    "\n[7] Remove current Kestrova dual boot installation on eMMC"
    "\n\nPlease choose one option? [1/2/3/4/5/6/7]: ";

inline const std::string kMenuD =
    "\n\033[1mExisting Kestrova installation found on eMMC\033[0m"
    "\n"
    "\n[1] Make a copy of current Kestrova installation on eMMC to current used SD or USB device"
    "\n\nPlease choose one option? [1]: ";

inline std::string unsupported(const std::string &shown_id) {
  return "\nSystem is not supported: " + shown_id + "!\n";
}

inline std::string no_recovery(const std::string &shown_id) {
  return "\nSystem is not supported as no recovery is possible: " + shown_id + "!\n";
}

inline std::string unsupported_question(const std::string &shown_id) {
  return unsupported(shown_id) +
         "\nThere is NO official support by Team Kestrova\n"
         "if you continue to run this tool!\nContinue? [y]: ";
}

inline const char *mask_type(uint64_t mask) {
  switch (static_cast<uint32_t>(mask)) {
    case 1: return "code";
    case 2: return "cache";
    case 4: return "data";
    default: return "unkn";
  }
}

inline std::string table_listing(const std::vector<Part> &parts) {
  std::string s = "\nOriginal partition table:\n";
  for (size_t i = 0; i < parts.size(); ++i) {
    const Part &p = parts[i];
    char line[200];
    std::snprintf(line, sizeof line,
                  "[mmcblk0p%02d] %20s  offset 0x%012llx, size 0x%012llx [%llu MB], %s\n",
                  static_cast<int>(i + 1), p.name.c_str(), static_cast<unsigned long long>(p.offset),
                  static_cast<unsigned long long>(p.size),
                  static_cast<unsigned long long>(p.size >> 20), mask_type(p.mask));
    s += line;
  }
  return s;
}

inline std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%#x", v);
  return buf;
}

// Help text: a fixed head, then the body for the way the system runs.
// emmc_with_submount: /storage is a bind-mounted folder, and a filesystem of
// its own is mounted below it at /storage/media.
enum class Running { boot_media, emmc, emmc_with_submount, undetermined };

inline std::string help_text(Running running, bool long_help) {
  using Block = std::vector<std::string>;
  const Block D{"           Install Kestrova on eMMC without removing Android from the device.",
                "           Dual boot of Android and Kestrova is possible.",
                "           Not all memory of the eMMC can be used because of Android."};
  const Block S{"           Install Kestrova on eMMC and remove Android from the device.",
                "           Only boot of Kestrova is possible.",
                "           The maximum of memory of the eMMC is used."};
  const Block K{"           An existing backup of the Kestrova data on on current",
                "           used SD or USB device will be used for installation."};
  const Block N{"           All existing Kestrova data on eMMC will be removed",
                "           and the new data from current used SD or USB device",
                "           will be copied to eMMC."};
  const Block E{"           The existing Kestrova data on eMMC will be used for installation."};
  const Block R{"           All existing Kestrova data on eMMC will be removed and",
                "           the new data from an existing backup from current",
                "           used SD or USB device will be copied to eMMC."};
  const Block B{"       Make a backup of all Kestrova data on flash and/or storage",
                "       partition on eMMC to the current used SD or USB device"};
  const Block X{"       All existing Kestrova data on eMMC and the existing",
                "       Kestrova dual boot installation on eMMC will be removed."};
  const Block C{"       Make a copy of all Kestrova data on flash and/or storage",
                "       partition on eMMC to the current used SD or USB device"};

  std::string s =
      "Usage: /kvemmc [options]\n"
      "\n\n"
      "[options]\n"
      " -v\t\tverbose output\n"
      " -f\t\tset KV_FLASH partiton size in MB, default is 512MB\n"
      " -h, --help\tprint this help\n"
      "\n"
      " Available functions:\n"
      "\n";
  auto line = [&s](const std::string &text) { s += text + "\n"; };
  // A choice line, then (long help only) its description blocks and, when
  // `blank`, an empty line behind them.
  auto choice = [&](const std::string &text, std::initializer_list<const Block *> blocks,
                    bool blank) {
    line(text);
    if (!long_help) return;
    for (const Block *b : blocks)
      for (const std::string &l : *b) line(l);
    if (blank) line("");
  };

  if (running == Running::boot_media) {
    line("  [\033[1mNo Kestrova installation on eMMC\033[0m]");
    line("");
    line("   Install in dual boot mode, Kestrova and Android on eMMC");
    line("     Use Kestrova data from");
    choice("       [1] current used SD or USB device", {&D}, true);
    choice("       [2] existing backup on current used SD or USB device", {&D, &K}, true);
    line("");
    line("   Install in single boot mode, only Kestrova on eMMC");
    line("     Use Kestrova data from");
    choice("       [3] current used SD or USB device", {&S}, true);
    choice("       [4] existing backup on current used SD or USB device", {&S, &K}, false);
    line("");
    line("  [\033[1mExisting Kestrova dual boot installation on eMMC\033[0m]");
    line("");
    line("   Migrate Kestrova dual boot to single boot installation");
    line("     Use Kestrova data from");
    choice("       [1] current used SD or USB device", {&S, &N}, true);
    choice("       [2] the existing data on eMMC", {&S, &E}, true);
    choice("       [3] existing backup on current used SD or USB device", {&S, &K}, true);
    line("");
    line("   Renew current Kestrova dual boot installation on eMMC");
    line("     Use Kestrova data from");
    choice("       [4] current used SD or USB device", {&N}, true);
    choice("       [5] existing backup on current used SD or USB device", {&R}, true);
    line("");
    choice("   [6] Make a backup of current Kestrova dual boot installation on eMMC to current "
           "used SD or USB device",
           {&B}, true);
    choice("   [7] Remove current Kestrova dual boot installation on eMMC", {&X}, false);
    line("");
    line("  [\033[1mExisting Kestrova single boot installation on eMMC\033[0m]");
    line("");
    line("   Renew current Kestrova single boot installation on eMMC");
    line("     Use Kestrova data from");
    choice("       [1] current used SD or USB device", {&N}, true);
    choice("       [2] existing backup on current used SD or USB device", {&R}, true);
    line("");
    choice("   [3] Make a backup of current Kestrova single boot installation on eMMC to "
           "current used SD or USB device",
           {&B}, true);
  } else if (running == Running::emmc) {
    line("  [\033[1mExisting Kestrova installation on eMMC\033[0m]");
    line("");
    choice("   [1] Make a copy of current Kestrova installation on eMMC to current used SD or "
           "USB device",
           {&C}, true);
  }
  line("");
  return s;
}

// ---------------------------------------------------------------------------
// Files and processes
// ---------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/kvemmc-e2e.XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

inline std::string read_file(const fs::path &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}


struct Process {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] (a path) with `input` as its standard input and waits for it.
inline Process run_process(std::vector<std::string> argv, const std::string &input) {
  TempDir dir;
  const std::string in_path = (dir.path() / "stdin").string();
  const std::string out_path = (dir.path() / "stdout").string();
  const std::string err_path = (dir.path() / "stderr").string();
  write_file(in_path, input);

  std::vector<char *> cargv;
  for (std::string &a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  Process p;
  p.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  p.out = read_file(out_path);
  p.err = read_file(err_path);
  return p;
}

// The checks every run must pass, whatever it tests: not stopped by the time
// limit (124), the box built and torn down (125), no sanitizer report.
inline void expect_clean_run(const Process &p, const char *box) {
  EXPECT_NE(p.status, 124) << "the run was stopped by the time limit; output so far:\n" << p.out;
  EXPECT_NE(p.status, 125) << "the " << box << " failed: " << p.err;
  EXPECT_EQ(p.err.find("Sanitizer"), std::string::npos) << p.err;
  EXPECT_EQ(p.err.find("runtime error"), std::string::npos) << p.err;
}

}  // namespace e2e
