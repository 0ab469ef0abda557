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

// Frame pixels over which a finer keyframe fades out towards its edge.
constexpr double FEATHER = 2.0;
// Taps of the filter at its widest (support 2 x scale on each side, scale at most 2).
constexpr int MAX_TAPS = 10;

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
  // Wider than twice only in name: up to 3 the filter stays that of 2, a little sharper.
  const double s = std::clamp(ratio, 1.0, 2.0);
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

// A poster's pixels, collected whole (keyframes, and the film's last frame).
std::string collect(const View& v, const PosterShape& shape, const Colouring& colouring,
                    std::vector<std::uint8_t>& rgb, const RowsDone& done) {
  rgb.resize(static_cast<std::size_t>(shape.width) * shape.height * 3);
  std::size_t at = 0;
  const std::size_t row = static_cast<std::size_t>(shape.width) * 3;
  const PosterSink sink{nullptr, [&](const BandOut& b) {
                          std::copy(b.rgb, b.rgb + row * b.rows, rgb.begin() + static_cast<std::ptrdiff_t>(at));
                          at += row * b.rows;
                          return std::string();
                        }};
  return render_poster(v, shape, colouring, sink, done);
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

namespace {

// A keyframe is three posters, each at the pitch its part needs, in units of the pitch u of a
// frame of the keyframe's height h: its ring from h / 2 to h / sqrt 2 at u / 2 (the finest the
// frames it serves need), the ring from there to h at u / sqrt 2, and the core within h / 2 at
// u (where the next finer keyframe is shown). Each ring's inside is a hole, not computed, so
// a keyframe costs 2.25 frames' points where one picture of the whole at u / 2 would cost 4.
struct LayerKind {
  double region, pitch, hole;  // half-size and hole in h, pitch in u
};
constexpr double ROOT_HALF = 0.70710678118654752;
constexpr LayerKind LAYERS[3] = {{ROOT_HALF, 0.5, 0.5}, {1.0, ROOT_HALF, ROOT_HALF}, {0.5, 1.0, 0.0}};
constexpr int OUTERMOST = 1;
// Frame pixels of the frame at h by which each part reaches past its nominal edge, and by
// which a hole stops short of its: parts overlap, and blend there.
constexpr double REACH = 6.0, SHORT = 3.0;

// One output axis onto one source axis: the filter's taps, and for each output pixel how
// far, in output pixels, its filter stays inside the source's edge and outside its hole.
struct AxisMap {
  std::vector<Taps> taps;
  std::vector<double> edge, hole;
  int lo = 0, hi = 0;  // output pixels whose filter lies inside the edge
};
AxisMap axis_map(int count, double ratio, double offset, int size, bool half, int hole0, int hole1) {
  AxisMap a;
  a.taps = taps_for(0, count, ratio, offset, size, &a.edge);
  a.hole.assign(static_cast<std::size_t>(count), 1e9);
  const double s = std::clamp(ratio, 1.0, 2.0);
  a.lo = count;
  for (int i = 0; i < count; ++i) {
    if (a.edge[static_cast<std::size_t>(i)] > 0.0) a.lo = std::min(a.lo, i), a.hi = i + 1;
    if (hole0 >= hole1) continue;
    // In the full pixels; a half-resolution pixel mixes two of them.
    const double u = half ? 2.0 * (i * ratio + offset) + 0.5 : i * ratio + offset;
    const double reach = half ? 4.0 * s + 1.0 : 2.0 * s;
    const double scale = half ? 2.0 * s : s;
    a.hole[static_cast<std::size_t>(i)] = std::max(hole0 - (u + reach), (u - reach) - (hole1 - 1)) / scale;
  }
  if (a.lo >= a.hi) a.lo = a.hi = 0;
  return a;
}

double cover(double margin) { return std::clamp(margin / FEATHER, 0.0, 1.0); }

}  // namespace

// One part of a keyframe: its pixels, a copy at half the resolution (2 x 2 means) for frames
// that shrink it by 2 or more, where they lie against the target's centre, and its hole.
struct KeyframeFilm::Layer {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb, half;
  Grid grid;
  int hole[4] = {0, 0, 0, 0};  // columns, rows from the top: [x0, x1) x [y0, y1)
};
struct KeyframeFilm::Key {
  Layer layers[3];
};

KeyframeFilm::KeyframeFilm(const FilmPlan& plan, const PosterShape& shape,
                           const Colouring& colouring)
    : plan_(plan), shape_(shape), colouring_(colouring) {}

KeyframeFilm::~KeyframeFilm() = default;

std::string KeyframeFilm::need(long long m, const RowsDone& rows_done) {
  if (keys_.count(m)) return "";
  const int w = plan_.width, h = plan_.height, n = shape_.supersample;
  auto key = std::make_unique<Key>();
  const FloatExp at = ldexp(FloatExp(1.0), m);
  const Grid frames = grid_of(plan_.target, w, h, n);
  const FloatExp ux = abs(frames.x.pitch) * at, uy = abs(frames.y.pitch) * at;
  int rows_before = 0, rows_all = 0;
  for (const LayerKind& l : LAYERS) rows_all += static_cast<int>(h * l.region / l.pitch);
  for (int i = 0; i < 3; ++i) {
    const LayerKind& kind = LAYERS[i];
    Layer& layer = key->layers[i];
    auto side = [&](int frame) {
      return 2 * static_cast<int>(std::ceil((frame * kind.region / 2.0 + REACH) / kind.pitch));
    };
    layer.width = side(w);
    layer.height = side(h);
    // Its pitch kind.pitch u: found from a first guess, since a poster fits its view to its
    // own aspect.
    const Grid guess = grid_of(scaled(plan_.target, at), layer.width, layer.height, n);
    const double rho = std::min((ux / abs(guess.x.pitch)).to_double(),
                                (uy / abs(guess.y.pitch)).to_double()) * kind.pitch;
    const View v = scaled(plan_.target, at * rho);
    layer.grid = grid_of(v, layer.width, layer.height, n);
    PosterShape shape = shape_;
    shape.width = layer.width;
    shape.height = layer.height;
    if (kind.hole > 0.0) {
      // Pixel i lies at (i + lead) pitch from the centre.
      auto hole = [&](const Axis& a, const FloatExp& unit, int frame, int& lo, int& hi) {
        const double r = (frame * kind.hole / 2.0 - SHORT) * (unit / abs(a.pitch)).to_double();
        lo = static_cast<int>(std::ceil(-a.lead - r));
        hi = static_cast<int>(std::floor(-a.lead + r)) + 1;
      };
      hole(layer.grid.x, ux, w, layer.hole[0], layer.hole[1]);
      hole(layer.grid.y, uy, h, layer.hole[2], layer.hole[3]);
      shape.hole_x0 = layer.hole[0];
      shape.hole_x1 = layer.hole[1];
      shape.hole_y0 = layer.hole[2];
      shape.hole_y1 = layer.hole[3];
    }
    // The keyframe's share of the frame's progress: its parts' rows, in the frame's rows.
    const int share = static_cast<int>(h * kind.region / kind.pitch);
    const RowsDone done = [&](int rows) {
      if (!rows_done) return;
      const long long part = rows_before + static_cast<long long>(rows) * share / layer.height;
      rows_done(static_cast<int>(std::min<long long>(h - 1, part * (h - 1) / std::max(1, rows_all))));
    };
    if (std::string err = collect(v, shape, colouring_, layer.rgb, done); !err.empty()) return err;
    rows_before += share;

    const int hw = layer.width / 2, hh = layer.height / 2;
    layer.half.resize(static_cast<std::size_t>(hw) * hh * 3);
    for (int y = 0; y < hh; ++y) {
      const std::uint8_t* a = layer.rgb.data() + static_cast<std::size_t>(2 * y) * layer.width * 3;
      const std::uint8_t* b = a + static_cast<std::size_t>(layer.width) * 3;
      std::uint8_t* out = layer.half.data() + static_cast<std::size_t>(y) * hw * 3;
      for (int x = 0; x < hw * 3; ++x) {
        const int c = x % 3, j = (x / 3) * 6 + c;
        out[x] = static_cast<std::uint8_t>((a[j] + a[j + 3] + b[j] + b[j + 3] + 2) / 4);
      }
    }
  }
  keys_[m] = std::move(key);
  ++computed_;
  most_held_ = std::max(most_held_, held());
  return "";
}

namespace {

// A keyframe's part as a frame reads it: which copy, the two axes, the rows' column range.
struct Source {
  const std::vector<std::uint8_t>* rgb = nullptr;
  int width = 0;
  AxisMap x, y;
  // Output columns a row reads: all those inside the edge, or in rows across the hole the
  // runs left and right of it; each with its taps and the source columns they read.
  struct Run {
    int c0 = 0, c1 = 0, k0 = 0, k1 = 0;
    std::vector<Taps> taps;
  };
  Run all, left, right;
};

Source::Run run_of(const AxisMap& x, int c0, int c1) {
  Source::Run r;
  r.c0 = c0;
  r.c1 = std::max(c0, c1);
  r.taps.assign(x.taps.begin() + r.c0, x.taps.begin() + r.c1);
  r.k0 = INT32_MAX;
  for (const Taps& t : r.taps) {
    r.k0 = std::min(r.k0, t.first);
    r.k1 = std::max(r.k1, t.first + t.count);
  }
  return r;
}

Source source_of(const Grid& frame, int w, int h, const Grid& grid, int width, int height,
                 const std::vector<std::uint8_t>& rgb, const std::vector<std::uint8_t>& half,
                 const int hole[4]) {
  // Source index of output pixel i: where its point lies in the part's own pixels, then in the
  // half-resolution copy's (whose pixel j is the mean of pixels 2j and 2j + 1).
  auto map = [](const Axis& f, const Axis& s, double& ratio, double& offset) {
    ratio = (f.pitch / s.pitch).to_double();
    offset = f.lead * ratio - s.lead;
  };
  double rx, ox, ry, oy;
  map(frame.x, grid.x, rx, ox);
  map(frame.y, grid.y, ry, oy);
  const bool halved = rx >= 2.0;
  Source src;
  src.rgb = halved ? &half : &rgb;
  src.width = halved ? width / 2 : width;
  if (halved) {
    rx /= 2.0;
    ox = (ox - 0.5) / 2.0;
    ry /= 2.0;
    oy = (oy - 0.5) / 2.0;
  }
  src.x = axis_map(w, rx, ox, src.width, halved, hole[0], hole[1]);
  src.y = axis_map(h, ry, oy, halved ? height / 2 : height, halved, hole[2], hole[3]);
  int a = src.x.hi, b = src.x.lo;  // the columns whose filter meets the hole
  for (int c = src.x.lo; c < src.x.hi; ++c) {
    if (src.x.hole[static_cast<std::size_t>(c)] <= 0.0) a = std::min(a, c), b = c + 1;
  }
  src.all = run_of(src.x, src.x.lo, src.x.hi);
  src.left = run_of(src.x, src.x.lo, std::min(a, src.x.hi));
  src.right = run_of(src.x, std::max(b, src.x.lo), src.x.hi);
  return src;
}

// A part's weight at output pixel (c, y): inside its edge, outside its hole, faded over a few
// pixels at both.
double weight(const Source& s, int c, int y) {
  const auto i = static_cast<std::size_t>(c), j = static_cast<std::size_t>(y);
  return cover(std::min({s.x.edge[i], s.y.edge[j], std::max(s.x.hole[i], s.y.hole[j])}));
}

}  // namespace

std::string KeyframeFilm::frame(long long k, const PosterSink& sink, const RowsDone& rows_done) {
  const int w = plan_.width, h = plan_.height, n = shape_.supersample;
  if (k >= plan_.frames - 1) {  // the target itself, exactly
    keys_.clear();
    return render_poster(plan_.target, shape_, colouring_, sink, rows_done);
  }
  // Keyframe m holds the frame's finer detail, m + 1 the whole frame; the finer one's weight
  // goes from 1 at its own height to 0 at the coarser one's, so that detail fades in.
  const double d = film_depth(plan_, k);
  const long long m = static_cast<long long>(std::floor(d));
  const double t = d - static_cast<double>(m);
  const Grid fg = grid_of(film_view(plan_, k), w, h, n);
  for (auto it = keys_.begin(); it != keys_.end();) it = it->first == m || it->first == m + 1 ? std::next(it) : keys_.erase(it);

  std::vector<Source> fine, coarse;
  auto sources = [&](long long at, std::vector<Source>& out) -> std::string {
    if (std::string err = need(at, rows_done); !err.empty()) return err;
    for (const Layer& l : keys_.at(at)->layers) {
      out.push_back(source_of(fg, w, h, l.grid, l.width, l.height, l.rgb, l.half, l.hole));
    }
    return "";
  };
  if (std::string err = sources(m, fine); !err.empty()) return err;
  // Where the finer keyframe is whole and alone, the coarser one is not read at all.
  bool whole = t == 0.0;
  const Source& edge = fine[OUTERMOST];
  for (int c = 0; c < w && whole; ++c) whole = cover(edge.x.edge[static_cast<std::size_t>(c)]) == 1.0;
  for (int y = 0; y < h && whole; ++y) whole = cover(edge.y.edge[static_cast<std::size_t>(y)]) == 1.0;
  if (!whole) {
    if (std::string err = sources(m + 1, coarse); !err.empty()) return err;
  }

  // Bands of rows on every thread, each computed and encoded in one go, handed out in order
  // (as a poster's): each output row is its own, whatever the threads.
  constexpr int BAND = 16;
  const int bands = (h + BAND - 1) / BAND;
  BandsOut way(sink);
  // A small frame's bands take less time than threads take to wake and to wait for each other
  // (a waiting OpenMP thread spins, taking a core from whoever could use it).
  [[maybe_unused]] const int nt = static_cast<long long>(w) * h >= (1 << 20) ? threads_for(shape_) : 1;
#ifdef _OPENMP
#pragma omp parallel num_threads(nt)
#endif
  {
    std::vector<float> sum, part(static_cast<std::size_t>(w) * 3), acc_fine(part.size()),
        acc_coarse(part.size()), wsum_fine(static_cast<std::size_t>(w)), wsum_coarse(wsum_fine.size());
    std::vector<std::uint8_t> rgb;
    BandOut out;
    // Sum of the parts' weighted pixels, and of their weights, over a keyframe's parts.
    auto blend = [&](const std::vector<Source>& parts, int y, std::vector<float>& acc, std::vector<float>& ws) {
      std::fill(acc.begin(), acc.end(), 0.0f);
      std::fill(ws.begin(), ws.end(), 0.0f);
      for (const Source& s : parts) {
        const auto j = static_cast<std::size_t>(y);
        if (s.x.lo >= s.x.hi || s.y.edge[j] <= 0.0) continue;
        const bool across = s.y.hole[j] <= 0.0;
        for (const Source::Run* r : {&s.all, &s.left, &s.right}) {
          if ((r == &s.all) == across || r->c0 == r->c1) continue;
          resample_row(*s.rgb, s.width, r->taps, r->k0, r->k1, s.y.taps[j], sum, part.data() + 3 * r->c0);
        }
        for (int c = s.x.lo; c < s.x.hi; ++c) {
          const auto a = static_cast<float>(weight(s, c, y));
          if (a == 0.0f) continue;
          ws[static_cast<std::size_t>(c)] += a;
          for (int ch = 0; ch < 3; ++ch) acc[static_cast<std::size_t>(3 * c + ch)] += a * part[static_cast<std::size_t>(3 * c + ch)];
        }
      }
    };
    auto row = [&](int y, std::uint8_t* dst) {
      blend(fine, y, acc_fine, wsum_fine);
      if (!whole) blend(coarse, y, acc_coarse, wsum_coarse);
      const double wy = edge.y.edge[static_cast<std::size_t>(y)];
      for (int c = 0; c < w; ++c) {
        const auto i = static_cast<std::size_t>(c);
        const float wf = wsum_fine[i], wc = wsum_coarse[i];
        const float a = wf > 0.0f ? static_cast<float>((1.0 - t) * cover(std::min(wy, edge.x.edge[i]))) : 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
          const std::size_t at = 3 * i + static_cast<std::size_t>(ch);
          const float f = wf > 0.0f ? acc_fine[at] / wf : 0.0f;
          const float v = whole ? f : a * f + (1.0f - a) * (wc > 0.0f ? acc_coarse[at] / wc : 0.0f);
          dst[at] = static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
        }
      }
    };
    way.hand_out(bands, out, [&](int b, BandOut& o) {
      o.rows = std::min(BAND, h - b * BAND);
      rgb.resize(static_cast<std::size_t>(o.rows) * w * 3);
      for (int y = 0; y < o.rows; ++y) row(b * BAND + y, rgb.data() + static_cast<std::size_t>(y) * w * 3);
      o.rgb = rgb.data();
    });
  }
  if (way.why.empty() && rows_done) rows_done(way.handed);
  return way.why;
}

std::string KeyframeFilm::frame(long long k, std::vector<std::uint8_t>& rgb, const RowsDone& rows_done) {
  rgb.clear();
  const std::size_t row = static_cast<std::size_t>(plan_.width) * 3;
  const PosterSink sink{nullptr, [&](const BandOut& b) {
                          rgb.insert(rgb.end(), b.rgb, b.rgb + row * static_cast<std::size_t>(b.rows));
                          return std::string();
                        }};
  return frame(k, sink, rows_done);
}

}  // namespace zd
