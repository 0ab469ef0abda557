// render_run.h — zoomdive-render as a child process in a folder of its own, for the tests of
// its outputs, posters and films.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"

namespace zd::test {

struct Result {
  int status;
  std::string out, err;
  long peak_kb;  // the child's largest resident set
};

struct RunWith {
  long fsize = 0;   // > 0: the largest file it may write, as a full disk
  std::string env;  // NAME=VALUE added to its environment
  bool stdout_unread = false;  // standard output is a pipe whose reader has quit
  std::function<void(pid_t)> meanwhile;  // called with the running child
};

// zoomdive-render in `dir` with these arguments, its standard streams captured.
inline Result render(const fs::path& dir, std::vector<std::string> args, const RunWith& with = {}) {
  args.insert(args.begin(), ZD_RENDER_BIN);
  // Start-up has the system reap children unasked; this process wants its child's status.
  struct sigaction sa {};
  sigaction(SIGCHLD, nullptr, &sa);
  sa.sa_flags &= ~SA_NOCLDWAIT;
  sigaction(SIGCHLD, &sa, nullptr);
  std::string env = with.env;
  int unread[2] = {-1, -1};
  if (with.stdout_unread && pipe(unread) != 0) return {-1, "", "pipe failed", 0};
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (with.fsize > 0) {
      const rlimit lim{static_cast<rlim_t>(with.fsize), static_cast<rlim_t>(with.fsize)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    if (!env.empty()) putenv(env.data());
    const int in = open("/dev/null", O_RDONLY);
    if (with.stdout_unread) close(unread[0]);
    const int out = with.stdout_unread ? unread[1] : open(".out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(".err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (with.stdout_unread) {
    close(unread[0]);
    close(unread[1]);
  }
  if (with.meanwhile) with.meanwhile(child);
  int st = 0;
  rusage use{};
  wait4(child, &st, 0, &use);
  Result r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st),
           with.stdout_unread ? "" : slurp(dir / ".out"),
           slurp(dir / ".err"), use.ru_maxrss};
  fs::remove(dir / ".out");
  fs::remove(dir / ".err");
  return r;
}

// The same with the arguments in one string, split at blanks.
inline Result render_line(const fs::path& dir, const std::string& args, const RunWith& with = {}) {
  std::vector<std::string> words;
  std::istringstream in(args);
  for (std::string w; in >> w;) words.push_back(w);
  return render(dir, words, with);
}

// A fresh folder per test, removed afterwards.
class InFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("zdrun-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  // A run in the folder that must succeed.
  Result ok(const std::string& args) {
    const Result r = render_line(dir, args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    return r;
  }
  fs::path dir;
};

}  // namespace zd::test
