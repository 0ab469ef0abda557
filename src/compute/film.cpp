// film.cpp — dive films: the frames' views, keyframes as posters, frames resampled from the two
// keyframes around them with a sharp cubic filter and blended.
#include "compute/film.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#ifdef _OPENMP
#include <omp.h>
#endif

namespace zd {

namespace {

// Keyframe pixels beyond the frames a keyframe serves, on the shorter side (the longer gets as
// many more as keeps the frames' aspect): the filter reads two pixels beyond a frame's edge at
// its widest, and the blend fades a keyframe out over a few pixels inside its own edge.
constexpr int PAD = 12;
// Frame pixels over which a finer keyframe fades out towards its edge.
constexpr double FEATHER = 2.0;
// Taps of the filter at its widest (support 2 x scale on each side, scale at most 2, rounding).
constexpr int MAX_TAPS = 12;

double log2_of(FloatExp v) { return static_cast<double>(v.e) + std::log2(std::fabs(v.m)); }

// The target's view with its half-extents times f.
View scaled(const View& target, FloatExp f) {
  View t = target;
  t.take_doubles();
  View v = View::of_exact(t.cx, t.cy, t.xs * f, t.ys * f, t.maxit);
  if (!v.deep) {  // the target's own doubles, not its exact centre rounded anew
    v.xmit = v.seen_x = t.xmit;
    v.ymit = v.seen_y = t.ymit;
  }
  return v;
}

// 2^d exactly where d is whole.
FloatExp pow2(double d) {
  const double whole = std::floor(d);
  return ldexp(FloatExp(std::exp2(d - whole)), static_cast<std::int64_t>(whole));
}

// Where a picture's pixels lie along one axis: pixel i (columns from the left, rows from the
// top) is at (i + lead) * pitch from the view's centre, pitch signed (a poster's first point
// is its pixel's corner, the mean of a supersampled pixel's points lies inside it, and odd
// deep pictures centre on a whole point).
struct Axis {
  FloatExp pitch;
  double lead;
};
struct Grid {
  Axis x, y;
};
// A poster of v at width x height pixels, n x n points each.
Grid grid_of(const View& v, int width, int height, int n) {
  const View f = v.fitted(width * n, height * n);
  const double inside = static_cast<double>(n - 1) / (2.0 * n);
  auto centre = [&](int fine) { return (f.deep ? static_cast<double>(fine / 2) : fine / 2.0) / n; };
  return {{f.xs * 2.0 / static_cast<double>(width), inside - centre(width * n)},
          {f.ys * 2.0 / static_cast<double>(height), centre(height * n) + 1.0 - inside - height}};
}

// Catmull-Rom's cubic: interpolates, and its negative lobes keep edges sharp.
double cubic(double x) {
  x = std::fabs(x);
  if (x < 1.0) return (1.5 * x - 2.5) * x * x + 1.0;
  if (x < 2.0) return ((-0.5 * x + 2.5) * x - 4.0) * x + 2.0;
  return 0.0;
}

// The filter of one output pixel along one axis: taps from `first`, normalised weights.
struct Taps {
  int first = 0, count = 0;
  float w[MAX_TAPS] = {};
};

// Output pixels [lo, hi) of a frame axis onto a source axis of `size` pixels: source index
// u = i * ratio + offset; the filter widens with the ratio, so that no pixel is lost between
// taps when the source is finer. `margin` gets each pixel's distance, in output pixels, from
// the source's edge to its filter's.
std::vector<Taps> taps_for(int lo, int hi, double ratio, double offset, int size,
                           std::vector<double>* margin = nullptr) {
  const double s = std::max(1.0, ratio);
  std::vector<Taps> out(static_cast<std::size_t>(std::max(0, hi - lo)));
  if (margin) margin->assign(out.size(), 0.0);
  for (int i = lo; i < hi; ++i) {
    const double u = i * ratio + offset;
    Taps& t = out[static_cast<std::size_t>(i - lo)];
    const int a = static_cast<int>(std::ceil(u - 2.0 * s));
    const int b = std::min(static_cast<int>(std::floor(u + 2.0 * s)), a + MAX_TAPS - 1);
    double sum = 0.0;
    double w[MAX_TAPS];
    for (int j = a; j <= b; ++j) sum += w[j - a] = cubic((j - u) / s);
    // Taps beyond the source repeat its edge (a blend gives such pixels no weight).
    t.first = std::clamp(a, 0, size - 1);
    const int last = std::clamp(b, 0, size - 1);
    t.count = last - t.first + 1;
    for (int j = a; j <= b; ++j) t.w[std::clamp(j, 0, size - 1) - t.first] += static_cast<float>(w[j - a] / sum);
    if (margin) (*margin)[static_cast<std::size_t>(i - lo)] = std::min(u - 2.0 * s, (size - 1) - (u + 2.0 * s)) / s;
  }
  return out;
}

int threads_for(const PosterShape& shape) {
  const int cores = poster_threads_default();
  return std::min(shape.threads > 0 ? shape.threads : cores, cores);
}

// One output row resampled from src (RGB, sw wide, top row first): the rows its taps `yt`
// read, summed column by column (the long, contiguous pass), then each output column's taps
// `xt` over that sum. `sum` holds the columns from k0 on; out gets xt.size() pixels.
void resample_row(const std::vector<std::uint8_t>& src, int sw, const std::vector<Taps>& xt,
                  int k0, int k1, const Taps& yt, std::vector<float>& sum, float* out) {
  const int n = (k1 - k0) * 3;
  sum.assign(static_cast<std::size_t>(n), 0.0f);
  for (int j = 0; j < yt.count; ++j) {
    const float w = yt.w[j];
    const std::uint8_t* line = src.data() + (static_cast<std::size_t>(yt.first + j) * sw + k0) * 3;
    for (int i = 0; i < n; ++i) sum[static_cast<std::size_t>(i)] += w * static_cast<float>(line[i]);
  }
  for (std::size_t c = 0; c < xt.size(); ++c) {
    const Taps& t = xt[c];
    const float* p = sum.data() + static_cast<std::size_t>(t.first - k0) * 3;
    float r = 0, g = 0, b = 0;
    for (int j = 0; j < t.count; ++j) {
      r += t.w[j] * p[3 * j];
      g += t.w[j] * p[3 * j + 1];
      b += t.w[j] * p[3 * j + 2];
    }
    out[3 * c] = r;
    out[3 * c + 1] = g;
    out[3 * c + 2] = b;
  }
}

// The source columns a row's taps read: [k0, k1).
void columns_of(const std::vector<Taps>& xt, int& k0, int& k1) {
  k0 = INT32_MAX;
  k1 = 0;
  for (const Taps& t : xt) {
    k0 = std::min(k0, t.first);
    k1 = std::max(k1, t.first + t.count);
  }
}

// A poster's pixels, collected whole (keyframes, and the film's last frame).
std::string collect(const View& v, const PosterShape& shape, const std::uint32_t* coltab,
                    std::vector<std::uint8_t>& rgb, const RowsDone& done) {
  rgb.resize(static_cast<std::size_t>(shape.width) * shape.height * 3);
  std::size_t at = 0;
  const std::size_t row = static_cast<std::size_t>(shape.width) * 3;
  const PosterSink sink{nullptr, [&](const BandOut& b) {
                          std::copy(b.rgb, b.rgb + row * b.rows, rgb.begin() + static_cast<std::ptrdiff_t>(at));
                          at += row * b.rows;
                          return std::string();
                        }};
  return render_poster(v, shape, coltab, sink, done);
}

}  // namespace

double film_depth(const FilmPlan& f, long long k) {
  if (f.frames <= 1 || k >= f.frames - 1) return 0.0;
  View t = f.target;
  t.take_doubles();
  const double whole = std::log2(f.start_height) - log2_of(abs(t.ys));
  return whole * static_cast<double>(f.frames - 1 - k) / static_cast<double>(f.frames - 1);
}

View film_view(const FilmPlan& f, long long k) {
  if (k >= f.frames - 1) return f.target;
  return scaled(f.target, pow2(film_depth(f, k)));
}

// One keyframe: its pixels, a copy at half the resolution (2 x 2 means) for the frames that
// shrink it by more than 2, and where both lie against the target's centre.
struct KeyframeFilm::Key {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb, half;
  Grid grid;
};

KeyframeFilm::KeyframeFilm(const FilmPlan& plan, const PosterShape& shape,
                           const std::uint32_t* coltab)
    : plan_(plan), shape_(shape), coltab_(coltab) {}

KeyframeFilm::~KeyframeFilm() = default;

std::string KeyframeFilm::need(long long m, const RowsDone& rows_done) {
  if (keys_.count(m)) return "";
  const int w = plan_.width, h = plan_.height, n = shape_.supersample;
  auto key = std::make_unique<Key>();
  // Twice the frames' pixels a side and the pad, in the frames' aspect.
  const int py = w < h ? std::max(PAD, static_cast<int>(std::lround(PAD * static_cast<double>(h) / w))) : PAD;
  const int px = w < h ? PAD : std::max(PAD, static_cast<int>(std::lround(PAD * static_cast<double>(w) / h)));
  key->width = 2 * w + 2 * px;
  key->height = 2 * h + 2 * py;
  // Its pitch half the frames' at its own height, the finest of the frames it serves: found
  // from a first guess, since a poster fits its view to its own aspect.
  const FloatExp at = ldexp(FloatExp(1.0), m);
  const Grid frames = grid_of(plan_.target, w, h, n);
  const Grid guess = grid_of(scaled(plan_.target, at), key->width, key->height, n);
  const double rho = std::min((abs(frames.x.pitch) * at / abs(guess.x.pitch)).to_double(),
                              (abs(frames.y.pitch) * at / abs(guess.y.pitch)).to_double()) / 2.0;
  const View v = scaled(plan_.target, at * rho);
  key->grid = grid_of(v, key->width, key->height, n);

  PosterShape shape = shape_;
  shape.width = key->width;
  shape.height = key->height;
  const RowsDone done = [&](int rows) {
    if (rows_done) rows_done(static_cast<int>(static_cast<long long>(rows) * (h - 1) / key->height));
  };
  if (std::string err = collect(v, shape, coltab_, key->rgb, done); !err.empty()) return err;

  const int hw = key->width / 2, hh = key->height / 2;
  key->half.resize(static_cast<std::size_t>(hw) * hh * 3);
  for (int y = 0; y < hh; ++y) {
    const std::uint8_t* a = key->rgb.data() + static_cast<std::size_t>(2 * y) * key->width * 3;
    const std::uint8_t* b = a + static_cast<std::size_t>(key->width) * 3;
    std::uint8_t* out = key->half.data() + static_cast<std::size_t>(y) * hw * 3;
    for (int x = 0; x < hw * 3; ++x) {
      const int c = x % 3, i = (x / 3) * 6 + c;
      out[x] = static_cast<std::uint8_t>((a[i] + a[i + 3] + b[i] + b[i + 3] + 2) / 4);
    }
  }
  keys_[m] = std::move(key);
  ++computed_;
  most_held_ = std::max(most_held_, held());
  return "";
}

std::string KeyframeFilm::frame(long long k, std::vector<std::uint8_t>& rgb, const RowsDone& rows_done) {
  const int w = plan_.width, h = plan_.height, n = shape_.supersample;
  if (k >= plan_.frames - 1) {  // the target itself, exactly
    keys_.clear();
    return collect(plan_.target, shape_, coltab_, rgb, rows_done);
  }
  const double d = film_depth(plan_, k);
  const long long m = static_cast<long long>(std::floor(d));
  const double t = d - static_cast<double>(m);
  const Grid fg = grid_of(film_view(plan_, k), w, h, n);
  const int threads = threads_for(shape_);

  // The finer keyframe m at half its resolution: it shrinks by 2^(1 + t) here.
  for (auto it = keys_.begin(); it != keys_.end();) it = it->first == m || it->first == m + 1 ? std::next(it) : keys_.erase(it);
  if (std::string err = need(m, rows_done); !err.empty()) return err;
  const Key& in = *keys_.at(m);
  const int iw = in.width / 2, ih = in.height / 2;
  // Source index of output pixel i: where its point lies in the keyframe's own pixels, then
  // in the half-resolution copy's (whose pixel j is the mean of pixels 2j and 2j + 1).
  auto map = [](const Axis& f, const Axis& s, bool half, double& ratio, double& offset) {
    ratio = (f.pitch / s.pitch).to_double();
    offset = f.lead * ratio - s.lead;
    if (half) {
      ratio /= 2.0;
      offset = (offset - 0.5) / 2.0;
    }
  };
  double rx, ox, ry, oy;
  map(fg.x, in.grid.x, true, rx, ox);
  map(fg.y, in.grid.y, true, ry, oy);
  std::vector<double> mx, my;
  const std::vector<Taps> xt_all = taps_for(0, w, rx, ox, iw, &mx), yt_all = taps_for(0, h, ry, oy, ih, &my);
  // Its weight: 1 - t, fading to 0 at its edge; where it is whole, the coarser one is not read.
  auto cover = [](double margin) { return std::clamp(margin / FEATHER, 0.0, 1.0); };
  int c0 = w, c1 = 0, y0 = h, y1 = 0;
  bool whole = t == 0.0;
  for (int c = 0; c < w; ++c) {
    if (mx[static_cast<std::size_t>(c)] > 0.0) c0 = std::min(c0, c), c1 = c + 1;
    whole = whole && cover(mx[static_cast<std::size_t>(c)]) == 1.0;
  }
  for (int y = 0; y < h; ++y) {
    if (my[static_cast<std::size_t>(y)] > 0.0) y0 = std::min(y0, y), y1 = y + 1;
    whole = whole && cover(my[static_cast<std::size_t>(y)]) == 1.0;
  }
  const Key* out = nullptr;
  if (!whole) {
    if (std::string err = need(m + 1, rows_done); !err.empty()) return err;
    out = keys_.at(m + 1).get();
  }
  std::vector<Taps> oxt, oyt;
  if (out) {
    map(fg.x, out->grid.x, false, rx, ox);
    map(fg.y, out->grid.y, false, ry, oy);
    oxt = taps_for(0, w, rx, ox, out->width);
    oyt = taps_for(0, h, ry, oy, out->height);
  }
  const std::vector<Taps> xt(xt_all.begin() + std::min(c0, c1), xt_all.begin() + c1);
  int ik0 = 0, ik1 = 0, ok0 = 0, ok1 = 0;
  columns_of(xt, ik0, ik1);
  columns_of(oxt, ok0, ok1);

  // Row by row on every thread: each output row is its own, whatever the threads.
  rgb.resize(static_cast<std::size_t>(w) * h * 3);
  [[maybe_unused]] const int nt = threads;
#ifdef _OPENMP
#pragma omp parallel num_threads(nt)
#endif
  {
    std::vector<float> sum, fine(static_cast<std::size_t>(w) * 3, 0.0f), coarse(fine.size(), 0.0f);
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
    for (int y = 0; y < h; ++y) {
      const bool inside = y >= y0 && y < y1 && c0 < c1;
      if (inside) resample_row(in.half, iw, xt, ik0, ik1, yt_all[static_cast<std::size_t>(y)], sum, fine.data() + 3 * c0);
      if (out) resample_row(out->rgb, out->width, oxt, ok0, ok1, oyt[static_cast<std::size_t>(y)], sum, coarse.data());
      const double wy = cover(my[static_cast<std::size_t>(y)]);
      std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * w * 3;
      for (int c = 0; c < w; ++c) {
        const bool mine = inside && c >= c0 && c < c1;
        const float a = mine ? static_cast<float>((1.0 - t) * std::min(wy, cover(mx[static_cast<std::size_t>(c)]))) : 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
          const std::size_t i = static_cast<std::size_t>(3 * c + ch);
          const float v = !out ? fine[i] : a * fine[i] + (1.0f - a) * coarse[i];
          dst[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
        }
      }
    }
  }
  if (rows_done) rows_done(h);
  return "";
}

std::string hand_out(const std::vector<std::uint8_t>& rgb, int width, int height, int threads,
                     const PosterSink& sink) {
  constexpr int BAND = 16;
  const int bands = (height + BAND - 1) / BAND;
  const std::size_t row = static_cast<std::size_t>(width) * 3;
  std::atomic<bool> failed{false};
  std::string why;
  const int cores = poster_threads_default();
  [[maybe_unused]] const int nt = threads > 0 ? std::min(threads, cores) : cores;
#ifdef _OPENMP
#pragma omp parallel num_threads(nt)
#endif
  {
    BandOut out;
#ifdef _OPENMP
#pragma omp for ordered schedule(dynamic, 1)
#endif
    for (int b = 0; b < bands; ++b) {
      if (!failed.load(std::memory_order_relaxed)) {
        out.rgb = rgb.data() + row * static_cast<std::size_t>(b) * BAND;
        out.rows = std::min(BAND, height - b * BAND);
        out.last = b == bands - 1;
        if (sink.encode) sink.encode(out);
      }
#ifdef _OPENMP
#pragma omp ordered
#endif
      if (!failed.load(std::memory_order_relaxed)) {
        if (std::string err = sink.write(out); !err.empty()) {
          why = std::move(err);
          failed = true;
        }
      }
    }
  }
  return why;
}

}  // namespace zd
