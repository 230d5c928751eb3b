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
#include <filesystem>
#include <fstream>
#include <map>
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
  const std::string *files[] = {&in, &out, &err};
  for (int fd = 0; fd < 3; fd++)
    posix_spawn_file_actions_addopen(&actions, fd, files[fd]->c_str(),
                                     fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// Each of `wanted` stands in `text`, each behind the one before it. With
// `calls`, each is a whole line of the log, "{loop}" standing for any loop
// device ("/dev/loopN") and "{scratch}" for a scratch folder of the tool's
// in /tmp.
void expect_in_order(const std::string &text, const std::vector<std::string> &wanted,
                     const std::string &what, bool calls = false) {
  size_t at = 0;
  for (const std::string &w : wanted) {
    size_t found = text.find(w, at), size = w.size();
    if (calls) {
      const std::string literal = std::regex_replace(w, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
      const std::string pattern = replace_all(replace_all(literal, R"(\{loop\})", "/dev/loop[0-9]+"),
                                              R"(\{scratch\})", R"(/tmp/kvemmc-room\.[A-Za-z0-9]{6})");
      // The match ends before the line's end, where the next line may start.
      std::smatch m;
      const std::string rest = text.substr(at);
      const bool hit = std::regex_search(rest, m, std::regex("(^|\n)" + pattern + "(?=\n|$)"));
      found = hit ? at + m.position(0) : std::string::npos;
      size = hit ? m.length(0) : 0;
    }
    if (found == std::string::npos) {
      ADD_FAILURE() << what << " lacks, at this place or at all:\n[" << w << "]\n" << what
                    << " was:\n" << text;
      return;
    }
    at = found + size;
  }
}

void expect_absent(const std::string &text, const std::vector<std::string> &absent,
                   const std::string &what) {
  for (const std::string &a : absent)
    EXPECT_EQ(text.find(a), std::string::npos) << what << " holds [" << a << "]:\n" << text;
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

std::vector<std::string> lines_of(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// `text` without the lines that hold any of `dropped`.
std::string without_lines(const std::string &text, const std::vector<std::string> &dropped) {
  std::string kept;
  for (const std::string &line : lines_of(text))
    if (std::none_of(dropped.begin(), dropped.end(),
                     [&](const std::string &d) { return line.find(d) != std::string::npos; }))
      kept += line + "\n";
  return kept;
}

// A table's rows "NAME OFFSET MIB MASK" (decimal), of the lines that match
// `row`: name, hex offset, size (MiB, or hex bytes with `bytes`), hex mask.
std::vector<std::string> table_rows(const std::vector<std::string> &lines, const char *row,
                                    bool bytes) {
  std::vector<std::string> rows;
  const std::regex re(row);
  for (const std::string &line : lines) {
    std::smatch m;
    if (!std::regex_match(line, m, re) || m[1] == "(gap)") continue;
    rows.push_back(m[1].str() + " " + std::to_string(std::stoull(m[2], nullptr, 16)) + " " +
                   (bytes ? std::to_string(std::stoull(m[3], nullptr, 16) >> 20) : m[3].str()) +
                   " " + std::to_string(std::stoull(m[4], nullptr, 16)));
  }
  return rows;
}

// The table a dry run's plan would write, from the right-hand side of its
// tables, without the gaps.
std::vector<std::string> planned_table(const std::string &plan) {
  std::vector<std::string> sides;
  bool in_table = false;
  for (const std::string &line : lines_of(plan)) {
    if (line.rfind("Partition table now", 0) == 0) in_table = true;
    if (line.rfind("(offsets", 0) == 0) in_table = false;
    if (const size_t bar = line.find(" | "); in_table && bar != std::string::npos)
      sides.push_back(line.substr(bar + 3));
  }
  return table_rows(sides, R"(^[ *~+](\S+) +([0-9a-f]+) +([0-9]+) +([0-9a-f]+)$)", false);
}

// Each moved partition once, "NAME FROM TO": where its bytes start and where
// they end up, from a plan's schedule (staging in between) or from the
// "Moving partition" lines of a run.
std::vector<std::string> planned_moves(const std::string &plan) {
  // Every copy that a later one moves on from is marked as staging, the
  // last one of a partition is not.
  struct Move {
    std::string from, to;
    bool staged = true, wrong = false;
  };
  std::map<std::string, Move> by_name;  // in the order of the sorted moves
  const std::regex step(R"(^ +\d+\. (\S+) +0x([0-9a-f]+) -> 0x([0-9a-f]+) +\d+ MiB( \(staging\))?$)");
  for (const std::string &line : lines_of(plan)) {
    std::smatch m;
    if (!std::regex_match(line, m, step)) continue;
    Move &move = by_name.try_emplace(m[1].str(), Move{m[2].str()}).first->second;
    move.wrong = move.wrong || !move.staged;
    move.to = m[3];
    move.staged = m[4].matched;
  }
  std::vector<std::string> moves;
  for (const auto &[name, move] : by_name)
    moves.push_back(name + " " + move.from + " " + move.to +
                    (move.wrong || move.staged ? " staging marks wrong" : ""));
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
  if (const std::string emmc = read_file(work / "dry-run.emmc"); emmc != "not compared\n") {
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
    EXPECT_EQ(planned_table(plan),
              table_rows(lines_of(table),
                         R"(^slot \d+ (\S+) offset (0x[0-9a-f]+) size (0x[0-9a-f]+) mask (0x[0-9a-f]+)$)",
                         true))
        << plan;
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

std::vector<Reading> laid_out_as_modelled(const std::string &preset, const std::string &state) {
  return {
      {.boxtool = {"table", "{emmc}"}, .same_as = {"expect", preset, state}},
      {.boxtool = {"trees", "{emmc}"}, .same_as = {"expect-tree-text", preset, state},
       .ignore = {"phandle", "part-"}},
      {.boxtool = {"patterns", "{emmc}"}, .absent = {"BAD"}},
  };
}

std::vector<Reading> single_boot(const std::string &preset, std::vector<std::string> flash,
                                 std::vector<std::string> storage) {
  std::vector<Reading> end = laid_out_as_modelled(preset, "single");
  end.insert(end.end(), {
      {.boxtool = {"files", "{emmc}", "@KV_FLASH"}, .same_as = flash},
      {.boxtool = {"files", "{emmc}", "@KV_STORAGE", "kestrova_storage"}, .same_as = storage,
       .ignore = {".config/boot.hint", "backup/kvemmc", "dual_boot_", kBackupMark},
       .absent = {"backup/kvemmc", " " + kBackupMark + "\n"}},
      {.boxtool = {"fsck", "{emmc}", "@KV_STORAGE", "@KV_STORAGE"}, .lines = {"clean"}},
      {.boxtool = {"files", "{storage}", "0", "backup/kvemmc"}, .absent = {"relocation.journal"}},
  });
  return end;
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
  expect_absent(p.out, row.absent, "standard output");
  if (row.lists_layout) expect_in_order(p.out, {layout_listing(work)}, "standard output");

  const std::string calls = read_file(work / "log" / "calls.log");
  if (row.calls.empty()) {
    std::string ran;  // but for questions to systemctl, which change nothing
    for (const std::string &call : lines_of(calls))
      if (call.rfind("systemctl show ", 0) != 0) ran += call + "\n";
    EXPECT_EQ(ran, "") << "no disk tool should have run";
  }
  expect_in_order(calls, row.calls, "log/calls.log", true);
  if (row.nothing_left) {
    EXPECT_EQ(read_file(work / "log" / "left"), "") << "kvemmc left this attached or mounted";
  }

  const auto read = [&](const std::vector<std::string> &reading) {
    std::vector<std::string> args{box_dir + "/boxtool"};
    for (std::string a : reading) {
      for (const std::string image : {"emmc", "storage", "flash", "emmc.before"})
        a = replace_all(a, image == "emmc.before" ? "{before}" : "{" + image + "}",
                        (work / (image + ".img")).string());
      args.push_back(replace_all(a, "{work}", work.string()));
    }
    const Process r = run_process(args, "", work / "readers");
    EXPECT_EQ(r.status, 0) << "boxtool " << reading.front() << ": " << r.out << r.err;
    return r.out;
  };
  if (row.emmc_unchanged) {
    EXPECT_EQ(read({"compare", "{emmc}", "{before}"}), "same\n") << "the eMMC changed where";
  }
  if (row.dry_run) check_dry_run(work, p.out, read({"table", "{emmc}"}));
  for (const Reading &reading : row.end) {
    const std::string what = "boxtool " + reading.boxtool.front();
    const std::string out = read(reading.boxtool);
    expect_in_order(out, reading.lines, what);
    if (!reading.same_as.empty()) {
      EXPECT_EQ(without_lines(out, reading.ignore), without_lines(read(reading.same_as), reading.ignore))
          << what;
    }
    expect_absent(out, reading.absent, what);
  }

  if (!::testing::Test::HasFailure()) fs::remove_all(work);
}

}  // namespace e2e
