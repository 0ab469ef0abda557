// bench.cpp — zoomdive-bench: kernel, pictures, coarse frames, pans, worker start-up and deep
// views, against a naive renderer and the double kernel, on fixed views.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "compute/bandrec.h"
#include "compute/counts.h"
#include "compute/kernel.h"
#include "compute/perturb.h"
#include "compute/poster.h"
#include "control/startup.h"
#include "control/view.h"
#include "display/display.h"
#include "display/png_bands.h"
#include "navigation/pan.h"
#include "navigation/whole.h"
#include "deep_oracle.h"  // tests/: boundary points by Newton's method in MPFR
#include "peak.h"
#include "platform/gfx.h"
#include "platform/headless.h"
#include "platform/proc.h"

namespace zd {
namespace {

// Views as zoomdive-render takes them: x1 x2 y1 y2 limit.
struct View {
  const char* name;
  double v[5];
};
const View views[] = {
    {"default", {3, -2, 1.875, -1.874, 50}},
    // Spirals of the seahorse valley (the set is mirrored: the kernel iterates z^2 - c).
    {"seahorse", {0.7436938870, 0.7435938870, -0.1317884043, -0.1318634043, 2000}},
    // Most of the picture inside the set: the main cardioid and the next bulb meeting.
    {"interior", {0.80, 0.70, 0.0375, -0.0375, 5000}},
    // A detailed view a billion times closer than the default one.
    {"deep", {0.743643887037151, 0.743643887036151, -0.131825904205330, -0.131825904206080, 30000}},
};
constexpr int VIEWS = static_cast<int>(std::size(views));
constexpr int PIXELS = DESIGN_W * DESIGN_H;  // 172800

// The explorer's state after start-up with this view and worker count, on an in-memory window.
void start(const View& v, int workers) {
  use_backend(headless_backend());
  reset_state();
  Cmdline cmd;
  cmd.workers = workers;
  cmd.view_given = true;
  std::copy(v.v, v.v + 5, cmd.view);
  if (!startup(cmd)) std::abort();
}

// The renderer's arguments for the whole picture of the current view.
bandrec whole_record(int buttons) {
  const zd::View& v = prog.view;
  return bandrec{prog.LOY,
                 prog.YPTS,
                 v.xmit - v.xstep,
                 (v.xstep * 2.0) / prog.XPTS,
                 v.ymit + v.ystep,
                 (v.ystep * 2.0) / prog.YPTS,
                 limit_of(v.maxit),
                 0,
                 prog.highq,
                 buttons,
                 prog.LOY + prog.YPTS,
                 nullptr,
                 nullptr,
                 false};
}

// The band workers' running totals.
struct Work {
  long long points, iterations;
};
Work work_done() { return {prog.tally.points.load(), prog.tally.iterations.load()}; }

// Work counters per picture, from the band workers' running totals.
void count_work(benchmark::State& state, const Work& before) {
  const Work after = work_done();
  const double n = static_cast<double>(state.iterations());
  state.counters["points"] = static_cast<double>(after.points - before.points) / n;
  state.counters["points_share"] = static_cast<double>(after.points - before.points) / n / PIXELS;
  state.counters["iterations"] = static_cast<double>(after.iterations - before.iterations) / n;
}

// Kernel throughput, one thread: the coarse anchors of a view (one point per 4 x 4 block).
struct Points {
  std::vector<double> cx, cy;
  int limit;
};
Points anchors(const View& v) {
  start(v, 0);
  const bandrec b = whole_record(0);
  Points p{{}, {}, b.limit};
  double cy = b.y0;
  for (int r = 0; r < prog.YPTS; r += 4) {
    double cx = b.x0;
    for (int c = 0; c < prog.XPTS; c += 4) {
      p.cx.push_back(cx);
      p.cy.push_back(cy);
      cx += 4 * b.dx;
    }
    cy -= 4 * b.dy;
  }
  return p;
}

void BM_KernelScalar(benchmark::State& state, int view) {
  const Points p = anchors(views[view]);
  long long its = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < p.cx.size(); ++i) its += escape_count(p.cx[i], p.cy[i], p.limit);
  }
  state.counters["iterations_per_s"] =
      benchmark::Counter(static_cast<double>(its), benchmark::Counter::kIsRate);
  state.SetLabel("scalar");
}

// target: 0 for the best, else one of counts_targets().
void BM_KernelVector(benchmark::State& state, int view, std::int64_t target) {
  const Points p = anchors(views[view]);
  counts_use_target(target);
  std::vector<int> out(p.cx.size());
  long long its = 0;
  for (auto _ : state) {
    escape_counts(p.cx.data(), p.cy.data(), static_cast<int>(p.cx.size()), p.limit, out.data());
    for (int n : out) its += n;
  }
  state.counters["iterations_per_s"] =
      benchmark::Counter(static_cast<double>(its), benchmark::Counter::kIsRate);
  state.SetLabel(counts_target());
  counts_use_target(0);
}

// The machine's vector throughput: multiplies, adds, or both, per second.
void BM_PeakVectorOps(benchmark::State& state, int mode) {
  double ops = 0;
  std::size_t lanes = 0;
  for (auto _ : state) ops += chain_ops(1 << 22, mode, &lanes);
  state.counters["vector_ops_per_s"] = benchmark::Counter(ops, benchmark::Counter::kIsRate);
  state.counters["lanes"] = static_cast<double>(lanes);
}

// A whole full-quality picture through the renderer, as the explorer's first frame of a view.
void BM_Picture(benchmark::State& state, int view, int workers) {
  start(views[view], workers);
  const Work before = work_done();
  for (auto _ : state) whole_picture();
  count_work(state, before);
}

// The same whole picture in a colouring: the smooth and distance ones ask the kernel for more
// per point (their subdivision compares counts, as the design's does, so they compute about its
// points). Coarse: a dive's frame, the same points in every colouring, so the cost of a point's
// colour alone.
void BM_Colouring(benchmark::State& state, int view, Colours colours, bool coarse) {
  start(views[view], 0);
  prog.colouring = Colouring(colours, prog.mycoltab);
  if (coarse) headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 1;
  const Work before = work_done();
  for (auto _ : state) whole_picture();
  count_work(state, before);
}

// A dive frame: the left button held, so the renderer computes the coarse pass only.
void BM_CoarseFrame(benchmark::State& state, int view, int workers) {
  start(views[view], workers);
  headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 1;
  const Work before = work_done();
  for (auto _ : state) whole_picture();
  count_work(state, before);
}

// The same picture by the one-point-at-a-time passes (scalar kernel), in this thread: the
// subdivision without the vector kernel.
void BM_PictureScalarPasses(benchmark::State& state, int view) {
  start(views[view], 0);
  const Work before = work_done();
  const bandrec b = whole_record(0);
  const Canvas cv = prog.screen.canvas(0, prog.XPTS);
  const WalkBand wb = walk_band(b);
  long long points = 0, its = 0;
  auto colour = [&](double cx, double cy) {
    const int n = escape_count(cx, cy, b.limit);
    ++points;
    its += n;
    return colour_of(prog.mycoltab, n, b.limit);
  };
  for (auto _ : state) {
    PointByPoint<decltype(colour)> v{cv, wb, colour};
    walk(cv, wb, v);
  }
  prog.tally.points += points;
  prog.tally.iterations += its;
  count_work(state, before);
}

// The baseline: every pixel computed with the scalar kernel, as a simple explorer does.
void BM_Naive(benchmark::State& state, int view) {
  start(views[view], 0);
  const bandrec b = whole_record(0);
  long long its = 0;
  for (auto _ : state) {
    for (int r = 0; r < prog.YPTS; ++r) {
      const double cy = b.y0 - r * b.dy;
      std::uint32_t* row = prog.screen.row(prog.LOY + r) + prog.LOX;
      for (int c = 0; c < prog.XPTS; ++c) {
        const int n = escape_count(b.x0 + c * b.dx, cy, b.limit);
        its += n;
        row[c] = colour_of(prog.mycoltab, n, b.limit);
      }
    }
    benchmark::DoNotOptimize(prog.screen.words[0]);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["points"] = PIXELS;
  state.counters["points_share"] = 1;
  state.counters["iterations"] = static_cast<double>(its) / n;
}

// One step of the explorer's re-use pan by a typical pointer offset (4 grid units to the right:
// the content moves 8 columns, the 8-column strip at the right edge is computed).
void BM_PanStep(benchmark::State& state, int view, int workers) {
  start(views[view], workers);
  whole_picture();
  const Work before = work_done();
  for (auto _ : state) {
    headless().mousex.value = 651;  // grid column 244; the pan puts it back at 640
    reuse_pan();
  }
  count_work(state, before);
}

// Starting anz workers that do nothing but report, and waiting for them: the renderer's cost
// per region beyond the computing. pooled: on threads kept ready (sproc); else on a new thread
// each, as sproc did before.
void report(void*) { unblockproc(prog.pid); }
void BM_WorkerStart(benchmark::State& state, int n, bool pooled) {
  prog.pid = getpid();
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) {
      if (pooled) {
        while (sproc(report, 0, nullptr) == -1) {
        }
      } else {
        std::thread(report, nullptr).detach();
      }
    }
    for (int i = 0; i < n; ++i) blockproc(prog.pid);
  }
  state.SetLabel(pooled ? "threads kept ready" : "new thread per worker");
}

// Deep views: around a Misiurewicz point (boundary structure at every depth), or inside the
// small copy of the set of period 76 near one, half-height 1e-82 (every point runs the limit).
struct DeepView {
  const char* name;
  double seed_x, seed_y;
  int k;
  const char* half_height;
  int limit;
  bool copy_interior;
};
const DeepView deep_views[] = {
    {"1e-20", 0.228155493654, 1.11514250804, 3, "1e-20", 1000, false},
    {"1e-30", 0.228155493654, 1.11514250804, 3, "1e-30", 2000, false},
    {"1e-100", 1.296355138173, 0.441851605735, 4, "1e-100", 3000, false},
    {"1e-250", 1.296355138173, -0.441851605735, 4, "1e-250", 5000, false},
    {"1e-1000", 1.771257023356, -0.06616150908, 5, "1e-1000", 8000, false},
    {"1e-5000", 1.941588652109, -0.007677765577, 6, "1e-5000", 12000, false},
    {"copy_interior_1e-82", 1.296355138173, 0.441851605735, 4, "1e-82", 5000, true},
};

DeepParams deep_params(const DeepView& v) {
  const BigFloat h = *BigFloat::parse(v.half_height, 64);
  const long prec = 128 - h.ilogb();
  test::MpComplex c(prec);
  test::misiurewicz(v.seed_x, v.seed_y, v.k, prec, c);
  if (v.copy_interior) {  // the nucleus of period 76 near the point, found from 1e-40 away
    mpfr_t t;
    mpfr_init2(t, prec);
    mpfr_set_d(t, 0.37e-40, MPFR_RNDN);
    mpfr_add(c.x, c.x, t, MPFR_RNDN);
    mpfr_set_d(t, 0.21e-40, MPFR_RNDN);
    mpfr_add(c.y, c.y, t, MPFR_RNDN);
    mpfr_clear(t);
    test::newton_root(c, 0, 76, prec, 60);
  }
  DeepParams p;
  p.cx = BigFloat(prec);
  p.cy = BigFloat(prec);
  mpfr_set(p.cx.get(), c.x, MPFR_RNDN);
  mpfr_set(p.cy.get(), c.y, MPFR_RNDN);
  p.cx += h * 0.37;
  p.cy += h * 0.21;
  p.sx = p.sy = h.to_floatexp() / 180.0;
  p.limit = v.limit;
  return p;
}

// The points of a 480 x 360 picture in walk coordinates: every pixel, or the coarse pass's one
// per 4 x 4.
void walk_points(int stride, std::vector<double>& u, std::vector<double>& v) {
  for (int r = 0; r < 360; r += stride) {
    for (int c = 0; c < 480; c += stride) {
      u.push_back(c - 240);
      v.push_back(r - 180);
    }
  }
}

// A deep picture from nothing, in this thread: the reference orbit (and skip table), then the
// counts. reference_share is the part of the time spent on the first.
void BM_DeepPicture(benchmark::State& state, int view, bool skips, int stride) {
  DeepParams p = deep_params(deep_views[view]);
  p.bla = skips;
  std::vector<double> u, v;
  walk_points(stride, u, v);
  std::vector<int> out(u.size());
  double reference = 0, total = 0;
  long long its = 0, unskipped = 0, recounted = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    DeepKernel k;
    k.prepare(p);
    const auto t1 = std::chrono::steady_clock::now();
    CountJob job{u.data(), v.data(), out.data(), static_cast<int>(u.size()), p.limit};
    k.count(job);
    const auto t2 = std::chrono::steady_clock::now();
    reference += std::chrono::duration<double>(t1 - t0).count();
    total += std::chrono::duration<double>(t2 - t0).count();
    for (int n : out) its += n;
    unskipped += k.unskipped();
    recounted += k.recounted();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["reference_share"] = reference / total;
  state.counters["iterations"] = static_cast<double>(its) / runs;
  // Points counted again: without skips (their skips put them in doubt), in double-double.
  state.counters["unskipped"] = static_cast<double>(unskipped) / runs;
  state.counters["recounted"] = static_cast<double>(recounted) / runs;
}

// The double kernel on the same number of points at the same limit, all inside the main body:
// every point runs the whole limit.
void BM_DoubleInterior(benchmark::State& state, int limit, int stride) {
  std::vector<double> u, v;
  walk_points(stride, u, v);
  for (size_t i = 0; i < u.size(); ++i) {
    u[i] = -0.1 + u[i] * (0.01 / 180);
    v[i] = 0.1 + v[i] * (0.01 / 180);
  }
  std::vector<int> out(u.size());
  for (auto _ : state) escape_counts(u.data(), v.data(), static_cast<int>(u.size()), limit, out.data());
  state.SetLabel(counts_target());
}

int cores() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Posters against the window: pixels and computed points a second. The window's full-quality
// picture of the view (0 workers), then posters of it on 1 thread and on every core, the
// computation alone or with the PNG's filtering and compression (the bytes dropped).
// deep: a view past the doubles (half-extent 1e-13), which only the deep kernel computes.
zd::View poster_view_of(int view, bool deep) {
  if (deep) {
    return zd::View::of_exact(*zd::View::read_centre("0.74364388703715"),
                              *zd::View::read_centre("-0.13182590420533"), FloatExp(-1e-13),
                              FloatExp(-0.75e-13), 1000);
  }
  start(views[view], 0);
  return prog.view;
}

void rates(benchmark::State& state, double pixels, double points) {
  state.counters["pixels_per_s"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate);
  state.counters["points_per_s"] = benchmark::Counter(points, benchmark::Counter::kIsRate);
}

void BM_WindowPicture(benchmark::State& state, int view, bool deep) {
  start(views[view], 0);
  if (deep) prog.view = poster_view_of(view, true);
  const Work before = work_done();
  for (auto _ : state) whole_picture();
  const Work after = work_done();
  rates(state, static_cast<double>(state.iterations()) * PIXELS,
        static_cast<double>(after.points - before.points));
}

void BM_Poster(benchmark::State& state, int view, bool deep, int width, int height, int threads,
               bool png) {
  const zd::View v = poster_view_of(view, deep);
  build_coltab(prog.mycoltab);
  const PosterShape shape{width, height, 1, threads, 0};
  PosterSink sink;
  if (png) {
    sink.encode = [&](BandOut& b) { png_encode(b.rgb, b.rows, width, b.last, b.bytes, b.check, b.length); };
  }
  sink.write = [](const BandOut& b) {
    benchmark::DoNotOptimize(b.rgb[0]);
    return std::string();
  };
  double points = 0;
  for (auto _ : state) {
    PosterTally t;
    render_poster(v, shape, prog.mycoltab, sink, {}, &t);
    points += static_cast<double>(t.points);
  }
  rates(state, static_cast<double>(state.iterations()) * width * height, points);
  state.counters["threads"] = threads;
}

void register_all() {
  using benchmark::RegisterBenchmark;
  std::vector<int> workers = {0, 1, 2, cores()};
  std::sort(workers.begin(), workers.end());
  workers.erase(std::unique(workers.begin(), workers.end()), workers.end());
  auto w_ = [](int w) { return "/workers:" + std::to_string(w); };

  for (int v = 0; v < VIEWS; ++v) {
    const std::string name = views[v].name;
    RegisterBenchmark(("kernel/scalar/" + name).c_str(), BM_KernelScalar, v);
    RegisterBenchmark(("kernel/vector/" + name).c_str(), BM_KernelVector, v, std::int64_t{0});
  }
  // Every vector target this machine runs, on the deep view.
  const int deep = VIEWS - 1;
  for (std::int64_t t : counts_targets()) {
    counts_use_target(t);
    RegisterBenchmark((std::string("kernel/") + counts_target() + "/deep").c_str(),
                      BM_KernelVector, deep, t);
  }
  counts_use_target(0);
  const char* const modes[] = {"mul", "add", "mul+add"};
  for (int m = 0; m < 3; ++m) {
    RegisterBenchmark((std::string("peak/vector_ops/") + modes[m]).c_str(), BM_PeakVectorOps, m);
  }
  for (int v = 0; v < VIEWS; ++v) {
    const std::string name = views[v].name;
    RegisterBenchmark(("naive/" + name).c_str(), BM_Naive, v)->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("picture_scalar_passes/" + name).c_str(), BM_PictureScalarPasses, v)
        ->Unit(benchmark::kMillisecond);
    for (int w : workers) {
      RegisterBenchmark(("picture/" + name + w_(w)).c_str(), BM_Picture, v, w)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (int v = 0; v < VIEWS; ++v) {
    for (const bool coarse : {false, true}) {
      for (const Colours c : {Colours::Design, Colours::Smooth, Colours::Distance}) {
        RegisterBenchmark((std::string(coarse ? "colouring_coarse/" : "colouring/") + views[v].name + "/" +
                           colours_name(c)).c_str(),
                          BM_Colouring, v, c, coarse)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (int v : {1, deep}) {
    const std::string name = views[v].name;
    for (int w : workers) {
      RegisterBenchmark(("coarse_frame/" + name + w_(w)).c_str(), BM_CoarseFrame, v, w)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
    for (int w : {1, cores()}) {
      RegisterBenchmark(("pan_step/" + name + w_(w)).c_str(), BM_PanStep, v, w)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
  // Deep views: whole pictures and coarse frames, with and without skips, beside the double
  // kernel at the same limit.
  for (int v = 0; v < static_cast<int>(std::size(deep_views)); ++v) {
    const DeepView& d = deep_views[v];
    for (const int stride : {1, 4}) {
      const std::string kind = stride == 1 ? "deep_picture/" : "deep_coarse/";
      for (const bool skips : {true, false}) {
        RegisterBenchmark((kind + d.name + (skips ? "/skips" : "/no_skips")).c_str(), BM_DeepPicture, v,
                          skips, stride)
            ->Unit(benchmark::kMillisecond);
      }
      RegisterBenchmark((kind + "double_interior/limit:" + std::to_string(d.limit)).c_str(),
                        BM_DoubleInterior, d.limit, stride)
          ->Unit(benchmark::kMillisecond);
    }
  }
  // Posters: a shallow view with detail everywhere, one mostly inside the set, a deep one.
  const struct { const char* name; int view; bool deep; int width, height; } posters[] = {
      {"seahorse", 1, false, 1920, 1440},
      {"interior", 2, false, 1920, 1440},
      {"deep_1e-13", 0, true, 960, 720},
  };
  for (const auto& p : posters) {
    const std::string base = std::string("poster/") + p.name;
    RegisterBenchmark((base + "/window").c_str(), BM_WindowPicture, p.view, p.deep)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    char size[32];
    std::snprintf(size, sizeof size, "/%dx%d", p.width, p.height);
    std::vector<int> threads = {1, poster_threads_default()};
    threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
    for (int t : threads) {
      for (bool png : {false, true}) {
        RegisterBenchmark((base + size + "/threads:" + std::to_string(t) + (png ? "/png" : "")).c_str(),
                          BM_Poster, p.view, p.deep, p.width, p.height, t, png)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (int w : workers) {
    if (w == 0) continue;
    RegisterBenchmark(("worker_start/kept_ready" + w_(w)).c_str(), BM_WorkerStart, w, true)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark(("worker_start/new_thread" + w_(w)).c_str(), BM_WorkerStart, w, false)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace
}  // namespace zd

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  zd::register_all();
  benchmark::AddCustomContext("vector_target", zd::counts_target());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
