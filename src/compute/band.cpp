// band.cpp — the band worker: the walk over one band, its points computed pass by pass in
// batches on the vector kernel, shared with the other workers of the region.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "compute/bandrec.h"
#include "compute/counts.h"
#include "compute/walk.h"
#include "display/colouring.h"
#include "platform/proc.h"

namespace zd {

namespace {

// Batches smaller than this are not worth offering to the others.
constexpr int SHARE_MIN = 64;
// A pass's points go to the kernel in parts of this many, so that the progress of a long
// picture can be told as it goes.
constexpr int PART = 1024;

}  // namespace

void Crew::compute(CountJob& job) {
  if (job.n < SHARE_MIN) {
    count_(job);
    return;
  }
  Offer offer{&job};
  {
    std::lock_guard<std::mutex> hold(m_);
    offers_.push_back(&offer);
    cv_.notify_all();
  }
  count_(job);
  std::unique_lock<std::mutex> hold(m_);
  std::erase(offers_, &offer);
  cv_.wait(hold, [&] { return offer.users == 0; });
}

void Crew::meet() {
  std::unique_lock<std::mutex> hold(m_);
  const long phase = phase_;
  if (++arrived_ == n_) {
    arrived_ = 0;
    ++phase_;
    cv_.notify_all();
    return;
  }
  while (phase_ == phase) {
    Offer* o = nullptr;
    int most = 0;
    for (Offer* c : offers_) {
      const int left = c->job->n - c->job->next.load(std::memory_order_relaxed);
      if (left > most) {
        most = left;
        o = c;
      }
    }
    if (!o) {
      cv_.wait(hold);
      continue;
    }
    ++o->users;
    hold.unlock();
    count_(*o->job);
    hold.lock();
    if (--o->users == 0) cv_.notify_all();
  }
}

namespace {

// The walk's visitor in the program: a pass's points are gathered in visiting order, computed
// together by the vector kernel (with the crew's help), then stored in that order.
class Batch {
 public:
  Batch(const Canvas& cv, const WalkBand& b, const bandrec& rec)
      : cv_(cv), b_(b), rec_(rec), r_(*rec.with), q_(queue) {
    q_.clear();
    if (r_.colouring && r_.colouring->wants_smooth()) {
      colouring_ = r_.colouring;
      // Distances in pixels of the picture's own pitch, as a poster of its size has them.
      const double dx = r_.direct ? r_.direct->dx : rec.dx, dy = r_.direct ? r_.direct->dy : rec.dy;
      pitch_ = std::min(std::fabs(dx), std::fabs(dy));
    }
  }

  void point(double cx, double cy, int r, int c, int s) {
    if (r_.direct) {
      cx = r_.direct->x0 + static_cast<double>(c) * r_.direct->dx;
      cy = r_.direct->y0 - static_cast<double>(r) * r_.direct->dy;
    }
    q_.cx.push_back(cx);
    q_.cy.push_back(cy);
    q_.at.push_back({r, c, s});
  }

  void flush(Pass pass) {
    // The crew meets before anyone stores a pass whose tests read across band borders, and
    // after the stores that later tests read: so every test sees what the earlier passes left.
    const bool tested = pass == Pass::Blocks || pass == Pass::Pixels;
    const bool read_later = b_.refine && (pass == Pass::Coarse || pass == Pass::Blocks);
    if (crew_() && tested) crew_()->meet();
    const int n = static_cast<int>(q_.cx.size());
    q_.count.resize(q_.cx.size());
    if (colouring_) {
      q_.smooth.resize(q_.cx.size());
      q_.distance.resize(q_.cx.size());
    }
    const int p = std::min(static_cast<int>(pass), 2);  // the late tests are the pixel pass's
    if (r_.tally) r_.tally->queued[p] += n;
    for (int at = 0; at < n; at += PART) {
      const int part = std::min(PART, n - at);
      CountJob job{q_.cx.data() + at, q_.cy.data() + at, q_.count.data() + at, part, rec_.limit};
      if (colouring_) {
        job.smooth = q_.smooth.data() + at;
        if (colouring_->wants_distance()) job.distance = q_.distance.data() + at;
        job.pitch = pitch_;
      }
      // A press abandons the refinement, leaving the coarse picture; leaving abandons it all.
      job.stop = r_.stop;
      job.stop_at = pass == Pass::Coarse && !r_.refining ? STOP_ALL : STOP_REFINING;
      if (rec_.polls) job.poll = r_.poll;
      if (job.poll) job.poll();
      if (crew_()) {
        crew_()->compute(job);
      } else {
        (r_.kernel ? r_.kernel : double_kernel())->count(job);
      }
      if (r_.tally) r_.tally->counted[p] += part;
    }
    long long points = 0, iterations = 0;
    for (int i = 0; i < n; ++i) {
      if (q_.count[i] < 0) continue;  // abandoned: the word keeps what it had
      points += 1;
      iterations += q_.count[i];
      const std::uint32_t w = colouring_ ? colouring_->word(q_.count[i], rec_.limit, q_.smooth[i], q_.distance[i])
                                         : colour_of(r_.coltab, q_.count[i], rec_.limit);
      fill(cv_, b_, q_.at[i].r, q_.at[i].c, q_.at[i].s, w);
    }
    if (r_.tally) {
      r_.tally->points.fetch_add(points, std::memory_order_relaxed);
      r_.tally->iterations.fetch_add(iterations, std::memory_order_relaxed);
    }
    q_.clear();
    if (crew_() && read_later) crew_()->meet();
  }

 private:
  struct At {
    int r, c, s;
  };
  struct Queue {
    std::vector<double> cx, cy;
    std::vector<At> at;
    std::vector<int> count;
    std::vector<double> smooth, distance;  // for a colouring that shows them
    void clear() {
      cx.clear();
      cy.clear();
      at.clear();
    }
  };
  // Kept from band to band: a worker allocates only while its batches grow.
  static thread_local Queue queue;

  Crew* crew_() const { return rec_.crew; }

  const Canvas& cv_;
  const WalkBand& b_;
  const bandrec& rec_;
  const Rendering& r_;
  Queue& q_;
  const Colouring* colouring_ = nullptr;  // null: the design's table
  double pitch_ = 1.0;
};

thread_local Batch::Queue Batch::queue;

}  // namespace

WalkBand walk_band(const bandrec& b) {
  WalkBand w{b.first,         b.first + b.rows, b.own, b.x0, b.dx, b.y0, b.dy,
             !b.no_firstpass, b.highq != 0 && b.buttons == 0};
  if (b.with) {
    w.preview = b.with->preview;
    if (b.with->colouring) w.compared = b.with->colouring->compared();
  }
  return w;
}

void smandel(void* arg) {
  const bandrec& b = *static_cast<const bandrec*>(arg);
  const Rendering& r = *b.with;
  const Canvas cv = r.screen->canvas(r.LOX, r.LOX + r.XPTS);
  const WalkBand wb = walk_band(b);
  Batch batch(cv, wb, b);
  walk(cv, wb, batch);
  unblockproc(r.pid);
}

}  // namespace zd
