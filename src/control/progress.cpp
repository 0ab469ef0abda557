// progress.cpp — the progress line: a thread of its own that reads the counters and redraws.
#include "control/progress.h"

#include <unistd.h>

#include <cstdio>

#include "compute/bandrec.h"

namespace zd {

Progress::Progress(std::string who)
    : who_(std::move(who)), tty_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {
  if (tty_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { done(); }

void Progress::done() {
  if (!thread_.joinable()) return;
  stop_ = true;
  thread_.join();
  if (shown_) std::fprintf(stderr, "\r%s\n", line().c_str());
}

void Progress::run() {
  using namespace std::chrono_literals;
  while (!stop_) {
    std::this_thread::sleep_for(50ms);
    if (std::chrono::steady_clock::now() - start_ < 1s) continue;
    std::fprintf(stderr, "\r%s ", line().c_str());
    shown_ = true;
    std::this_thread::sleep_for(150ms);
  }
}

std::string Progress::line() const {
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string out = who_ + ": " + std::to_string(static_cast<long long>(s)) + " s";
  if (reference_of > 0 && reference < reference_of) {
    out += ", reference orbit " + std::to_string(reference.load()) + " of " +
           std::to_string(reference_of.load()) + " iterations";
  }
  out += ", " + std::to_string(work_done().points) + " points";
  if (frames > 0) out += ", frame " + std::to_string(frames.load());
  if (lines_of > 0) {
    out += ", script line " + std::to_string(lines.load()) + " of " + std::to_string(lines_of.load());
  }
  return out;
}

}  // namespace zd
