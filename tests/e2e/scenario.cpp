// Runs a scenario row on the emulated box and checks what it names.

#include "scenario.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char **environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Process {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs argv (argv[0] a path) with `input` as standard input; the output goes
// through files in `dir`, so that no pipe can fill up.
Process run_process(std::vector<std::string> argv, const std::string &input, const fs::path &dir) {
  const std::string in = dir / "stdin", out = dir / "stdout", err = dir / "stderr";
  std::ofstream(in, std::ios::binary) << input;
  std::vector<char *> cargv;
  for (std::string &a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  Process p;
  const int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return p;
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  p.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  p.out = read_file(out);
  p.err = read_file(err);
  return p;
}

// Each of `wanted` stands in `text`, each behind the one before it.
void expect_in_order(const std::string &text, const std::vector<std::string> &wanted,
                     const std::string &what) {
  size_t at = 0;
  for (const std::string &w : wanted) {
    const size_t found = text.find(w, at);
    if (found == std::string::npos) {
      ADD_FAILURE() << what << " lacks, at this place or at all:\n[" << w << "]\n" << what
                    << " was:\n" << text;
      return;
    }
    at = found + w.size();
  }
}

// Each of `wanted` is a whole line of `log`, each behind the one before it;
// "{loop}" in them stands for any loop device ("/dev/loopN"), "{scratch}"
// for a scratch folder of the tool's in /tmp.
void expect_calls_in_order(const std::string &log, const std::vector<std::string> &wanted) {
  size_t at = 0;
  for (const std::string &w : wanted) {
    std::string pattern = "(^|\n)";
    for (size_t i = 0; i < w.size(); i++) {
      if (w.compare(i, 6, "{loop}") == 0) {
        pattern += "/dev/loop[0-9]+";
        i += 5;
      } else if (w.compare(i, 9, "{scratch}") == 0) {
        pattern += "/tmp/kvemmc-room\\.[A-Za-z0-9]{6}";
        i += 8;
      } else {
        if (std::strchr("\\^$.|?*+()[]{}", w[i])) pattern += '\\';
        pattern += w[i];
      }
    }
    std::smatch found;
    const std::string rest = log.substr(at);
    if (!std::regex_search(rest, found, std::regex(pattern + "(\n|$)"))) {
      ADD_FAILURE() << "log/calls.log lacks, at this place or at all:\n[" << w << "]\nit was:\n"
                    << log;
      return;
    }
    at += static_cast<size_t>(found.position(0) + found.length(0));
    if (at > 0 && log[at - 1] == '\n') at--;  // the next line may start right here
  }
}

// Boxes side by side share the host's loop devices, so one may take the
// free device another has just found: the retry is the tool's right answer,
// and its lines are no part of any row.
std::string without_loop_races(const std::string &out) {
  static const std::regex race(
      "((losetup: [^\n]*: failed to set up loop device: |Error running pclose on cmd: `losetup "
      "/dev/loop[0-9]+ |Error executing cmd 'losetup /dev/loop[0-9]+ )[^\n]*\n)*"
      "Loop device '/dev/loop[0-9]+' (was taken meanwhile: trying another one|could not be "
      "attached and is free again: trying once more)\\.\n");
  return std::regex_replace(out, race, "");
}

// "-v"'s listing of the table that the box laid out (its file "layout").
std::string layout_listing(const fs::path &work) {
  std::istringstream in(read_file(work / "layout"));
  std::string listing = "\nOriginal partition table:\n", name;
  uint64_t offset = 0, size = 0, mask = 0;
  for (int n = 1; in >> name >> offset >> size >> mask; ++n) {
    const char *type = mask == 1 ? "code" : mask == 2 ? "cache" : mask == 4 ? "data" : "unkn";
    char line[160];
    std::snprintf(line, sizeof line,
                  "[mmcblk0p%02d] %20s  offset 0x%012" PRIx64 ", size 0x%012" PRIx64
                  " [%" PRIu64 " MB], %s\n",
                  n, name.c_str(), offset, size, size >> 20, type);
    listing += line;
  }
  return listing;
}

// `text` without the lines that hold any of `dropped`.
std::string without_lines(const std::string &text, const std::vector<std::string> &dropped) {
  std::istringstream in(text);
  std::string kept, line;
  while (std::getline(in, line)) {
    bool drop = false;
    for (const std::string &d : dropped) drop = drop || line.find(d) != std::string::npos;
    if (!drop) kept += line + "\n";
  }
  return kept;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The table a dry run's plan would write, "NAME OFFSET MIB MASK" (hex, as
// read from the right-hand side of its tables, without the gaps).
std::vector<std::string> planned_table(const std::string &plan) {
  std::vector<std::string> rows;
  bool in_table = false;
  const std::regex row(R"(^[ *~+](\S+) +([0-9a-f]+) +([0-9]+) +([0-9a-f]+)$)");
  for (const std::string &line : lines_of(plan)) {
    if (line.rfind("Partition table now", 0) == 0) in_table = true;
    if (line.rfind("(offsets", 0) == 0) in_table = false;
    const size_t bar = line.find(" | ");
    std::smatch m;
    if (!in_table || bar == std::string::npos) continue;
    const std::string side = line.substr(bar + 3);
    if (!std::regex_match(side, m, row) || m[1] == "(gap)") continue;
    rows.push_back(m[1].str() + " " + std::to_string(std::stoull(m[2], nullptr, 16)) + " " +
                   m[3].str() + " " + std::to_string(std::stoull(m[4], nullptr, 16)));
  }
  return rows;
}

// The same rows of "boxtool table".
std::vector<std::string> written_table(const std::string &listing) {
  std::vector<std::string> rows;
  const std::regex slot(R"(^slot \d+ (\S+) offset (0x[0-9a-f]+) size (0x[0-9a-f]+) mask (0x[0-9a-f]+)$)");
  for (const std::string &line : lines_of(listing)) {
    std::smatch m;
    if (!std::regex_match(line, m, slot)) continue;
    rows.push_back(m[1].str() + " " + std::to_string(std::stoull(m[2], nullptr, 16)) + " " +
                   std::to_string(std::stoull(m[3], nullptr, 16) >> 20) + " " +
                   std::to_string(std::stoull(m[4], nullptr, 16)));
  }
  return rows;
}

// Each moved partition once, "NAME FROM TO": where its bytes start and where
// they end up, from a plan's schedule (staging in between) or from the
// "Moving partition" lines of a run.
std::vector<std::string> planned_moves(const std::string &plan) {
  // Every copy that a later one moves on from is marked as staging, the
  // last one of a partition is not.
  std::vector<std::string> names, from, to;
  std::vector<bool> last_staged, wrong;
  const std::regex step(R"(^ +\d+\. (\S+) +0x([0-9a-f]+) -> 0x([0-9a-f]+) +\d+ MiB( \(staging\))?$)");
  for (const std::string &line : lines_of(plan)) {
    std::smatch m;
    if (!std::regex_match(line, m, step)) continue;
    size_t i = 0;
    while (i < names.size() && names[i] != m[1]) i++;
    if (i == names.size()) {
      names.push_back(m[1]);
      from.push_back(m[2]);
      to.push_back("");
      last_staged.push_back(true);
      wrong.push_back(false);
    }
    if (!last_staged[i]) wrong[i] = true;
    to[i] = m[3];
    last_staged[i] = m[4].matched;
  }
  std::vector<std::string> moves;
  for (size_t i = 0; i < names.size(); i++) {
    const bool marks_wrong = wrong[i] || last_staged[i];
    moves.push_back(names[i] + " " + from[i] + " " + to[i] + (marks_wrong ? " staging marks wrong" : ""));
  }
  std::sort(moves.begin(), moves.end());
  return moves;
}

std::vector<std::string> run_moves(const std::string &out) {
  std::vector<std::string> moves;
  const std::regex moving(R"(Moving partition '(\S+)' from offset 0x([0-9a-f]+), size \d+MB to offset 0x([0-9a-f]+))");
  for (const std::string &line : lines_of(out)) {
    std::smatch m;
    if (std::regex_search(line, m, moving)) moves.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
  }
  std::sort(moves.begin(), moves.end());
  return moves;
}

// What a dry run must not have called: a tool that writes, or a mount that may.
bool writes(const std::string &call) {
  // The room of a filesystem is measured on a scratch copy in /tmp.
  if (call.find(" /tmp/kvemmc-room.") != std::string::npos) return false;
  for (const char *tool : {"mke2fs", "mkfs", "e2fsck", "resize2fs", "parted", "partprobe", "rm "})
    if (call.rfind(tool, 0) == 0) return true;
  if (call.rfind("rsync", 0) == 0) return call.find("--dry-run") == std::string::npos;
  return call.rfind("mount", 0) == 0 && call.find(" -o ro") == std::string::npos &&
         call.find(" -o ") != std::string::npos;
}

void check_dry_run(const fs::path &work, const std::string &real_out, const std::string &table) {
  const std::string plan = read_file(work / "dry-run.out");
  EXPECT_EQ(read_file(work / "dry-run.status"), "0\n") << plan;
  expect_in_order(plan, {"---- Dry run: the plan; nothing has been written ----",
                         "What a real run would do, in this order:",
                         "Dry run: nothing was written. Run again without -n to carry it out."},
                  "the dry run's output");
  const std::string emmc = read_file(work / "dry-run.emmc");
  if (emmc != "not compared\n") {
    EXPECT_EQ(emmc, "same\n") << "the dry run changed the eMMC";
  }
  EXPECT_EQ(read_file(work / "dry-run.media"), "same\n") << "the dry run changed the boot media";
  EXPECT_EQ(read_file(work / "log" / "dry-run.left"), "") << "the dry run left this";
  // It may ask what the system has, and change nothing.
  for (const std::string &call : lines_of(read_file(work / "log" / "dry-run.systemctl")))
    EXPECT_EQ(call.rfind("show ", 0), 0u) << "the dry run touched a service: " << call;
  for (const std::string &call : lines_of(read_file(work / "log" / "dry-run.calls")))
    EXPECT_FALSE(writes(call)) << "the dry run called: " << call;
  if (plan.find("Partition table now") != std::string::npos) {
    EXPECT_EQ(planned_table(plan), written_table(table)) << plan;
    EXPECT_EQ(planned_moves(plan), run_moves(real_out)) << plan;
  }
}

}  // namespace

Reading reserved_as_before() {
  return {.boxtool = {"hash", "{emmc}", "0x2400000", "0x480000"},
          .same_as = {"hash", "{before}", "0x2400000", "0x480000"}};
}

std::vector<Reading> factory_state(const std::string &preset, const std::string &data) {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", preset, "fresh"}},
      {.boxtool = {"hash", "{emmc}", "0x2400000", "0x480000"},
       .same_as = {"reserved-hash", preset, "fresh"}},
      {.boxtool = {"files", "{emmc}", "@" + data}, .same_as = {"tree-files", "android"}},
      {.boxtool = {"fsck", "{emmc}", "@" + data, "@" + data}, .lines = {"clean, fills its range"}},
      {.boxtool = {"patterns", "{emmc}"}, .absent = {"BAD"}},
  };
}

std::string scenario_name(const Scenario &row) { return row.name; }

void PrintTo(const Scenario &row, std::ostream *os) { *os << row.name; }

void run_scenario(const Scenario &row) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces and loop devices";
  const char *box_binary = getenv("KVEMMC_BOX_BINARY");
  if (row.boxes_build_only && !(box_binary && *box_binary))
    GTEST_SKIP() << "runs only with the boxes' own build (KVEMMC_BOX_BINARY)";
  const fs::path work = fs::path(KVEMMC_BOX_WORK) / row.name;
  const std::string box_dir = KVEMMC_BOX_DIR;
  fs::remove_all(work);
  fs::create_directories(work / "console");
  fs::create_directories(work / "readers");

  std::vector<std::string> argv{"/bin/bash", box_dir + "/box", "--workdir", work.string(),
                                "--kvemmc", KVEMMC_BINARY, "--timeout", "300",
                                "--cache", fs::path(KVEMMC_BOX_WORK) / ".image-cache",
                                "--snapshot"};
  // The boxes' own build instead, through an emulator: KVEMMC_BOX_BINARY
  // (e.g. build-armhf/kvemmc-static) and KVEMMC_BOX_EMULATOR (qemu-arm).
  if (box_binary && *box_binary) {
    argv[5] = box_binary;
    if (const char *emulator = getenv("KVEMMC_BOX_EMULATOR"); emulator && *emulator)
      argv.insert(argv.end(), {"--emulator", emulator});
  }
  argv.insert(argv.end(), row.box.begin(), row.box.end());
  if (row.dry_run) argv.push_back("--dry-run-first");
  argv.push_back("--");
  argv.insert(argv.end(), row.args.begin(), row.args.end());
  Process p = run_process(argv, row.answers, work / "console");
  p.out = without_loop_races(p.out);

  // Whatever the row: the box worked, kvemmc was not stopped, no sanitizer
  // spoke.
  ASSERT_NE(p.status, 124) << "stopped by the time limit; output so far:\n" << p.out;
  ASSERT_NE(p.status, 125) << "the box failed:\n" << p.err;
  EXPECT_EQ(p.err.find("Sanitizer"), std::string::npos) << p.err;
  EXPECT_EQ(p.err.find("runtime error"), std::string::npos) << p.err;

  EXPECT_EQ(p.status, row.status) << p.out << p.err;
  const fs::path hint = work / "boot.hint";
  if (row.marker) {
    EXPECT_EQ(read_file(hint), row.marker);
  } else {
    EXPECT_FALSE(fs::exists(hint)) << read_file(hint);
  }
  if (row.golden) {
    const std::string golden = read_file(fs::path(KVEMMC_GOLDEN_DIR) / row.golden);
    ASSERT_FALSE(golden.empty()) << row.golden;
    EXPECT_EQ(p.out, golden);
  }
  expect_in_order(p.out, row.lines, "standard output");
  for (const std::string &text : row.absent) {
    EXPECT_EQ(p.out.find(text), std::string::npos) << "standard output holds [" << text << "]";
  }
  if (row.lists_layout) expect_in_order(p.out, {layout_listing(work)}, "standard output");

  const std::string calls = read_file(work / "log" / "calls.log");
  if (row.calls.empty()) {
    // A question to systemctl about a unit changes nothing.
    std::string ran;
    for (const std::string &call : lines_of(calls))
      if (call.rfind("systemctl show ", 0) != 0) ran += call + "\n";
    EXPECT_EQ(ran, "") << "no disk tool should have run";
  } else {
    expect_calls_in_order(calls, row.calls);
  }

  if (row.nothing_left) {
    EXPECT_EQ(read_file(work / "log" / "left"), "") << "kvemmc left this attached or mounted";
  }

  const std::string boxtool = box_dir + "/boxtool";
  const std::string emmc = (work / "emmc.img").string();
  if (row.emmc_unchanged) {
    const Process same = run_process({boxtool, "compare", emmc, work / "emmc.before.img"}, "",
                                     work / "readers");
    EXPECT_EQ(same.out, "same\n") << "the eMMC changed where:\n" << same.out << same.err;
  }
  const auto read = [&](const std::vector<std::string> &reading) {
    std::vector<std::string> args{boxtool};
    for (std::string a : reading) {
      a = replace_all(a, "{emmc}", emmc);
      a = replace_all(a, "{before}", (work / "emmc.before.img").string());
      a = replace_all(a, "{storage}", (work / "storage.img").string());
      a = replace_all(a, "{flash}", (work / "flash.img").string());
      args.push_back(replace_all(a, "{work}", work.string()));
    }
    const Process r = run_process(args, "", work / "readers");
    EXPECT_EQ(r.status, 0) << "boxtool " << reading.front() << ": " << r.out << r.err;
    return r.out;
  };
  if (row.dry_run) check_dry_run(work, p.out, read({"table", "{emmc}"}));
  for (const Reading &reading : row.end) {
    const std::string what = "boxtool " + reading.boxtool.front();
    const std::string out = read(reading.boxtool);
    expect_in_order(out, reading.lines, what);
    if (!reading.same_as.empty()) {
      EXPECT_EQ(without_lines(out, reading.ignore), without_lines(read(reading.same_as), reading.ignore))
          << what;
    }
    for (const std::string &text : reading.absent) {
      EXPECT_EQ(out.find(text), std::string::npos) << what << " holds [" << text << "]:\n" << out;
    }
  }

  if (!::testing::Test::HasFailure()) fs::remove_all(work);
}

}  // namespace e2e
