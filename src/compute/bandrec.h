// bandrec.h — the work order for one band of rows, the band worker and the region renderer.
#pragma once
#include <cstdint>

namespace zd {

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
};

// Computes the band into screen by adaptive subdivision, then gives pid one wake-up.
// arg is a bandrec*; the signature is that of a worker entry. Each pass gathers its points and
// computes them together on the vector kernel.
void smandel(void* arg);
// The same, computing each point with the scalar kernel as the passes visit it: the same words
// in screen, slower. The reference for smandel.
void smandel_scalar(void* arg);

// Points computed by the band workers since the process started, and the sum of their escape
// counts (the iterations made, but for one uncounted last step per escaping point).
struct work_tally {
  long long points, iterations;
};
work_tally work_done();

// Renders buffer rows first .. first+rows-1 over the current column range, among anz workers,
// then shows the window (with the logo) and, when a zoom or pan button has just been let go,
// refines the coarse picture.
void mandel(int first, int rows, double x0, double dx, double y0, double dy, int limit);
// Whether the last mandel call left its region at coarse quality only (a button was down at
// its start and there was no follow-up refinement, or highq is 0).
extern bool mandel_left_coarse;

// Record i of n for the region (first, rows, ...), by the renderer's band formula.
bandrec band_for(int i, int n, int first, int rows, double x0, double dx, double y0, double dy,
                 int limit, int buttons);

// The colour word of a point: entry (limit - n) mod 256 of mycoltab.
std::uint32_t point_colour(double cx, double cy, int limit);

}  // namespace zd
