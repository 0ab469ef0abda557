// whole.cpp — the window's picture: its size, the renderer's orders, the whole picture of the
// view, and what is asked of the window system while a picture is computed.
#include "navigation/whole.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "compute/minibrot.h"
#include "control/view.h"
#include "navigation/mouse.h"
#include "platform/gfx.h"

namespace zd {

namespace {

using Clock = std::chrono::steady_clock;

// What the poll keeps between its calls.
struct Watch {
  Clock::time_point last_poll{}, last_title{};
  Clock::time_point since{};  // the picture in progress began
  bool titled = false;        // the title shows a progress
  const char* task = nullptr;  // what is being done, if not a picture
};
Watch watch;

// A picture that has taken more than a second says how far it is in the window's title.
void tell_progress(Clock::time_point now) {
  if (now - watch.since < std::chrono::seconds(1) ||
      now - watch.last_title < std::chrono::milliseconds(250)) {
    return;
  }
  watch.last_title = now;
  std::string what;
  const long long of = prog.reference_of.load(), done = prog.reference.load();
  const WorkTally& t = prog.tally;
  int pass = 2;
  while (pass > 0 && t.queued[pass].load() == 0) --pass;
  if (watch.task) {
    what = watch.task;
  } else if (of > 0 && done < of) {  // the deep kernel's preparation
    what = "reference orbit " + std::to_string(done * 100 / of) + " %";
  } else {
    const long long q = std::max(1LL, t.queued[pass].load());
    const char* const passes[] = {"coarse pass", "refining blocks", "refining pixels"};
    what = std::string(passes[pass]) + " " +
           std::to_string(std::min(100LL, t.counted[pass].load() * 100 / q)) + " %";
  }
  wintitle(("zoomdive — " + what).c_str());
  watch.titled = true;
}

// Asked now and then while a picture is computed: a quit abandons the picture, a press the
// refinement in progress. The window system is asked at most every few milliseconds.
void poll_input() {
  const auto now = Clock::now();
  if (now - watch.last_poll < std::chrono::milliseconds(5)) return;
  watch.last_poll = now;
  const int i = interrupted();
  if (i == INTERRUPT_QUIT) {
    prog.stop = STOP_ALL;
  } else if (i == INTERRUPT_PRESS && prog.stop.load() < STOP_REFINING) {
    prog.stop = STOP_REFINING;
  }
  tell_progress(now);
}

// The picture to the window; a title that showed its progress is the window's own again.
void show_window() {
  prog.shown_view = prog.view;
  prog.shown_colours = prog.colouring.kind();
  show(prog.screen, prog.screenbak, prog.snap_long);
  if (watch.titled) wintitle("zoomdive");
  watch.titled = false;
}

// A picture (or a strip of it) begins: the poll asks at once, and times it afresh.
void begin_picture() {
  watch.last_poll = {};
  watch.since = Clock::now();
  prog.reference = prog.reference_of = 0;
}

}  // namespace

void picture_size(int width, int height) {
  prog.screen.resize(std::max(width, MIN_PICTURE_W), std::max(height, MIN_PICTURE_H));
  prog.screenbak.assign(static_cast<std::size_t>(prog.screen.width) * prog.screen.height, 0);
  prog.XPTS = prog.screen.stride;
  prog.YPTS = prog.screen.height;
  prog.LOX = prog.LOY = 0;
  prog.picture_coarse = false;
}

View picture_view() { return prog.view.fitted(prog.screen.width, prog.screen.height); }

int preview_block(int width, int height) {
  // At most twice the design's 120 x 90 coarse blocks.
  int s = 4;
  while (static_cast<long long>((width + s - 1) / s) * ((height + s - 1) / s) >
         2LL * (DESIGN_W / 4) * (DESIGN_H / 4)) {
    s *= 2;
  }
  return s;
}

Rendering rendering(const Region& direct) {
  Rendering r;
  r.screen = &prog.screen;
  r.LOX = prog.LOX;
  r.XPTS = prog.XPTS;
  r.kernel = prog.kernel;
  r.coltab = prog.mycoltab;
  r.colouring = &prog.colouring;
  r.direct = prog.screen.running_sums() ? nullptr : &direct;
  r.grid_bands = !prog.screen.running_sums() || prog.view.deep;
  r.anz = prog.anz;
  r.pid = prog.pid;
  r.highq = prog.highq;
  r.no_firstpass = prog.no_firstpass;
  r.preview = preview_block(prog.screen.width, prog.screen.height);
  r.refining = prog.no_firstpass != 0;  // what a held button left
  r.views_only = prog.views_only;
  r.say_to = prog.say_to;
  r.buttons = mygetbutton;
  r.show = show_window;
  r.poll = poll_input;
  r.stop = &prog.stop;
  r.tally = &prog.tally;
  r.picture_coarse = &prog.picture_coarse;
  return r;
}

bool user_left() {
  poll_input();
  return prog.stop.load() == STOP_ALL;
}

bool prepare_kernel(const View& pv) {
  if (prog.views_only) return true;  // a deep view's reference orbit is no view's concern
  begin_picture();
  const PointKernel* k = kernel_for(pv);
  const bool ready =
      k->prepare(pv, prog.screen.width, prog.screen.height, limit_of(pv.maxit), user_left);
  if (ready) prog.kernel = k;
  return ready;
}

int find_copy(View& v) {
  begin_picture();
  watch.task = "looking for a small copy";
  struct Done {  // however the search ends, the title is the window's own again
    ~Done() {
      watch.task = nullptr;
      if (watch.titled) wintitle("zoomdive");
      watch.titled = false;
    }
  } done;
  View w = v;
  w.take_doubles();  // a shallow centre moved by pans is its doubles
  // Discs ever smaller around the centre, down to about a pixel: a copy the view already shows
  // large is passed over for a small one nearer the centre, so that N, on a copy's view nudged
  // off its nucleus, goes on to a smaller copy. And the period is a first-order estimate: in a
  // disc wide against the detail around its centre (the seahorse valley) Newton's method from
  // the centre may not reach a nucleus of it, where a smaller disc's copy is reached.
  const FloatExp half = abs(w.ys);
  std::optional<Minibrot> m, large;
  for (int shrink = 0; shrink <= COPY_SHRINKS && !m; ++shrink) {
    bool cancelled = false;
    int ball = 0;
    m = find_minibrot(w.cx, w.cy, ldexp(half, -2 * shrink), Reference::kMaxLength, user_left, &cancelled,
                      &ball);
    if (cancelled) return -1;
    if (ball == 0) break;  // (an orbit that never comes near 0, as inside a copy: none smaller)
    if (m && !(m->size < half / COPY_SMALL)) {
      if (!large) large = m;
      m.reset();
    }
  }
  if (!m) m = large;
  if (!m) return 0;
  // Its main body about a fifth of the picture's height; a limit that shows the copy as the
  // default view's shows the whole set, and never lower than the one the user had.
  const FloatExp h = m->size * FloatExp(COPY_FRAME);
  const double limit = std::min(std::max(v.maxit, COPY_LIMIT * m->period), 2147483647.0);
  v = View::of_exact(m->cx, m->cy, -(h * FloatExp(4.0) / FloatExp(3.0)), -h, limit);
  return m->period;
}

void whole_picture() {
  const View pv = picture_view();
  if (prepare_kernel(pv)) {
    const Region r = pv.region(0, 0, prog.screen.width, prog.screen.height);
    mandel(rendering(r), prog.LOY, prog.YPTS, r.x0, r.dx, r.y0, r.dy, limit_of(pv.maxit));
  }
  prog.no_firstpass = 0;
}

}  // namespace zd
