// counts.h — escape counts of many points at once, on the widest vectors the machine offers.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

namespace zd {

// out[i] = escape_count(cx[i], cy[i], limit) for i < n, bit for bit: the same operations in the
// same order, per lane. The code for the best vector target this machine runs is chosen on the
// first call; without vector units it is the scalar kernel.
void escape_counts(const double* cx, const double* cy, int n, int limit, int* out);

// A batch of points that several threads may compute together: each call of
// escape_counts(job) takes points from `next` a few at a time until none is left, and writes
// their counts to out. The batch is done when every call on it has returned.
struct CountJob {
  const double* cx;
  const double* cy;
  int* out;
  int n;
  int limit;
  std::atomic<int> next{0};  // first point nobody has taken
  // Optional, per point: its continuous count and its distance to the set in pixels of
  // `pitch` (escape.h), for the colourings that show them; for a point at the limit its count
  // and 0.
  double* smooth = nullptr;
  double* distance = nullptr;
  double pitch = 1.0;  // the double kernel's pixel pitch (the deep kernel knows its own)
  // The batch may be abandoned: once *stop reaches stop_at, the calls return soon, leaving
  // -1 for the points they had not finished. poll, if set, is called now and then by the
  // calling thread meanwhile (it may raise *stop).
  const std::atomic<int>* stop = nullptr;
  int stop_at = 0;
  void (*poll)() = nullptr;
  bool stopped() const { return stop && stop->load(std::memory_order_relaxed) >= stop_at; }
};
void escape_counts(CountJob& job);

// A vector kernel's share of a job: points claimed a few at a time from job.next, which other
// threads may share.
class Claims {
 public:
  explicit Claims(CountJob& job) : job_(job) {}
  // The next point to start, or -1 when every point of the job is taken.
  int take() {
    if (next_ == end_) {
      const int first = job_.next.fetch_add(kAtOnce, std::memory_order_relaxed);
      if (first >= job_.n) return -1;
      next_ = first;
      end_ = first + kAtOnce < job_.n ? first + kAtOnce : job_.n;
    }
    return next_++;
  }
  // Leaves -1 for the points claimed and not started, and takes the rest of the job so that
  // nobody starts them; the caller leaves -1 for those it holds.
  void abandon() {
    for (int p = next_; p < end_; ++p) job_.out[p] = -1;
    next_ = end_;
    const int rest = job_.next.exchange(job_.n, std::memory_order_relaxed);
    for (int p = rest; p < job_.n; ++p) job_.out[p] = -1;
  }

 private:
  static constexpr int kAtOnce = 16;
  CountJob& job_;
  int next_ = 0, end_ = 0;
};

// Point i of job ended at z with the derivative D (dz/dc times job.pitch; 0 when not carried)
// after job.out[i] counted steps: its continuous count and distance, where the job asks for them.
void record_escape(CountJob& job, int i, double zx, double zy, double dx, double dy);

// The target escape_counts runs on now, such as "AVX3" (AVX-512), "AVX2" or "EMU128".
const char* counts_target();

// The same as a Highway target bit: other vector kernels follow this choice (and its test hook).
std::int64_t counts_target_bit();

// Every target compiled in that this machine can run, best first, as Highway target bits.
std::vector<std::int64_t> counts_targets();
// Test hook: escape_counts runs on target t (one of counts_targets()) from now on; 0 undoes it.
// Not while other threads compute.
void counts_use_target(std::int64_t t);

}  // namespace zd
