// walk.h — the band worker's three passes, written once: a coarse point per 4 x 4 block, then
// 2 x 2 sub-blocks and single pixels where neighbouring colours differ. What happens to each
// point (computed at once, or gathered and computed in batches) is the visitor's business.
#pragma once
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zd {

// How far the passes read past what they store: the tests look at the anchors 4 rows above and
// 4 columns right of a block, and past the picture's last column (flat addressing: with the
// picture as wide as the stride that is the next row's first words).
constexpr int WALK_REACH_ROWS = 4;
constexpr int WALK_REACH_COLS = 4;

// Words the walk may touch for a picture of `rows` rows of `stride` words.
constexpr std::size_t walk_words(int rows, int stride) {
  return static_cast<std::size_t>(rows + WALK_REACH_ROWS) * stride + WALK_REACH_COLS;
}

// Pixel words, row r column c at words[r * stride + c]. A band's stores may meet another
// band's reads near their border, so every access is a whole word, relaxed atomic (a plain
// load or store on the machines we build for).
struct Canvas {
  std::uint32_t* words;
  int stride;
  int left, right;   // the picture's columns: left .. right-1
  std::size_t size;  // words that exist; no access goes past them

  std::uint32_t peek(int r, int c) const {
    const std::size_t i = static_cast<std::size_t>(r) * stride + c;
    assert(r >= 0 && c >= 0 && i < size && "a test reads past the canvas");
    return std::atomic_ref<std::uint32_t>(words[i]).load(std::memory_order_relaxed);
  }
  void poke(int r, int c, std::uint32_t w) const {
    assert(c >= left && c < right && "a store outside the picture's columns");
    std::atomic_ref<std::uint32_t>(words[static_cast<std::size_t>(r) * stride + c])
        .store(w, std::memory_order_relaxed);
  }
};

// One band of the walk. Rows first .. top-1 are the band's; of them it stores only rows below
// `own`, the first row that a later band stores (neighbouring bands may share rows, and the
// last row of blocks reaches past the band: those rows are left to their owner).
struct WalkBand {
  int first, top, own;
  double x0, dx, y0, dy;  // point of (first, left); per column; per row (y decreases upward)
  bool coarse;            // run the coarse pass (else its colours are already on the canvas)
  bool refine;            // run the two refinement passes
  // y of row `first` in the pixel pass, which steps two rows at a time. A band cut from a
  // taller picture that must match that picture's walk bit for bit gives the picture's own
  // running sum here (WalkOrigins), which may differ from y0 in the last bits.
  double y0_pixels = y0;
  // The coarse pass's blocks when no refinement follows (a button held): 4, or a multiple of 4
  // for a large picture, so that a dive's frame costs about what the design's costs.
  int preview = 4;
  // The bits of the words that the tests compare (Colouring::compared).
  std::uint32_t compared = ~0u;
};

// Where a walk over a whole picture from row 0 at y0 stands at row `row` (a multiple of 4):
// the y of its coarse and block passes there, and of its pixel pass. The same running sums as
// walk() below, so a band started there computes exactly the whole walk's points.
struct WalkOrigin {
  double y0, y0_pixels;
};
class WalkOrigins {
 public:
  WalkOrigins(double y0, double dy) : dy_(dy), at_{y0, y0} {}
  // Moves on to `row`, which may not lie below the last one asked for.
  WalkOrigin at(int row) {
    assert(row % 4 == 0 && row >= row_ && "origins are asked for upward, on the 4 x 4 grid");
    const double dy4 = 4 * dy_;
    for (; row_ < row; row_ += 4) {
      at_.y0 -= dy4;
      at_.y0_pixels -= dy_ + dy_;
      at_.y0_pixels -= dy_ + dy_;
    }
    return at_;
  }

 private:
  double dy_;
  WalkOrigin at_;
  int row_ = 0;
};

enum class Pass { Coarse, Blocks, Pixels, Late };

// Paints the s x s block at (r, c) with w, cut at row b.own and the picture's right edge. A
// coarse block sits on the 4 x 4 grid, a sub-block on the 2 x 2 grid but off the 4 x 4 one, a
// pixel off the 2 x 2 grid: so no pass stores a word that its own tests read.
inline void fill(const Canvas& cv, const WalkBand& b, int r, int c, int s, std::uint32_t w) {
  [[maybe_unused]] const int dr = r - b.first, dc = c - cv.left;
  assert(dr >= 0 && r < b.own && "a store outside the band's own rows");
  assert((s < 4 || (dr % s == 0 && dc % s == 0)) && "a coarse block off its grid");
  assert((s != 2 || (dr % 2 == 0 && dc % 2 == 0 && (dr % 4 != 0 || dc % 4 != 0))) &&
         "a sub-block on a coarse anchor");
  assert((s != 1 || dr % 2 != 0 || dc % 2 != 0) && "a refined pixel on a fine anchor");
  for (int i = r; i < r + s && i < b.own; ++i) {
    for (int j = c; j < c + s && j < cv.right; ++j) cv.poke(i, j, w);
  }
}

// The walk. The visitor takes
//   v.point(cx, cy, r, c, s)  a point whose colour goes to the s x s block at (r, c), with
//                             fill() below;
//   v.flush(pass)             the pass's points must now be on the canvas.
// Tests compare colour words on the canvas (the bits b.compared of them). A pass's tests read only words that no point of
// the same pass stores (the anchors of its grid, words past the band or the picture), with one
// exception below, so a visitor may store a pass's points as late as its flush: the result is
// that of computing each point as it is visited.
template <class Visitor>
void walk(const Canvas& cv, const WalkBand& b, Visitor& v) {
  assert(b.first <= b.own && b.own <= b.top && "a band stores only rows of its own");
  assert((cv.right - cv.left) % 2 == 0 && "the picture's width is even");
  const int left = cv.left, right = cv.right, own = b.own;
  const double dx = b.dx, dy = b.dy;
  const double dx4 = 4 * dx, dy4 = 4 * dy;
  const std::uint32_t compared = b.compared;
  const auto differ = [compared](std::uint32_t a, std::uint32_t w) { return ((a ^ w) & compared) != 0; };

  if (b.coarse) {
    const int s = b.refine ? 4 : b.preview;
    const double dxs = s * dx, dys = s * dy;
    double cy = b.y0;
    for (int r = b.first; r < own; r += s) {
      double cx = b.x0;
      for (int c = left; c < right; c += s) {
        v.point(cx, cy, r, c, s);
        cx += dxs;
      }
      cy -= dys;
    }
    v.flush(Pass::Coarse);
  }
  if (!b.refine) return;

  // Block refinement: a 2 x 2 sub-block gets a point of its own where the block's colour
  // differs from the neighbouring block's in that direction. It stores sub-blocks at (r, c+2),
  // (r+2, c), (r+2, c+2) of coarse anchors and so never an anchor that a test reads.
  double cy = b.y0;
  for (int r = b.first; r < own; r += 4) {
    double cx = b.x0;
    const bool upper = r + 2 < own;
    for (int c = left; c < right; c += 4) {
      const std::uint32_t a = cv.peek(r, c);
      const bool rhs = c + 2 < right;
      if (differ(a, cv.peek(r, c + 4)) && rhs) v.point((cx + dx) + dx, cy, r, c + 2, 2);
      if (differ(a, cv.peek(r + 4, c)) && upper) v.point(cx, (cy - dy) - dy, r + 2, c, 2);
      if (differ(a, cv.peek(r + 4, c + 4)) && upper && rhs) {
        v.point((cx + dx) + dx, (cy - dy) - dy, r + 2, c + 2, 2);
      }
      cx += dx4;
    }
    cy -= dy4;
  }
  v.flush(Pass::Blocks);

  // Pixel refinement, the same on the 2 x 2 grid: it stores odd rows and odd columns, never a
  // fine anchor. The exception: with the picture as wide as the stride, the right-hand test of
  // a row's last block reads the next row's first word (r+1, left), which this row's first
  // block may refine. That test is made after the pass's stores, which is when the visiting
  // order makes it: nothing else stores (r+1, left).
  struct Late {
    int r, c;
    double cx, cy;
  };
  thread_local std::vector<Late> late;
  late.clear();
  cy = b.y0_pixels;
  for (int r = b.first; r < own; r += 2) {
    double cx = b.x0;
    const bool upper = r + 1 < own;
    for (int c = left; c < right; c += 2) {
      const std::uint32_t a = cv.peek(r, c);
      const bool rhs = c + 1 < right;
      if (c + 2 >= right) {
        if (rhs) late.push_back({r, c, cx + dx, cy});
      } else if (differ(a, cv.peek(r, c + 2)) && rhs) {
        v.point(cx + dx, cy, r, c + 1, 1);
      }
      if (differ(a, cv.peek(r + 2, c)) && upper) v.point(cx, cy - dy, r + 1, c, 1);
      if (differ(a, cv.peek(r + 2, c + 2)) && upper && rhs) v.point(cx + dx, cy - dy, r + 1, c + 1, 1);
      cx += dx + dx;
    }
    cy -= dy + dy;
  }
  v.flush(Pass::Pixels);
  for (const Late& t : late) {
    if (differ(cv.peek(t.r, t.c), cv.peek(t.r, t.c + 2))) v.point(t.cx, t.cy, t.r, t.c + 1, 1);
  }
  v.flush(Pass::Late);
}

// The walk's reference visitor: each point computed and stored as the passes visit it. The
// program gathers points instead (band.cpp); tests and benchmarks compare the two.
template <class Colour>
struct PointByPoint {
  const Canvas& cv;
  const WalkBand& b;
  Colour colour;  // colour word of the point (cx, cy)
  void point(double cx, double cy, int r, int c, int s) { fill(cv, b, r, c, s, colour(cx, cy)); }
  void flush(Pass) {}
};

}  // namespace zd
