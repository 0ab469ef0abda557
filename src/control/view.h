// view.h — the program's state in one struct: the view, the window's picture and its geometry,
// the flags, the workers, the tables. Every part reads and writes it as prog.NAME, the design's
// names (prog.view.xmit, prog.XPTS, prog.screen, ...); compute and display are handed what they
// need of it.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "compute/bandrec.h"
#include "compute/picture.h"
#include "compute/viewpoint.h"
#include "display/colouring.h"
#include "display/display.h"

namespace zd {

// A back-out step that would take a half-extent beyond this is not taken: it lies hundreds of
// decades beyond the whole set, and nothing computed from it overflows. Diving has no floor.
constexpr double STEP_CEILING = View::STEP_CEILING;

struct State {
  // The view: centre, signed half-extents and the limit (a double, truncated when handed out),
  // with the precision its depth needs (compute/viewpoint.h): prog.view.xmit, .ymit, .xstep,
  // .ystep, .maxit.
  View view;
  // The start view and limit, which the Home key brings back.
  View home;

  // The window's picture: its size is the window's, and is kept here alone. screen holds the
  // computed words and never logo pixels; screenbak the display copy with the logo stamped in
  // (width x height words, bottom row first), as the window was last written.
  Picture screen;
  std::vector<std::uint32_t> screenbak;
  // Picture geometry: the walked width (screen.stride), the height and 0, 0, except while a pan
  // strip is computed.
  int XPTS = 0, YPTS = 0, LOX = 0, LOY = 0;
  // Control flags (0 or 1).
  int calc = 0, highq = 0, no_firstpass = 0;
  // Worker count per computation (0: the main thread computes) and the main process's id.
  int anz = 0, pid = 0;
  // The window shows pixels computed at coarse quality only (a button was down when they were
  // computed, or highq is 0) that no full-quality whole picture has replaced since. The
  // renderer keeps it; the navigation loop refines such a picture when the user rests.
  bool picture_coarse = false;

  std::uint32_t snap_long[LOGOW * LOGOH] = {};  // the logo block
  std::uint32_t mycoltab[256] = {};
  // How counts become colours (--colour, --palette, the C key); the design's: mycoltab.
  Colouring colouring;
  // The view and colouring of the picture last written to the window (screenbak), which S
  // saves: a picture in progress may already be of the next.
  View shown_view;
  Colours shown_colours = Colours::Design;
  // The kernel the pictures of the current view are computed with (compute/kernels.h), once
  // prepared for it.
  const PointKernel* kernel = nullptr;

  // Set while a picture may be abandoned (Stop): the explorer's poll raises it.
  std::atomic<int> stop{0};

  // Pictures are not computed (Rendering::views_only): a film learns its views so.
  bool views_only = false;

  // Where the renderer's two messages go (null: standard output). A batch run whose standard
  // output carries what was asked for sends them to standard error.
  std::FILE* say_to = nullptr;
  // Told the period of each copy the loop's CMD_MINIBROT goes to, or 0 if it found none.
  void (*on_copy)(int period) = nullptr;

  // What the band workers have done, and the deep kernel's preparation: reference orbit
  // iterations made, of how many.
  WorkTally tally;
  std::atomic<long long> reference{0}, reference_of{0};
};

extern State prog;

// Puts the whole program back to its state before start-up: this struct (all zero), the
// process services (wake-ups, test hooks) and the graphics backend in use (a fresh, closed
// window). For tests and benchmarks that run start-up again.
void reset_state();

}  // namespace zd
