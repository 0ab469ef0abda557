// startup.cpp — command line and start-up, in the order the rest of the program relies on.
#include "control/startup.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/view.h"
#include "display/display.h"
#include "platform/gfx.h"
#include "platform/proc.h"

namespace zd {

int parse_worker_count(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  long long v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
    v = v * 10 + (*s - '0');
    if (v > INT_MAX) v = INT_MAX + 1LL;  // saturate; the exact size no longer matters
  }
  if (neg) v = -v;
  if (v > MAXWORKERS) return MAXWORKERS;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool read_number(const char* s, double& v) {
  char* end = nullptr;
  v = std::strtod(s, &end);
  if (end == s) return false;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  return *end == '\0';
}

namespace {

const char* const view_names[5] = {"x1", "x2", "y1", "y2", "limit"};

// The view state from the five numbers: centre and signed half-extents, sum or difference first.
struct ViewOf {
  double xmit, xstep, ymit, ystep;
};
ViewOf view_of(const double v[5]) {
  return {(v[0] + v[1]) / 2.0, (v[1] - v[0]) / 2.0, (v[2] + v[3]) / 2.0, (v[3] - v[2]) / 2.0};
}

std::string fmt(const char* f, double v, double bound) {
  char buf[160];
  std::snprintf(buf, sizeof buf, f, v, bound);
  return buf;
}

bool read_view_number(int i, const char* s, Cmdline& out, std::string& err) {
  double v = 0.0;
  const std::string quoted = std::string("\"") + s + "\"";
  if (!read_number(s, v)) {
    err = std::string(view_names[i]) + " " + quoted + " is not a number";
    return false;
  }
  if (!std::isfinite(v)) {
    err = std::string(view_names[i]) + " " + quoted + " is not finite";
    return false;
  }
  // The renderer is handed the limit truncated to an int.
  if (i == 4 && !(std::trunc(v) >= INT_MIN && std::trunc(v) <= INT_MAX)) {
    err = std::string("limit ") + quoted + " does not fit an int";
    return false;
  }
  out.view[i] = v;
  return true;
}

bool check_view(const Cmdline& cmd, std::string& err) {
  const double* v = cmd.view;
  const ViewOf w = view_of(v);
  if (v[0] == v[1]) {
    err = "x1 and x2 are equal: the view has no width";
  } else if (v[2] == v[3]) {
    err = "y1 and y2 are equal: the view has no height";
  } else if (!std::isfinite(w.xmit) || !std::isfinite(w.ymit)) {
    err = "the view's centre is not finite";
  } else if (!std::isfinite(w.xstep)) {
    err = "the view's width x2 - x1 is not finite";
  } else if (!std::isfinite(w.ystep)) {
    err = "the view's height y2 - y1 is not finite";
  } else if (std::fabs(w.xstep) < STEP_FLOOR) {
    err = fmt("the view is too narrow: (x2 - x1) / 2 = %g is below %g", w.xstep, STEP_FLOOR);
  } else if (std::fabs(w.ystep) < STEP_FLOOR) {
    err = fmt("the view is too low: (y2 - y1) / 2 = %g is below %g", w.ystep, STEP_FLOOR);
  } else if (std::fabs(w.xstep) > STEP_CEILING) {
    err = fmt("the view is too wide: (x2 - x1) / 2 = %g is above %g", w.xstep, STEP_CEILING);
  } else if (std::fabs(w.ystep) > STEP_CEILING) {
    err = fmt("the view is too high: (y2 - y1) / 2 = %g is above %g", w.ystep, STEP_CEILING);
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool read_view(const char* const nums[5], Cmdline& out, std::string& err) {
  for (int i = 0; i < 5; ++i) {
    if (!read_view_number(i, nums[i], out, err)) return false;
  }
  if (!check_view(out, err)) return false;
  out.view_given = true;
  return true;
}

Parsed parse_explorer_args(int argc, const char* const* argv, Cmdline& out, std::string& err) {
  out = Cmdline{};
  const int n = argc - 1;
  if (n == 1) {
    if (std::strcmp(argv[1], "--help") == 0) return Parsed::Help;
    if (std::strcmp(argv[1], "--version") == 0) return Parsed::Version;
    out.workers = parse_worker_count(argv[1]);
  } else if (n == 5) {
    if (!read_view(argv + 1, out, err)) return Parsed::Error;
  }
  return Parsed::Run;
}

bool startup(const Cmdline& cmd) {
  anz = cmd.workers;
  pid = getpid();
  nocldwait();
  // The pointer to the centre of the 1280 x 1024 screen.
  setvaluator(MOUSEX, 640, 0, 1279);
  setvaluator(MOUSEY, 512, 0, 1023);

  screen = prog.screen_words;
  screenbak = prog.screenbak_words;
  std::memset(screen, 0, BUFWORDS * sizeof *screen);
  std::memset(screenbak, 0, BUFWORDS * sizeof *screenbak);

  if (graphic() < 0) return false;

  const ViewOf v = view_of(cmd.view);
  xmit = v.xmit;
  xstep = v.xstep;
  ymit = v.ymit;
  ystep = v.ystep;
  maxit = cmd.view[4];

  const int w = static_cast<int>(480.0);
  XPTS = w & ~1;
  YPTS = (w * 360 / 480) & ~1;
  LOX = ((WINW - XPTS) / 2) & ~1;
  LOY = ((WINH - YPTS) / 2) & ~1;

  // Black outside the picture rectangle (nothing, with the picture filling the window).
  for (int r = 0; r < WINH; ++r) {
    const bool in_rows = r >= LOY && r < LOY + YPTS;
    for (int c = 0; c < WINW; ++c) {
      if (in_rows && c == LOX && XPTS > 0) {
        c = LOX + XPTS - 1;
        continue;
      }
      screen[r * WINW + c] = 0;
    }
  }

  calc = 1;
  highq = 1;

  snap_long = prog.logo_words;
  build_logo(snap_bits.data(), snap_long);
  return true;
}

}  // namespace zd
