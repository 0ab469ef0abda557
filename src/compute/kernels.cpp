// kernels.cpp — the double kernel and the deep kernel behind one table.
#include "compute/kernels.h"

#include "compute/perturb.h"
#include "compute/viewpoint.h"

namespace zd {

namespace {

bool no_preparation(const View&, int, int, int, const std::function<bool()>&) { return true; }
void count_doubles(CountJob& job) { escape_counts(job); }

struct Deep {
  DeepKernel kernel;
  bool skips = true;
  std::function<void(long long, long long)> tell;
};
Deep& deep() {
  static Deep* d = new Deep;  // never destroyed: workers may still count while the process ends
  return *d;
}

bool prepare_deep(const View& v, int width, int height, int limit,
                  const std::function<bool()>& cancelled) {
  DeepParams p;
  p.cx = v.cx;
  p.cy = v.cy;
  // The point of walk coordinates (u, v) is (cx + u sx, cy + v sy): u counts columns from the
  // centre to the right, v rows upward, where y decreases by 2 ystep / height a row.
  p.sx = v.pitch_x(width);
  p.sy = -v.pitch_y(height);
  p.limit = limit;
  p.bla = deep().skips;
  p.umax = width / 2 + 0.5;
  p.vmax = height / 2 + 0.5;
  ProgressFn progress;
  if (deep().tell) progress = [limit](long long done) { deep().tell(done, limit); };
  return deep().kernel.prepare(p, cancelled, progress);
}

void count_deep(CountJob& job) { deep().kernel.count(job); }

const PointKernel doubles = {"double", no_preparation, count_doubles};
const PointKernel perturbation = {"deep", prepare_deep, count_deep};

}  // namespace

const PointKernel* double_kernel() { return &doubles; }
const PointKernel* deep_kernel() { return &perturbation; }
const PointKernel* kernel_for(const View& v) { return v.deep ? &perturbation : &doubles; }

void deep_skips(bool on) { deep().skips = on; }
void deep_progress(std::function<void(long long, long long)> tell) { deep().tell = std::move(tell); }

}  // namespace zd
