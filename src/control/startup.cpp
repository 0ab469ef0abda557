// startup.cpp — command line and start-up, in the order the rest of the program relies on.
#include "control/startup.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "control/view.h"
#include "display/display.h"
#include "platform/gfx.h"
#include "platform/proc.h"

namespace zd {

namespace {
const char* const view_names[5] = {"x1", "x2", "y1", "y2", "limit"};
}

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

Parsed parse_explorer_args(int argc, const char* const* argv, Cmdline& out, std::string& err) {
  out = Cmdline{};
  const int n = argc - 1;
  if (n == 1) {
    if (std::strcmp(argv[1], "--help") == 0) return Parsed::Help;
    if (std::strcmp(argv[1], "--version") == 0) return Parsed::Version;
    out.workers = parse_worker_count(argv[1]);
  } else if (n == 5) {
    for (int i = 0; i < 5; ++i) {
      if (!read_view_number(i, argv[1 + i], out, err)) return Parsed::Error;
    }
    out.view_given = true;
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

  screen = screen_storage();
  screenbak = screenbak_storage();
  std::memset(screen, 0, BUFWORDS * sizeof *screen);
  std::memset(screenbak, 0, BUFWORDS * sizeof *screenbak);

  if (graphic() < 0) return false;

  const double x1 = cmd.view[0], x2 = cmd.view[1], y1 = cmd.view[2], y2 = cmd.view[3];
  xmit = (x1 + x2) / 2.0;
  xstep = (x2 - x1) / 2.0;
  ymit = (y1 + y2) / 2.0;
  ystep = (y2 - y1) / 2.0;
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

  snap_long = logo_storage();
  build_logo(snap_bits.data(), snap_long);
  return true;
}

}  // namespace zd
