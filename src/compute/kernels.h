// kernels.h — the per-point kernels a picture can be computed with, one table of operations
// each, chosen per picture: the band walk knows nothing of precision.
#pragma once
#include <functional>

#include "compute/counts.h"

namespace zd {

struct View;

struct PointKernel {
  const char* name;
  // Makes the kernel ready for pictures of the view, width x height pixels, at the limit:
  // between pictures, on the main thread. It may take long (a deep view's reference orbit);
  // `cancelled` is asked now and then, and true abandons it: then false, and count() must not
  // be used until a later prepare() succeeds.
  bool (*prepare)(const View& v, int width, int height, int limit,
                  const std::function<bool()>& cancelled);
  // Escape counts of a batch of points given in the view's walk coordinates (View::region),
  // with the meaning of escape_count(); several threads may share one job.
  void (*count)(CountJob& job);
};

// Points as doubles, the design's own arithmetic: the view's points themselves.
const PointKernel* double_kernel();
// Points as offsets from the centre of a deep view, by perturbation (perturb.h).
const PointKernel* deep_kernel();
// The kernel for the view: the deep one exactly when the view is deep.
const PointKernel* kernel_for(const View& v);

// Deep pictures skip runs of linear steps (on by default); benchmarks compare both.
void deep_skips(bool on);
// Told what the deep kernel's preparation has done: MPFR iterations made, and of how many.
void deep_progress(std::function<void(long long done, long long of)> tell);

}  // namespace zd
