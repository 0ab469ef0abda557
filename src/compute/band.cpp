// band.cpp — the band worker: one band of rows by adaptive subdivision (4x4, then 2x2, then 1x1).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "compute/bandrec.h"
#include "compute/counts.h"
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

inline std::uint32_t colour_of(int n, int limit) {
  return mycoltab[(static_cast<unsigned>(limit) - static_cast<unsigned>(n)) & 255u];
}

std::atomic<long long> points_done{0}, iterations_done{0};

// What one band computed; added to the totals once, when the band is done.
struct Tally {
  long long points = 0, iterations = 0;
  void count(int n) {
    ++points;
    iterations += n;
  }
  void publish() const {
    points_done.fetch_add(points, std::memory_order_relaxed);
    iterations_done.fetch_add(iterations, std::memory_order_relaxed);
  }
};

// Batches a worker offers to the other workers of the same computation. A worker that has
// finished its own band takes points from them before it reports, so that an uneven split of
// the work between bands does not leave a core idle. Offers live on their owners' stacks; an
// owner withdraws its offer and waits until no helper uses it any more.
struct Offer {
  CountJob* job;
  int users = 0;  // helpers computing points of job; guarded by offers_lock()
};
std::mutex& offers_lock() {
  static std::mutex* m = new std::mutex;  // never destroyed: workers may outlive main
  return *m;
}
std::condition_variable& offers_changed() {
  static std::condition_variable* cv = new std::condition_variable;
  return *cv;
}
std::vector<Offer*>& offers() {  // guarded by offers_lock()
  static std::vector<Offer*>* v = new std::vector<Offer*>;
  return *v;
}
int computing = 0;  // workers still on their own band; guarded by offers_lock()

// Worth sharing: a few points may still carry many iterations each.
constexpr int SHARE_MIN = 64;

void compute_offered(CountJob& job) {
  if (anz < 2 || job.n < SHARE_MIN) {
    escape_counts(job);
    return;
  }
  Offer offer{&job};
  {
    std::lock_guard<std::mutex> hold(offers_lock());
    offers().push_back(&offer);
    offers_changed().notify_all();
  }
  escape_counts(job);
  std::unique_lock<std::mutex> hold(offers_lock());
  std::erase(offers(), &offer);
  offers_changed().wait(hold, [&] { return offer.users == 0; });
}

// Ends this worker's own band, then computes points of other workers' offers as they come,
// until every worker has finished its own band.
void help_others() {
  std::unique_lock<std::mutex> hold(offers_lock());
  --computing;
  offers_changed().notify_all();
  for (;;) {
    Offer* o = nullptr;
    int most = 0;
    for (Offer* c : offers()) {
      const int left = c->job->n - c->job->next.load(std::memory_order_relaxed);
      if (left > most) {
        most = left;
        o = c;
      }
    }
    if (!o) {
      if (computing == 0) return;
      offers_changed().wait(hold);
      continue;
    }
    ++o->users;
    hold.unlock();
    escape_counts(*o->job);
    hold.lock();
    if (--o->users == 0) offers_changed().notify_all();
  }
}

// One pass's points, gathered in visiting order, computed together by the vector kernel, then
// stored in that order. A pass's tests read only words that the pass itself never stores (the
// anchors of its grid and the words beyond the picture's right edge), with one exception that
// the pixel refinement handles itself; so testing everything first and storing afterwards
// gives the pixels of the one-point-at-a-time order.
class Batch {
 public:
  void add(double cx, double cy, int r, int c) {
    cx_.push_back(cx);
    cy_.push_back(cy);
    at_.push_back({r, c});
  }
  // Computes the points, paints point i's colour into the s x s block at at_[i] (cut at the
  // band's top and the picture's right edge) and empties the batch.
  void run(int limit, int s, int top, int right, Tally& tally) {
    const int n = static_cast<int>(cx_.size());
    count_.resize(cx_.size());
    CountJob job{cx_.data(), cy_.data(), count_.data(), n, limit};
    compute_offered(job);
    for (int i = 0; i < n; ++i) {
      tally.count(count_[i]);
      fill(at_[i].r, at_[i].c, s, top, right, colour_of(count_[i], limit));
    }
    cx_.clear();
    cy_.clear();
    at_.clear();
  }

 private:
  struct At {
    int r, c;
  };
  // Kept from band to band: a worker allocates only while its batches grow.
  std::vector<double> cx_, cy_;
  std::vector<At> at_;
  std::vector<int> count_;
};

// Each worker thread has its own.
thread_local Batch batch;

}  // namespace

std::uint32_t point_colour(double cx, double cy, int limit) {
  return colour_of(escape_count(cx, cy, limit), limit);
}

work_tally work_done() {
  return {points_done.load(std::memory_order_relaxed),
          iterations_done.load(std::memory_order_relaxed)};
}

void smandel(void* arg) {
  const bandrec& b = *static_cast<const bandrec*>(arg);
  const int top = b.first + b.rows;  // first row past the band
  const int left = LOX;
  const int right = LOX + XPTS;  // first column past the picture
  const double dx = b.dx, dy = b.dy;
  const double dx4 = 4 * dx, dy4 = 4 * dy;
  Batch& q = batch;
  const bool sharing = anz >= 2;
  if (sharing) {
    std::lock_guard<std::mutex> hold(offers_lock());
    ++computing;
  }
  Tally tally;

  // Coarse pass: one point per 4 x 4 block.
  if (!b.no_firstpass) {
    double cy = b.y0;
    for (int r = b.first; r < top; r += 4) {
      double cx = b.x0;
      for (int c = left; c < right; c += 4) {
        q.add(cx, cy, r, c);
        cx += dx4;
      }
      cy -= dy4;
    }
    q.run(b.limit, 4, top, right, tally);
  }

  if (b.highq && !b.buttons) {
    // Block refinement: a 2 x 2 sub-block gets a point of its own where the block's colour
    // differs from the neighbouring block's in that direction. Its tests read coarse anchors,
    // which it never stores, and the words past the rows' ends: with the picture 480 wide,
    // (r+1, 0) and (r+5, 0), which it does not store either.
    double cy = b.y0;
    for (int r = b.first; r < top; r += 4) {
      double cx = b.x0;
      const bool upper = r + 2 < top;
      for (int c = left; c < right; c += 4) {
        const std::uint32_t a = peek(r, c);
        const bool rhs = c + 2 < right;
        if (a != peek(r, c + 4) && rhs) q.add((cx + dx) + dx, cy, r, c + 2);
        if (a != peek(r + 4, c) && upper) q.add(cx, (cy - dy) - dy, r + 2, c);
        if (a != peek(r + 4, c + 4) && upper && rhs) {
          q.add((cx + dx) + dx, (cy - dy) - dy, r + 2, c + 2);
        }
        cx += dx4;
      }
      cy -= dy4;
    }
    q.run(b.limit, 2, top, right, tally);

    // Pixel refinement, the same on the 2 x 2 grid. With the picture 480 wide, the right-hand
    // test of a row's last block reads the next row's first word (r+1, 0), which this row's
    // first block may refine: that test waits until the pass's stores are done. Nothing else
    // stores (r+1, 0), and the diagonal test's word (r+3, 0) is stored by a later row only,
    // so both tests see what they would in visiting order.
    struct Late {
      int r, c;
      double cx, cy;
    };
    thread_local std::vector<Late> late;
    late.clear();
    cy = b.y0;
    for (int r = b.first; r < top; r += 2) {
      double cx = b.x0;
      const bool upper = r + 1 < top;
      for (int c = left; c < right; c += 2) {
        const std::uint32_t a = peek(r, c);
        const bool rhs = c + 1 < right;
        if (c + 2 >= right) {
          if (rhs) late.push_back({r, c, cx + dx, cy});
        } else if (a != peek(r, c + 2) && rhs) {
          q.add(cx + dx, cy, r, c + 1);
        }
        if (a != peek(r + 2, c) && upper) q.add(cx, cy - dy, r + 1, c);
        if (a != peek(r + 2, c + 2) && upper && rhs) q.add(cx + dx, cy - dy, r + 1, c + 1);
        cx += dx + dx;
      }
      cy -= dy + dy;
    }
    q.run(b.limit, 1, top, right, tally);
    for (const Late& t : late) {
      if (peek(t.r, t.c) != peek(t.r, t.c + 2)) q.add(t.cx, t.cy, t.r, t.c + 1);
    }
    q.run(b.limit, 1, top, right, tally);
  }

  tally.publish();
  if (sharing) help_others();
  unblockproc(pid);
}

void smandel_scalar(void* arg) {
  const bandrec& b = *static_cast<const bandrec*>(arg);
  const int top = b.first + b.rows;  // first row past the band
  const int left = LOX;
  const int right = LOX + XPTS;  // first column past the picture
  const double dx = b.dx, dy = b.dy;
  const double dx4 = 4 * dx, dy4 = 4 * dy;
  Tally tally;
  auto colour = [&](double cx, double cy, int limit) {
    const int n = escape_count(cx, cy, limit);
    tally.count(n);
    return colour_of(n, limit);
  };

  // Coarse pass: one point per 4 x 4 block.
  if (!b.no_firstpass) {
    double cy = b.y0;
    for (int r = b.first; r < top; r += 4) {
      double cx = b.x0;
      for (int c = left; c < right; c += 4) {
        fill(r, c, 4, top, right, colour(cx, cy, b.limit));
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
          fill(r, c + 2, 2, top, right, colour((cx + dx) + dx, cy, b.limit));
        }
        if (a != peek(r + 4, c) && upper) {
          fill(r + 2, c, 2, top, right, colour(cx, (cy - dy) - dy, b.limit));
        }
        if (a != peek(r + 4, c + 4) && upper && rhs) {
          fill(r + 2, c + 2, 2, top, right, colour((cx + dx) + dx, (cy - dy) - dy, b.limit));
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
        if (a != peek(r, c + 2) && rhs) poke(r, c + 1, colour(cx + dx, cy, b.limit));
        if (a != peek(r + 2, c) && upper) poke(r + 1, c, colour(cx, cy - dy, b.limit));
        if (a != peek(r + 2, c + 2) && upper && rhs) {
          poke(r + 1, c + 1, colour(cx + dx, cy - dy, b.limit));
        }
        cx += dx + dx;
      }
      cy -= dy + dy;
    }
  }

  tally.publish();
  unblockproc(pid);
}

}  // namespace zd
