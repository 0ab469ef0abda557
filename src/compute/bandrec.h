// bandrec.h — the work order for one band of rows, the band worker and the region renderer.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "compute/counts.h"
#include "compute/kernels.h"
#include "compute/walk.h"

namespace zd {

// The workers of one region. They meet after each pass's tests and after the stores that
// later tests read, so that a test across a band border reads what the earlier passes left,
// whatever the timing: the picture depends only on the region and its bands. A member that
// waits computes points of the others' batches meanwhile, so an uneven split of the work
// leaves no core idle.
class Crew {
 public:
  // count: the kernel the region's points are computed with.
  Crew(int members, void (*count)(CountJob&)) : n_(members), count_(count) {}
  // Computes the job, offering its points to members that wait.
  void compute(CountJob& job);
  // Returns once every member has arrived here; helps with offered points meanwhile.
  void meet();

 private:
  struct Offer {
    CountJob* job;
    int users = 0;  // members computing points of job
  };
  std::mutex m_;
  std::condition_variable cv_;
  const int n_;
  void (*const count_)(CountJob&);
  int arrived_ = 0;
  long phase_ = 0;
  std::vector<Offer*> offers_;  // batches being computed now
};

// Filled by the renderer before the band's worker starts; the worker writes none of it.
// Columns are not part of it: a band covers LOX .. LOX+XPTS-1 as they stand during the call.
struct bandrec {
  int first;         // first buffer row (row 0 at the bottom of the window)
  int rows;          // rows first .. first+rows-1; even
  double x0, dx;     // x of column LOX, increase per column
  double y0, dy;     // y of row first, decrease per row
  int limit;         // iteration limit
  int no_firstpass;  // non-zero: the coarse colours are already in screen; refine only
  int highq;         // zero: coarse pass only
  int buttons;       // button mask at the renderer's start; non-zero: coarse pass only
  // The band stores rows first .. own-1 only: rows it shares with a later band, and those its
  // last blocks reach past it, are left to their owner.
  int own;
  Crew* crew;  // the region's workers; null when the band is computed alone
};

// Computes the band into screen by adaptive subdivision, then gives pid one wake-up.
// arg is a bandrec*; the signature is that of a worker entry.
void smandel(void* arg);

// The window's buffer as the walk sees it, with the picture's current columns; and a band's
// part of the walk.
Canvas screen_canvas();
WalkBand walk_band(const bandrec& b);

// Renders buffer rows first .. first+rows-1 over the current column range, among anz workers,
// then shows the window (with the logo) and, when a zoom or pan button has just been let go,
// refines the coarse picture. Keeps picture_coarse.
void mandel(int first, int rows, double x0, double dx, double y0, double dy, int limit);

// Record i of n for the region (first, rows, ...), by the renderer's band formula; own is the
// band's top and crew null, until the renderer knows the other bands.
bandrec band_for(int i, int n, int first, int rows, double x0, double dx, double y0, double dy,
                 int limit, int buttons);

// Points computed by the band workers since start-up, and the sum of their escape counts.
struct work_tally {
  long long points, iterations;
};
work_tally work_done();

// The kernel pictures are computed with now: the one prepared for the view, else the double
// kernel (a region rendered without a view, as tests do).
const PointKernel& current_kernel();

// Whether the user wants to leave, asking the window system now and then (main thread): a long
// preparation looks at it.
bool user_left();

// The colour word of a point: entry (limit - n) mod 256 of mycoltab.
std::uint32_t point_colour(double cx, double cy, int limit);

}  // namespace zd
