// bandrec.h — the work order for one band of rows, the band worker and the region renderer.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "compute/counts.h"
#include "compute/kernels.h"
#include "compute/picture.h"
#include "compute/viewpoint.h"
#include "compute/walk.h"

namespace zd {

class Colouring;

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

// STOP_REFINING: a mouse press abandons the refinement passes in progress (the coarse picture
// stays); STOP_ALL: the user leaves, the picture is abandoned.
enum Stop : int { STOP_NONE = 0, STOP_REFINING = 1, STOP_ALL = 2 };

// The band workers' counts: points computed and the sum of their escape counts (the iterations
// made, but for one uncounted last step per escaping point), over the program's life; and per
// pass of the picture in progress (coarse, blocks, pixels), points handed to the kernel and
// points done, for a report of its progress. Any thread adds to them.
struct WorkTally {
  std::atomic<long long> points{0}, iterations{0};
  std::atomic<long long> queued[3] = {}, counted[3] = {};
};

// The largest worker count: the renderer's band table.
constexpr int MAXWORKERS = 512;

// What the renderer is handed for a region besides its rows, points and limit: the picture the
// words go to, what computes them, the program's settings, and its hooks. The caller fills one
// for each call (the program from its state, navigation/whole.h; tests their own) and may
// change nothing it points to while the call runs.
struct Rendering {
  Picture* screen = nullptr;  // the computed picture; it never holds logo pixels
  int LOX = 0, XPTS = 0;      // the picture's columns the region covers: LOX .. LOX+XPTS-1
  const PointKernel* kernel = nullptr;    // prepared for the view; null: the double kernel
  const std::uint32_t* coltab = nullptr;  // mycoltab
  // The picture's colouring when it is not the design's table (display/colouring.h); null: coltab.
  const Colouring* colouring = nullptr;
  // Points from their row and column, x0 + c dx and y0 - r dy with (c, r) counted from the
  // picture's first column and row, as posters of its size take them; null: the walk's running
  // sums (the design's 480 x 360 window).
  const Region* direct = nullptr;
  // Workers' bands start on the 4 x 4 grid, so that the picture is the same for any number of
  // workers (every picture but the design's shallow 480 x 360 window, whose bands are its own).
  bool grid_bands = false;
  int anz = 0;           // workers; 0: the calling thread computes the region
  int pid = 0;           // the calling process, whom the workers' wake-ups go to
  int highq = 1;         // 0: coarse passes only
  int no_firstpass = 0;  // the coarse colours are in screen already: refine only
  // The blocks of a coarse pass that no refinement follows (WalkBand::preview). Above 4, such a
  // pass leaves no 4 x 4 colours to refine, and no_firstpass is not taken.
  int preview = 4;
  // The picture refines one whose coarse colours a press may leave: a press abandons its
  // coarse pass too (else only a quit does).
  bool refining = false;
  // Nothing is computed: the window is written and the buttons read as always, so that a
  // session's lines take effect at the same moments and its views are the same.
  bool views_only = false;
  std::FILE* say_to = nullptr;  // the renderer's two messages; null: standard output
  // The program's side: the button mask now (mygetbutton); screen to the window, with the logo;
  // asked now and then on the calling thread while the region is computed (it may raise *stop).
  int (*buttons)() = nullptr;
  void (*show)() = nullptr;
  void (*poll)() = nullptr;
  std::atomic<int>* stop = nullptr;  // Stop; null: never abandoned
  WorkTally* tally = nullptr;
  // Set to whether the window shows pixels computed at coarse quality only that no
  // full-quality whole picture has replaced since; kept as it is for a strip at full quality.
  bool* picture_coarse = nullptr;
};

// Filled by the renderer before the band's worker starts; the worker writes none of it.
// Columns are not part of it: a band covers LOX .. LOX+XPTS-1 of its Rendering.
struct bandrec {
  int first;         // first row of the picture (row 0 at the bottom of the window)
  int rows;          // rows first .. first+rows-1; even
  double x0, dx;     // x of column LOX, increase per column
  double y0, dy;     // y of row first, decrease per row
  int limit;         // iteration limit
  int no_firstpass;  // non-zero: the coarse colours are already in screen; refine only
  int highq;         // zero: coarse pass only
  int buttons;       // button mask at the renderer's start; non-zero: coarse pass only
  // The band stores rows first .. own-1 only: rows it shares with a later band, those its last
  // blocks reach past it and those past the region, are left to their owner.
  int own;
  Crew* crew;             // the region's workers; null when the band is computed alone
  const Rendering* with;  // the picture, the kernel, the colours
  bool polls;             // computed on the renderer's own thread: it calls with->poll
};

// Computes the band into the picture by adaptive subdivision, then gives one wake-up to the
// process of its Rendering. arg is a bandrec*; the signature is that of a worker entry.
void smandel(void* arg);

// The band's part of the walk.
WalkBand walk_band(const bandrec& b);

// Renders rows first .. first+rows-1 of the picture over the Rendering's columns, among its
// workers, then shows the window and, when a zoom or pan button has just been let go, refines
// the coarse picture.
void mandel(const Rendering& r, int first, int rows, double x0, double dx, double y0, double dy,
            int limit);

// Record i of n for the region (first, rows, ...), by the renderer's band formula; own is the
// band's top, crew and with null, until the renderer knows the other bands. grid: see
// Rendering::grid_bands.
bandrec band_for(int i, int n, int first, int rows, double x0, double dx, double y0, double dy,
                 int limit, int no_firstpass, int highq, int buttons, bool grid = false);

}  // namespace zd
