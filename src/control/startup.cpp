// startup.cpp — command line and start-up, in the order the rest of the program relies on.
#include "control/startup.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compute/kernels.h"
#include "control/location.h"
#include "control/colour_cli.h"
#include "control/view.h"
#include "display/display.h"
#include "navigation/whole.h"
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
const char* const state_names[5] = {"xmit", "ymit", "xstep", "ystep", "maxit"};

// The view state from the five numbers: centre and signed half-extents, sum or difference first.
struct ViewOf {
  double xmit, xstep, ymit, ystep;
};
ViewOf view_of(const double v[5]) {
  return {(v[0] + v[1]) / 2.0, (v[1] - v[0]) / 2.0, (v[2] + v[3]) / 2.0, (v[3] - v[2]) / 2.0};
}

template <class... A>
std::string fmt(const char* f, A... a) {
  char buf[256];
  std::snprintf(buf, sizeof buf, f, a...);
  return buf;
}

// One of five numbers; the fifth is an iteration limit, handed to the renderer as an int.
// text keeps them as given: a deep view takes every digit.
bool read_five(const char* const names[5], const char* const nums[5], double out[5],
               std::string text[5], std::string& err) {
  for (int i = 0; i < 5; ++i) {
    double v = 0.0;
    const std::string quoted = std::string("\"") + nums[i] + "\"";
    if (!read_number(nums[i], v)) {
      err = std::string(names[i]) + " " + quoted + " is not a number";
      return false;
    }
    if (!std::isfinite(v) || (i < 4 && !exact(nums[i]))) {
      err = std::string(names[i]) + " " + quoted + " is not finite";
      return false;
    }
    if (i == 4 && !(std::trunc(v) >= INT_MIN && std::trunc(v) <= INT_MAX)) {
      err = std::string(names[4]) + " " + quoted + " does not fit an int";
      return false;
    }
    out[i] = v;
    text[i] = nums[i];
  }
  return true;
}

// Whether two numbers as given are equal, all their digits considered.
bool same(const std::string& a, const std::string& b) {
  return *View::read_centre(a, true) == *View::read_centre(b, true);
}

// A half-extent too large to zoom out from.
bool too_large(double h, const char* what, const char* name, std::string& err) {
  if (!(std::fabs(h) > STEP_CEILING)) return false;
  err = fmt("the view is too %s: %s = %g is above %g", what, name, h, STEP_CEILING);
  return true;
}

bool check_view(const Cmdline& cmd, std::string& err) {
  const double* v = cmd.view;
  const ViewOf w = view_of(v);
  if (same(cmd.view_text[0], cmd.view_text[1])) {
    err = "x1 and x2 are equal: the view has no width";
  } else if (same(cmd.view_text[2], cmd.view_text[3])) {
    err = "y1 and y2 are equal: the view has no height";
  } else if (!std::isfinite(w.xmit) || !std::isfinite(w.ymit)) {
    err = "the view's centre is not finite";
  } else if (!std::isfinite(w.xstep)) {
    err = "the view's width x2 - x1 is not finite";
  } else if (!std::isfinite(w.ystep)) {
    err = "the view's height y2 - y1 is not finite";
  } else {
    return !too_large(w.xstep, "wide", "(x2 - x1) / 2", err) &&
           !too_large(w.ystep, "high", "(y2 - y1) / 2", err);
  }
  return false;
}

}  // namespace

std::optional<BigFloat> exact(const std::string& given) { return View::read_centre(given); }

bool read_view(const char* const nums[5], Cmdline& out, std::string& err) {
  if (!read_five(view_names, nums, out.view, out.view_text, err) || !check_view(out, err)) {
    return false;
  }
  out.view_given = true;
  return true;
}

bool read_view_state(const char* const nums[5], Cmdline& out, std::string& err) {
  if (!read_five(state_names, nums, out.state, out.state_text, err)) return false;
  if (View::read_half_extent(out.state_text[2])->zero()) {
    err = "xstep is 0: the view has no width";
    return false;
  }
  if (View::read_half_extent(out.state_text[3])->zero()) {
    err = "ystep is 0: the view has no height";
    return false;
  }
  if (too_large(out.state[2], "wide", "xstep", err) ||
      too_large(out.state[3], "high", "ystep", err)) {
    return false;
  }
  out.state_given = true;
  return true;
}

View start_view(const Cmdline& cmd) {
  // The design's doubles first: a view they show well is exactly the design's.
  View v;
  if (cmd.state_given) {
    const double* s = cmd.state;
    auto centre = [&](int i) {
      const auto e = exact(cmd.state_text[i]);
      return e ? *e : BigFloat(s[i], 64);
    };
    auto half = [&](int i) {
      const auto e = View::read_half_extent(cmd.state_text[i]);
      return e ? *e : FloatExp(s[i]);
    };
    v = View::of_doubles(s[0], s[1], s[2], s[3], s[4]);
    if (!v.deep) {
      v.keep_exact_centre(centre(0), centre(1), cmd.state_text[0], cmd.state_text[1]);
      return v;
    }
    return View::of_exact(centre(0), centre(1), half(2), half(3), s[4], cmd.state_text[0],
                          cmd.state_text[1]);
  }
  const ViewOf w = view_of(cmd.view);
  v = View::of_doubles(w.xmit, w.ymit, w.xstep, w.ystep, cmd.view[4]);
  if (!cmd.view_given) return v;
  // Sums and differences of the edges with more bits than they have, so that the centre and
  // half-extents hold every digit given.
  // (A Cmdline filled in by hand, without the text, has the doubles.)
  auto more = [&](int i) {
    const auto e = View::read_centre(cmd.view_text[i], true);
    return e ? *e : BigFloat(cmd.view[i], 64);
  };
  const BigFloat x1 = more(0), x2 = more(1), y1 = more(2), y2 = more(3);
  if (!v.deep) {
    v.keep_exact_centre((x1 + x2) * 0.5, (y1 + y2) * 0.5);
    return v;
  }
  return View::of_exact((x1 + x2) * 0.5, (y1 + y2) * 0.5, ((x2 - x1) * 0.5).to_floatexp(),
                        ((y2 - y1) * 0.5).to_floatexp(), cmd.view[4]);
}

bool read_window_size(const std::string& text, Cmdline& out, std::string& err) {
  const std::size_t x = text.find_first_of("xX");
  long long v[2] = {-1, -1};
  for (int i = 0; i < 2 && x != std::string::npos; ++i) {
    const std::string part = i == 0 ? text.substr(0, x) : text.substr(x + 1);
    if (part.empty() || part.size() > 6 ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      break;
    }
    v[i] = std::stoll(part);
  }
  if (v[0] < MIN_PICTURE_W || v[1] < MIN_PICTURE_H || v[0] > MAX_PICTURE_SIDE ||
      v[1] > MAX_PICTURE_SIDE) {
    err = fmt("--window \"%s\" is not WxH with W from %d to %d and H from %d to %d",
              text.c_str(), MIN_PICTURE_W, MAX_PICTURE_SIDE, MIN_PICTURE_H, MAX_PICTURE_SIDE);
    return false;
  }
  out.width = static_cast<int>(v[0]);
  out.height = static_cast<int>(v[1]);
  return true;
}

std::string window_argument(int width, int height) {
  if (width == DESIGN_W && height == DESIGN_H) return "";
  return "--window " + std::to_string(width) + "x" + std::to_string(height) + " ";
}

std::string start_arguments(const Cmdline& cmd) {
  const std::string window = window_argument(cmd.width, cmd.height);
  if (!cmd.state_given && !cmd.view_given) {  // the default view: no numbers
    return window.empty() ? "" : window.substr(0, window.size() - 1);
  }
  // The numbers as typed: a shallow view's own would round a centre given with more digits,
  // which a dive into it keeps, to 17.
  std::string args = window + (cmd.state_given ? "--view" : "--");
  const std::string* given = cmd.state_given ? cmd.state_text : cmd.view_text;
  for (int i = 0; i < 5; ++i) {
    const std::size_t first = given[i].find_first_not_of(" \t\n\r\f\v");
    const std::size_t last = given[i].find_last_not_of(" \t\n\r\f\v");
    args += " " + given[i].substr(first, last - first + 1);
  }
  return args;
}

bool positionals(const std::vector<std::string>& rest, std::vector<std::string>& nums,
                 std::string& err) {
  bool options_done = false;
  for (const std::string& a : rest) {
    double v;
    if (!options_done && a == "--") {
      options_done = true;
    } else if (!options_done && a.size() > 1 && a[0] == '-' && !read_number(a.c_str(), v)) {
      err = "unknown option " + a;
      return false;
    } else {
      nums.push_back(a);
    }
  }
  return true;
}

bool read_view_strings(const std::vector<std::string>& nums, bool state, Cmdline& out,
                       std::string& err) {
  const char* n[5];
  for (int i = 0; i < 5; ++i) n[i] = nums[i].c_str();
  return state ? read_view_state(n, out, err) : read_view(n, out, err);
}

bool read_location(const std::string& file, bool view_given, Cmdline& out, std::string& err) {
  if (view_given) {
    err = "give the view once: --location, --view or five numbers";
    return false;
  }
  const auto n = location_file(file, err);
  if (!n) return false;
  const std::vector<std::string> v(n->begin(), n->end());
  if (read_view_strings(v, true, out, err)) return true;
  err = file + ": " + err;
  return false;
}

Parsed parse_explorer_args(int argc, const char* const* argv, Cmdline& out, std::string& err) {
  out = Cmdline{};
  CLI::App app{"zoomdive"};
  app.set_help_flag();  // the program's own text
  app.allow_extras();   // the positional forms, in their order, whatever they look like
  bool help = false, version = false;
  std::string workers, rate, window, location;
  std::vector<std::string> view;
  app.add_flag("--help", help);
  app.add_flag("--version", version);
  app.add_option("--workers", workers);
  app.add_option("--view", view)->expected(5);
  app.add_option("--location", location);
  app.add_option("--window", window);
  app.add_option("--record", out.record);
  app.add_option("--rate", rate);
  ColourOptions colour;
  add_colour_options(app, colour);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    err = e.what();
    return Parsed::Error;
  }
  if (help) return Parsed::Help;
  if (version) return Parsed::Version;

  std::vector<std::string> nums;
  if (!positionals(app.remaining(), nums, err)) return Parsed::Error;
  if (nums.size() == 1) {
    out.workers = parse_worker_count(nums[0].c_str());
  } else if (nums.size() == 5) {
    if (!read_view_strings(nums, false, out, err)) return Parsed::Error;
  }

  if (app.count("--workers")) {
    if (nums.size() == 1) {
      err = "give the worker count once: --workers or one number";
      return Parsed::Error;
    }
    double w;
    if (!read_number(workers.c_str(), w) || w != std::trunc(w) || w < 0) {
      err = "--workers \"" + workers + "\" is not a whole number of at least 0";
      return Parsed::Error;
    }
    out.workers = parse_worker_count(workers.c_str());
  }
  if (app.count("--view")) {
    if (nums.size() == 5) {
      err = "give the view once: --view or five numbers";
      return Parsed::Error;
    }
    if (!read_view_strings(view, true, out, err)) return Parsed::Error;
  }
  if (app.count("--location") && !read_location(location, nums.size() == 5 || app.count("--view"), out, err)) {
    return Parsed::Error;
  }
  if (app.count("--window") && !read_window_size(window, out, err)) return Parsed::Error;
  if (app.count("--rate")) {
    double r;
    if (!read_number(rate.c_str(), r) || !(r >= MIN_RATE && r <= MAX_RATE)) {
      err = fmt("--rate \"%s\" is not a number of steps a second from %g to %g", rate.c_str(),
                MIN_RATE, MAX_RATE);
      return Parsed::Error;
    }
    out.rate = r;
  }
  if (!read_colour_options(app, colour, out, err)) return Parsed::Error;
  if (app.count("--record")) {
    if (out.record.empty()) {
      err = "--record needs a file name, not an empty one";
      return Parsed::Error;
    }
    out.record_given = true;
  }
  return Parsed::Run;
}

bool startup(const Cmdline& cmd) {
  prog.anz = cmd.workers;
  prog.pid = getpid();
  nocldwait();
  // The pointer to the centre of the 1280 x 1024 screen.
  setvaluator(MOUSEX, 640, 0, 1279);
  setvaluator(MOUSEY, 512, 0, 1023);

  if (graphic(prog.mycoltab, cmd.width, cmd.height) < 0) return false;
  prog.colouring = colouring_of(cmd);
  picture_size(cmd.width, cmd.height);

  prog.view = start_view(cmd);
  prog.home = prog.view;
  prog.shown_view = prog.view;
  prog.shown_colours = prog.colouring.kind();
  deep_progress([](long long done, long long of) {
    prog.reference = done;
    prog.reference_of = of;
  });

  prog.calc = 1;
  prog.highq = 1;

  build_logo(snap_bits.data(), prog.snap_long);
  return true;
}

}  // namespace zd
