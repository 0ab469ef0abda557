// poster.cpp — posters: the region fitted to the poster, bands of the window's walk that also
// walk the rows their tests read above them, averaging for supersampling, OpenMP over bands.
#include "compute/poster.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>
#ifdef _OPENMP
#include <omp.h>
#endif

#include "compute/kernels.h"
#include "compute/picture.h"
#include "compute/walk.h"
#include "display/colouring.h"

namespace zd {

namespace {

// A band's canvas by default: at most 2^21 fine words (8 MiB), and 4 to 64 pixel rows. Enough
// bands for every thread at any size, and the same bands whatever the thread count, so that
// the same arguments make the same files on every machine. (The rows a band walks above
// itself cost a few percent at 64 rows.) Its points go to the kernel in chunks.
constexpr long long BAND_WORDS = 1 << 21;
constexpr int MIN_BAND_ROWS = 4, MAX_BAND_ROWS = 64;
constexpr int CHUNK = 8192;

struct Queue {
  std::vector<double> cx, cy;
  std::vector<int> at;  // r, c, s per point
  std::vector<int> count;
  std::vector<double> smooth, distance;  // for a colouring that shows them
};

// The walk's visitor for a poster band: points go to the kernel a chunk at a time, in visiting
// order, and are stored at once. Storing any time between a point's visit and its pass's flush
// gives the window's picture (walk.h). Pixel-pass points on the rows above the band are
// dropped: the band walks those rows only for the colours its own tests read there.
// With `direct`, a point is taken from its row and column in one product and one sum instead
// of the walk's running sums, whose rounding errors grow with the width: at 8192 columns they
// reach 1e-4 of a pixel and change the counts of some points near the set.
class PosterPoints {
 public:
  PosterPoints(const Canvas& cv, const WalkBand& b, void (*count)(CountJob&),
               const std::uint32_t* coltab, const Colouring* colouring, double pitch, int limit,
               int keep, const Region* direct, int row0, const int* hole, Queue& q)
      : cv_(cv), b_(b), count_(count), coltab_(coltab), colouring_(colouring), pitch_(pitch),
        limit_(limit), keep_(keep), direct_(direct), row0_(row0), hole_(hole), q_(q) {
    q_.cx.clear();
    q_.cy.clear();
    q_.at.clear();
  }

  void point(double cx, double cy, int r, int c, int s) {
    if (s == 1 && r >= keep_) return;
    if (hole_ && c >= hole_[0] && c < hole_[1] && row0_ + r >= hole_[2] && row0_ + r < hole_[3]) {
      fill(cv_, b_, r, c, s, 0);  // on the grid: the whole block lies in the hole
      return;
    }
    if (direct_) {
      cx = direct_->x0 + static_cast<double>(c) * direct_->dx;
      cy = direct_->y0 - static_cast<double>(row0_ + r) * direct_->dy;
    }
    q_.cx.push_back(cx);
    q_.cy.push_back(cy);
    q_.at.insert(q_.at.end(), {r, c, s});
    if (q_.cx.size() == CHUNK) run();
  }
  void flush(Pass) { run(); }

  long long points = 0, iterations = 0;

 private:
  void run() {
    const int n = static_cast<int>(q_.cx.size());
    if (n == 0) return;
    q_.count.resize(q_.cx.size());
    CountJob job{q_.cx.data(), q_.cy.data(), q_.count.data(), n, limit_};
    if (colouring_) {
      q_.smooth.resize(q_.cx.size());
      q_.distance.resize(q_.cx.size());
      job.smooth = q_.smooth.data();
      if (colouring_->wants_distance()) job.distance = q_.distance.data();
      job.pitch = pitch_;
    }
    count_(job);
    for (int i = 0; i < n; ++i) {
      const int k = q_.count[i];
      const std::uint32_t w = colouring_ ? colouring_->word(k, limit_, q_.smooth[i], q_.distance[i])
                                         : colour_of(coltab_, k, limit_);
      fill(cv_, b_, q_.at[3 * i], q_.at[3 * i + 1], q_.at[3 * i + 2], w);
      iterations += k;
    }
    points += n;
    q_.cx.clear();
    q_.cy.clear();
    q_.at.clear();
  }

  const Canvas& cv_;
  const WalkBand& b_;
  void (*const count_)(CountJob&);
  const std::uint32_t* const coltab_;
  const Colouring* const colouring_;  // null: the design's table
  const double pitch_;
  const int limit_, keep_;
  const Region* const direct_;
  const int row0_;
  const int* const hole_;  // fine columns, then walk rows from the bottom; null: none
  Queue& q_;
};

// What every band shares.
struct Poster {
  int width, height, n;     // pixels, supersampling
  int fine_height, stride;  // the walk's rows, and its width (even)
  int band;                 // pixel rows a band, a multiple of 4
  Region region;            // of the fine picture
  bool direct;              // points from their rows and columns (PosterPoints)
  int limit;
  void (*count)(CountJob&);
  const std::uint32_t* coltab;
  const Colouring* colouring;  // null: coltab
  std::vector<WalkOrigin> origins;  // per band
  int hole[4] = {0, 0, 0, 0};       // PosterShape's, in the walk's points
  bool holed = false;
};

// Computes band i (pixel rows i*band up) into rgb, top row first; returns its pixel rows.
int compute_band(const Poster& p, int i, Picture& words, std::vector<std::uint8_t>& rgb, Queue& q,
                 PosterTally& tally) {
  const int rows = std::min(p.band, p.height - i * p.band);
  const int keep = rows * p.n;
  // Below the top band the walk goes on over the next band's first two rows: the tests of this
  // band's last rows read that band's coarse and block colours, and the right-hand ones read
  // the word after the last column, the first of the row above.
  const bool top = (i + 1) * p.band >= p.height;
  const int own = top ? keep : keep + 2;
  // Zero past the rows walked, as in the window's picture: the top band's tests read them.
  words.resize(p.stride, own);
  const Canvas cv = words.canvas(0, p.stride);
  const WalkOrigin& o = p.origins[i];
  WalkBand b{0, own, own, p.region.x0, p.region.dx, o.y0, p.region.dy, true, true, o.y0_pixels};
  if (p.colouring) b.compared = p.colouring->compared();
  const double pitch = std::min(std::fabs(p.region.dx), std::fabs(p.region.dy));
  PosterPoints v(cv, b, p.count, p.coltab, p.colouring, pitch, p.limit, keep,
                 p.direct ? &p.region : nullptr, i * p.band * p.n, p.holed ? p.hole : nullptr, q);
  walk(cv, b, v);
  tally.points += v.points;
  tally.iterations += v.iterations;

  // Each channel averaged over the pixel's n x n points, rounded to nearest.
  const int n = p.n, w = p.width;
  const unsigned nn = static_cast<unsigned>(n * n), half = nn / 2;
  rgb.resize(static_cast<std::size_t>(rows) * w * 3);
  for (int y = 0; y < rows; ++y) {
    const int fr = (rows - 1 - y) * n;
    std::uint8_t* out = rgb.data() + static_cast<std::size_t>(y) * w * 3;
    for (int x = 0; x < w; ++x) {
      unsigned sum[3] = {0, 0, 0};
      for (int dy = 0; dy < n; ++dy) {
        const std::uint32_t* src = words.row(fr + dy) + x * n;
        for (int dx = 0; dx < n; ++dx) {
          sum[0] += src[dx] & 255u;
          sum[1] += (src[dx] >> 8) & 255u;
          sum[2] += (src[dx] >> 16) & 255u;
        }
      }
      for (int ch = 0; ch < 3; ++ch) out[3 * x + ch] = static_cast<std::uint8_t>((sum[ch] + half) / nn);
    }
  }
  return rows;
}

int default_band_rows(int stride, int n) {
  const long long by_memory = BAND_WORDS / (static_cast<long long>(stride) * n);
  return static_cast<int>(std::clamp<long long>(by_memory, MIN_BAND_ROWS, MAX_BAND_ROWS));
}

}  // namespace

int poster_threads_default() {
#ifdef _OPENMP
  return std::max(1, omp_get_num_procs());
#else
  return 1;
#endif
}

std::string render_poster(const View& v, const PosterShape& shape, const std::uint32_t* coltab,
                          const PosterSink& sink, const RowsDone& done, PosterTally* tally) {
  return render_poster(v, shape, Colouring(Colours::Design, coltab), sink, done, tally);
}

std::string render_poster(const View& v, const PosterShape& shape, const Colouring& colouring,
                          const PosterSink& sink, const RowsDone& done, PosterTally* tally) {
  Poster p;
  p.width = shape.width;
  p.height = shape.height;
  p.n = shape.supersample;
  const int fine_width = p.width * p.n;
  p.fine_height = p.height * p.n;
  p.stride = fine_width + (fine_width & 1);  // an odd poster's extra column is walked, not shown
  const View pv = v.fitted(fine_width, p.fine_height);
  p.limit = limit_of(pv.maxit);
  p.coltab = colouring.design();
  p.colouring = colouring.wants_smooth() ? &colouring : nullptr;
  const PointKernel* k = kernel_for(pv);
  if (!k->prepare(pv, fine_width, p.fine_height, p.limit, [] { return false; })) {
    return "the deep kernel could not be prepared";
  }
  p.count = k->count;
  p.region = pv.region(0, 0, fine_width, p.fine_height);
  // The design's window's size is its picture, running sums and all (Picture::running_sums).
  p.direct = !(fine_width == DESIGN_W && p.fine_height == DESIGN_H);
  // The hole in fine points, shrunk to the 4 x 4 grid so that no block reaches out of it.
  const int x0 = 4 * ((shape.hole_x0 * p.n + 3) / 4), x1 = 4 * (shape.hole_x1 * p.n / 4);
  const int y0 = 4 * (((p.height - shape.hole_y1) * p.n + 3) / 4);
  const int y1 = 4 * ((p.height - shape.hole_y0) * p.n / 4);
  p.holed = shape.hole_x0 >= 0 && shape.hole_y0 >= 0 && shape.hole_x1 <= p.width &&
            shape.hole_y1 <= p.height && x0 < x1 && y0 < y1;
  if (p.holed) {
    p.hole[0] = x0;
    p.hole[1] = x1;
    p.hole[2] = y0;
    p.hole[3] = y1;
  }

  // Threads beyond the cores would only wait for one, each holding a band's buffers meanwhile.
  const int cores = poster_threads_default();
  [[maybe_unused]] const int threads = std::min(shape.threads > 0 ? shape.threads : cores, cores);
  const int rows = shape.band_rows > 0 ? shape.band_rows : default_band_rows(p.stride, p.n);
  p.band = (std::min(rows, p.height) + 3) & ~3;  // on the walk's 4 x 4 grid
  const int bands = (p.height + p.band - 1) / p.band;
  // Every band starts where the whole picture's walk would stand: the same points, bit for bit.
  WalkOrigins origins(p.region.y0, p.region.dy);
  for (int i = 0; i < bands; ++i) p.origins.push_back(origins.at(i * p.band * p.n));

  BandsOut way(sink, done);
  long long points = 0, iterations = 0;
#ifdef _OPENMP
#pragma omp parallel num_threads(threads) reduction(+ : points, iterations)
#endif
  {
    Picture words;
    std::vector<std::uint8_t> rgb;
    Queue q;
    PosterTally mine;
    BandOut out;
    // Bands in the order their rows go out, the top one first.
    way.hand_out(bands, out, [&](int t, BandOut& o) {
      o.rows = compute_band(p, bands - 1 - t, words, rgb, q, mine);
      o.rgb = rgb.data();
    });
    points += mine.points;
    iterations += mine.iterations;
  }
  if (tally) *tally = {points, iterations};
  return way.why;
}

}  // namespace zd
