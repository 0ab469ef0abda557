// progress.h — one line of progress on a terminal for work that takes more than a second: the
// renderer's replays and pictures, and posters and films with a bar and the time left.
#pragma once
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace zd {

// Shown on stderr, and only when it is a terminal: after the first second, redrawn a few times
// a second from what the work reports (any thread may report), and ended with a newline when
// the work is done. Nothing is shown for quick work. Points computed and the reference orbit's
// iterations are the program's own counts (control/view.h).
class Progress {
 public:
  explicit Progress(std::string who);
  ~Progress();  // done()
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::atomic<long long> frames{0};              // window writes so far
  std::atomic<long long> lines{0}, lines_of{0};  // script lines taken effect, of
  std::atomic<long long> views{0};               // views of a film learnt so far

  // From now on posters: `pictures` of `rows` rows each, with a bar and the time left. Then the
  // poster being computed, and its rows done so far.
  void posters(long long pictures, int rows);
  void picture(const std::string& what);
  void rows(int done);

  // The line ends; nothing is shown after.
  void done();

 private:
  void run();
  std::string line();

  const std::string who_;
  const bool tty_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<bool> stop_{false};
  bool shown_ = false;
  std::size_t drawn_ = 0;  // characters of the last line drawn
  std::thread thread_;

  std::mutex m_;  // guards what follows
  std::chrono::steady_clock::time_point posters_since_{};
  long long pictures_ = 0, pictures_done_ = 0;
  int rows_of_ = 1, rows_ = 0;
  std::string picture_;
};

}  // namespace zd
