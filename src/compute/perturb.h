// perturb.h — escape counts of deep views: perturbation around a reference orbit, on the vector kernel.
#pragma once
#include <memory>

#include "compute/bigfloat.h"
#include "compute/counts.h"
#include "compute/floatexp.h"
#include "compute/reference.h"

namespace zd {

// A deep view. The point of walk coordinates (u, v) is (cx + u sx, cy + v sy): u and v are the
// band walk's small offsets from the centre (column - 240, row - 180, halves for supersampling,
// up to +-10^5 for posters), sx and sy the pitch, of any smallness.
struct DeepParams {
  BigFloat cx{64}, cy{64};
  FloatExp sx, sy;
  int limit = 0;
  bool bla = true;  // skip runs of linear steps; off for comparisons
  // Look for a better reference than the centre's own orbit (perturb.cpp); off for comparisons.
  bool choose_reference = true;
  // The largest |u| and |v| that count() will be given. They bound |δc| for the skips; a point
  // beyond them is still counted right, only without skips.
  double umax = 240.5, vmax = 180.5;
};

// What the last prepare() did (for benchmarks).
struct DeepStats {
  long precision = 0;          // bits of the reference orbit
  int reference_length = 0;    // stored values Z_0 .. Z_end: end + 1
  int period = 0;              // of the nucleus used as reference, 0 when not periodic
  bool reused = false;         // the previous view's orbits served (perhaps extended)
  long long mpfr_iterations = 0;  // made by this prepare(), Newton's included
  double reference_seconds = 0.0, bla_seconds = 0.0;
  size_t bla_entries = 0;
};

class DeepKernel {
 public:
  DeepKernel();
  ~DeepKernel();
  DeepKernel(const DeepKernel&) = delete;
  DeepKernel& operator=(const DeepKernel&) = delete;

  // Between pictures, on one thread (no count() running): the reference orbit and the skip table
  // for this view. Polls `cancelled` every few hundred MPFR iterations and tells `progress` the
  // iterations made. False if cancelled; count() must not be called until a later prepare() has
  // returned true. What it prepares is a function of p alone: an orbit computed for an earlier
  // view is kept only where computing it afresh would give the same (perturb.cpp).
  bool prepare(const DeepParams& p, const CancelFn& cancelled = {}, const ProgressFn& progress = {});

  // Any number of threads at once after prepare(): the escape counts of the points of job, in
  // walk coordinates (job.cx holds u, job.cy holds v), with the meaning of escape_count()
  // (kernel.h) for the prepared limit (job.limit must be it). Points are claimed from job.next
  // as in escape_counts(job), so threads may share a job. A point's count depends on the
  // prepared view and on the point alone, never on the job, the target or the other points.
  void count(CountJob& job) const;
  // One point.
  int count_one(double u, double v) const;

  // The working precision for a view: the bits that resolve its pitch beside |centre|, plus a
  // margin.
  static long precision_for(const DeepParams& p);

  const DeepStats& stats() const { return stats_; }
  // Points whose count was in doubt and was counted again since prepare(): in double-double, and
  // without skips.
  long long recounted() const;
  long long unskipped() const;
  // The reference in use (after a successful prepare()).
  const Reference& reference() const { return *ref_; }

  // Test hook: count() on vectors of one lane.
  void use_scalar(bool on) { scalar_only_ = on; }

 private:
  struct Orbits;
  std::unique_ptr<Orbits> orbits_;  // computed for the last view, kept while they serve
  const Reference* ref_ = nullptr;
  struct Prepared;
  std::unique_ptr<Prepared> ready_;
  DeepStats stats_;
  bool scalar_only_ = false;
};

}  // namespace zd
