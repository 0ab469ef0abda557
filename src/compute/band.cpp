// band.cpp — the band worker: one band of rows by adaptive subdivision (4x4, then 2x2, then 1x1).
#include <atomic>

#include "compute/bandrec.h"
#include "compute/kernel.h"
#include "control/view.h"
#include "platform/proc.h"

namespace zd {

namespace {

// Neighbouring bands may share two rows, and the refinement tests read a little across band
// borders while the neighbour stores there: every access to screen from a worker is a whole
// word, relaxed atomic (a plain load or store on the machines we build for).
inline std::uint32_t peek(int r, int c) {
  return std::atomic_ref<std::uint32_t>(screen[r * WINW + c]).load(std::memory_order_relaxed);
}
inline void poke(int r, int c, std::uint32_t w) {
  std::atomic_ref<std::uint32_t>(screen[r * WINW + c]).store(w, std::memory_order_relaxed);
}

// Paints an s x s block, cut at the band's top and the picture's right edge: rows past the band
// belong to the next band or to what lies above the region.
inline void fill(int r, int c, int s, int top, int right, std::uint32_t w) {
  for (int i = r; i < r + s && i < top; ++i) {
    for (int j = c; j < c + s && j < right; ++j) poke(i, j, w);
  }
}

}  // namespace

std::uint32_t point_colour(double cx, double cy, int limit) {
  const unsigned n = static_cast<unsigned>(escape_count(cx, cy, limit));
  return mycoltab[(static_cast<unsigned>(limit) - n) & 255u];
}

void smandel(void* arg) {
  const bandrec& b = *static_cast<const bandrec*>(arg);
  const int top = b.first + b.rows;  // first row past the band
  const int left = LOX;
  const int right = LOX + XPTS;  // first column past the picture
  const double dx = b.dx, dy = b.dy;
  const double dx4 = 4 * dx, dy4 = 4 * dy;

  // Coarse pass: one point per 4 x 4 block.
  if (!b.no_firstpass) {
    double cy = b.y0;
    for (int r = b.first; r < top; r += 4) {
      double cx = b.x0;
      for (int c = left; c < right; c += 4) {
        fill(r, c, 4, top, right, point_colour(cx, cy, b.limit));
        cx += dx4;
      }
      cy -= dy4;
    }
  }

  if (b.highq && !b.buttons) {
    // Block refinement: a 2 x 2 sub-block gets a point of its own where the block's colour
    // differs from the neighbouring block's in that direction.
    double cy = b.y0;
    for (int r = b.first; r < top; r += 4) {
      double cx = b.x0;
      const bool upper = r + 2 < top;
      for (int c = left; c < right; c += 4) {
        const std::uint32_t a = peek(r, c);
        const bool rhs = c + 2 < right;
        if (a != peek(r, c + 4) && rhs) {
          fill(r, c + 2, 2, top, right, point_colour((cx + dx) + dx, cy, b.limit));
        }
        if (a != peek(r + 4, c) && upper) {
          fill(r + 2, c, 2, top, right, point_colour(cx, (cy - dy) - dy, b.limit));
        }
        if (a != peek(r + 4, c + 4) && upper && rhs) {
          fill(r + 2, c + 2, 2, top, right, point_colour((cx + dx) + dx, (cy - dy) - dy, b.limit));
        }
        cx += dx4;
      }
      cy -= dy4;
    }

    // Pixel refinement, the same on the 2 x 2 grid. With the picture 480 wide, the right-hand
    // test of a row's last block reads the next row's first word, which this row's first block
    // may just have refined: the visiting order matters.
    cy = b.y0;
    for (int r = b.first; r < top; r += 2) {
      double cx = b.x0;
      const bool upper = r + 1 < top;
      for (int c = left; c < right; c += 2) {
        const std::uint32_t a = peek(r, c);
        const bool rhs = c + 1 < right;
        if (a != peek(r, c + 2) && rhs) poke(r, c + 1, point_colour(cx + dx, cy, b.limit));
        if (a != peek(r + 2, c) && upper) poke(r + 1, c, point_colour(cx, cy - dy, b.limit));
        if (a != peek(r + 2, c + 2) && upper && rhs) {
          poke(r + 1, c + 1, point_colour(cx + dx, cy - dy, b.limit));
        }
        cx += dx + dx;
      }
      cy -= dy + dy;
    }
  }

  unblockproc(pid);
}

}  // namespace zd
