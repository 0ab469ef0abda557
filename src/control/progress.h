// progress.h — a line of progress on a terminal for work that takes more than a second.
#pragma once
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace zd {

// Shown on stderr, and only when it is a terminal: after the first second, redrawn a few times
// a second from what the work reports through the counters (any thread may set them), and
// ended with a newline when the work is done. Nothing is shown for quick work.
class Progress {
 public:
  explicit Progress(std::string who);
  ~Progress();  // done()
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::atomic<long long> frames{0};                       // window writes so far
  std::atomic<long long> lines{0}, lines_of{0};           // script lines taken effect, of
  std::atomic<long long> reference{0}, reference_of{0};   // reference orbit iterations, of
  void done();

 private:
  void run();
  std::string line() const;

  const std::string who_;
  const bool tty_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<bool> stop_{false};
  bool shown_ = false;
  std::thread thread_;
};

}  // namespace zd
