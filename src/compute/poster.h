// poster.h — pictures of a view at any size: the window's walk over bands of rows at the
// poster's pitch, on every core, handed out row by row so that no poster is ever held whole.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "compute/picture.h"
#include "compute/viewpoint.h"

namespace zd {

class Colouring;

struct PosterShape {
  int width = DESIGN_W, height = DESIGN_H;  // pixels
  int supersample = 1;            // N: N x N points a pixel, averaged per channel
  int threads = 0;                // 0: every core; more than the cores are not started
  int band_rows = 0;              // pixel rows a band computes at once; 0: chosen for memory
  // Pixels not computed but left black: columns hole_x0 to hole_x1 - 1 of rows hole_y0 to
  // hole_y1 - 1 (from the top), less what falls outside the walk's 4 x 4 grid. A picture that
  // another one covers there (a film's keyframes) costs nothing there. None when empty.
  int hole_x0 = 0, hole_x1 = 0, hole_y0 = 0, hole_y1 = 0;
};

// The largest width or height, and the largest N x side the walk runs over (the deep kernel's
// offsets stay far inside a double's integers, a band's buffer within an int's row count).
constexpr int POSTER_MAX_SIDE = 65536;
constexpr int POSTER_MAX_FINE_SIDE = 262144;
constexpr int POSTER_MAX_SUPERSAMPLE = 16;

// One band of the poster's rows on its way out: top row first, `rows` rows of width x 3 bytes
// (8-bit RGB); `last` for the picture's bottom band. bytes, check and length are an encoder's,
// kept with the band until it is written.
struct BandOut {
  const std::uint8_t* rgb = nullptr;
  int rows = 0;
  bool last = false;
  std::vector<std::uint8_t> bytes;
  std::uint32_t check = 0;
  std::uint64_t length = 0;
};
struct PosterSink {
  // Optional: runs in the band's thread, bands in any order (a PNG's compression).
  std::function<void(BandOut&)> encode;
  // Takes the bands in order, the top one first. Returns "" or why it could not, which stops
  // the poster.
  std::function<std::string(const BandOut&)> write;
};
// Told the rows written so far.
using RowsDone = std::function<void(int rows)>;

// The way out of a picture's bands, shared by the threads of a parallel region, each of which
// calls hand_out (a worksharing loop): a band is made and encoded in whichever thread takes it
// and written in order, the top band first; the first failure to write stops the rest.
struct BandsOut {
  explicit BandsOut(const PosterSink& s, RowsDone d = {}) : sink(s), done(std::move(d)) {}
  const PosterSink& sink;
  RowsDone done;  // told the rows written after each band; may be empty
  std::atomic<bool> failed{false};
  std::string why;  // the sink's message, once it has failed
  int handed = 0;   // rows written

  // make(t, out) puts band t's rows into out.rgb and out.rows.
  template <class Make>
  void hand_out(int bands, BandOut& out, Make make) {
#ifdef _OPENMP
#pragma omp for ordered schedule(dynamic, 1)
#endif
    for (int t = 0; t < bands; ++t) {
      if (!failed.load(std::memory_order_relaxed)) {
        make(t, out);
        out.last = t == bands - 1;
        if (sink.encode) sink.encode(out);
      }
#ifdef _OPENMP
#pragma omp ordered
#endif
      {
        if (!failed.load(std::memory_order_relaxed)) {
          if (std::string err = sink.write(out); !err.empty()) {
            why = std::move(err);
            failed = true;
          } else {
            handed += out.rows;
            if (done) done(handed);
          }
        }
      }
    }
  }
};

struct PosterTally {
  long long points = 0;      // computed by the kernel
  long long iterations = 0;  // their escape counts, summed
};

// Computes the poster of view v (its limit, the colours of coltab) and hands its bands to sink.
// Returns "" or the sink's message. The pixels depend on v and shape's size and supersampling
// only, not on threads or band_rows. A poster is the window's picture of its size (View::fitted).
std::string render_poster(const View& v, const PosterShape& shape, const std::uint32_t* coltab,
                          const PosterSink& sink, const RowsDone& done = {},
                          PosterTally* tally = nullptr);
// The same in any colouring (display/colouring.h).
std::string render_poster(const View& v, const PosterShape& shape, const Colouring& colouring,
                          const PosterSink& sink, const RowsDone& done = {},
                          PosterTally* tally = nullptr);

// The threads a poster uses for shape.threads == 0; 1 in builds without OpenMP (the TSan build,
// whose checks cannot see into the uninstrumented OpenMP runtime).
int poster_threads_default();

}  // namespace zd
