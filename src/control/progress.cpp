// progress.cpp — the progress line: a thread of its own that reads the counts and redraws.
#include "control/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "control/view.h"

namespace zd {

Progress::Progress(std::string who)
    : who_(std::move(who)), tty_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {
  if (tty_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { done(); }

void Progress::posters(long long pictures, int rows) {
  std::lock_guard<std::mutex> hold(m_);
  pictures_ = pictures;
  pictures_done_ = 0;
  rows_of_ = std::max(rows, 1);
  rows_ = 0;
  posters_since_ = std::chrono::steady_clock::now();
}

void Progress::picture(const std::string& what) {
  std::lock_guard<std::mutex> hold(m_);
  picture_ = what;
  rows_ = 0;
}

void Progress::rows(int done) {
  std::lock_guard<std::mutex> hold(m_);
  rows_ = done;
  if (done >= rows_of_) {
    ++pictures_done_;
    rows_ = 0;
  }
}

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

std::string Progress::line() {
  const auto now = std::chrono::steady_clock::now();
  std::string out = who_ + ": ";
  std::unique_lock<std::mutex> hold(m_);
  if (pictures_ > 0) {
    // A bar, the share done and an estimate of the time left.
    const double share = std::min(1.0, (static_cast<double>(pictures_done_) +
                                        static_cast<double>(rows_) / rows_of_) /
                                           static_cast<double>(pictures_));
    constexpr int BAR = 30;
    const int full = static_cast<int>(share * BAR);
    out += picture_ + " [" + std::string(full, '#') + std::string(BAR - full, '.') + "] " +
           std::to_string(static_cast<int>(share * 100.0)) + "%";
    const double spent = std::chrono::duration<double>(now - posters_since_).count();
    if (share > 0.0) {
      const long long s = static_cast<long long>(spent * (1.0 - share) / share + 0.5);
      char buf[64];
      std::snprintf(buf, sizeof buf, "  %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
      out += buf;
    }
  } else {
    hold.unlock();
    out += std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - start_).count()) +
           " s";
    const long long ref = prog.reference, ref_of = prog.reference_of;
    if (ref_of > 0 && ref < ref_of) {
      out += ", reference orbit " + std::to_string(ref) + " of " + std::to_string(ref_of) +
             " iterations";
    }
    if (const long long points = prog.tally.points; points > 0) {
      out += ", " + std::to_string(points) + " points";
    }
    if (frames > 0) out += ", frame " + std::to_string(frames.load());
    if (lines_of > 0) {
      out += ", script line " + std::to_string(lines.load()) + " of " + std::to_string(lines_of.load());
    }
    if (views > 0) out += ", " + std::to_string(views.load()) + " views";
  }
  // Blanks over what a longer line left.
  const std::size_t n = out.size();
  if (n < drawn_) out.append(drawn_ - n, ' ');
  drawn_ = n;
  return out;
}

}  // namespace zd
