// Helpers for the storage tool tests: a temporary folder, shell checks that do
// not go through our own runner, stand-in tools on a private PATH, and the
// scratch buffer.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kvemmc.h"

namespace storage_support {

namespace fs = std::filesystem;

// Runs a shell line with popen (independent of run_command); its output, the
// exit status in `status` when given.
inline std::string shell(const std::string &line, int *status = nullptr) {
  std::string out;
  FILE *p = popen(line.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
  int s = pclose(p);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

inline testing::AssertionResult contains(const std::string &text, const std::string &part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "'" << part << "' not in:\n" << text;
}

inline std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_text(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

// A tree with files, hidden files, a symlink, a hard link, an empty folder
// and odd modes, owners (as root) and times.
inline void make_tree(const std::string &root) {
  fs::create_directories(root + "/.hidden/deeper");
  fs::create_directories(root + "/empty");
  write_text(root + "/big", std::string(1999986, 'b'), 0600);
  write_text(root + "/.hidden/.dot", "dot", 0640);
  write_text(root + "/.hidden/deeper/x", "1234", 0755);
  fs::create_symlink("big", root + "/link");
  fs::create_hard_link(root + "/.hidden/.dot", root + "/hard");
  chmod((root + "/empty").c_str(), 0700);
  if (geteuid() == 0) {
    EXPECT_EQ(lchown((root + "/big").c_str(), 1234, 5678), 0);
    EXPECT_EQ(lchown((root + "/link").c_str(), 4321, 8765), 0);
  }
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  lutimes((root + "/big").c_str(), old);
  lutimes((root + "/link").c_str(), old);
}

// rsync's own itemized comparison: empty when both trees are the same in
// content, modes, times, owners and symlinks (hard links are copied as files).
inline std::string tree_differences(const std::string &a, const std::string &b) {
  int status = 0;
  std::string out = shell("rsync -n -aic --delete " + a + "/ " + b + "/ 2>&1", &status);
  if (status != 0) out += "(rsync failed)";
  return out;
}

// A folder under the system's temp folder, removed with its content at the end.
struct temp_folder {
  temp_folder() {
    std::string name = (fs::temp_directory_path() / "kvemmc-storage-XXXXXX").string();
    if (mkdtemp(name.data())) path = name;
  }
  ~temp_folder() {
    if (path.empty()) return;
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
  std::string path;
};

// Puts PATH back (and the scratch buffer away) when a test ends, however it ends.
class storage_test : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path.empty());
    const char *path = getenv("PATH");
    saved_path = path ? path : "";
    scratch_buffer = scratch.get();
  }
  void TearDown() override {
    setenv("PATH", saved_path.c_str(), 1);
    scratch_buffer = nullptr;
  }

  // Stand-ins for the named tools on a PATH of their own, placed first. Each
  // appends its name and arguments as one line to the log, then runs `body`.
  void stand_in(const std::string &tool, const std::string &body = "exit 0") {
    std::string folder = tmp / "stand-ins";
    fs::create_directories(folder);
    write_text(folder + "/" + tool,
               "#!/bin/sh\necho \"" + tool + " $*\" >> " + log_path() + "\n" + body + "\n", 0755);
    setenv("PATH", (folder + ":" + saved_path).c_str(), 1);
  }
  std::string log_path() const { return tmp / "tool.log"; }
  std::string tool_log() const { return read_text(log_path()); }

  temp_folder tmp;
  std::string saved_path;
  owned<char> scratch = allocate_zeroed<char>(scratch_buffer_size);
};

}  // namespace storage_support
