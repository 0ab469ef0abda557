// render_cli.cpp — options of zoomdive-render, the run on the headless backend, the outputs.
#include "control/render_cli.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/startup.h"
#include "control/view.h"
#include "display/image_out.h"
#include "navigation/whole.h"
#include "platform/gfx.h"
#include "platform/headless.h"

namespace zd {

namespace {

const char* const usage_line =
    "usage: zoomdive-render [--workers N] [-o FILE.png] [--screen FILE] [--summary] "
    "[x1 x2 y1 y2 limit]\n";

const char* const help_text =
    "Computes the zoomdive explorer's first picture of a view, without a display.\n"
    "\n"
    "  --workers N    worker threads per computation (default 0: the main thread\n"
    "                 computes; counts above 512 are taken as 512)\n"
    "  -o FILE.png    write the window as shown, logo included, as an RGB PNG\n"
    "  --screen FILE  write the computed picture (no logo): 172800 little-endian\n"
    "                 32-bit words, bottom row first\n"
    "  --summary      print the view, the number of window writes and a hash of\n"
    "                 the computed picture\n"
    "  --help         show this text;  --version  show the version\n"
    "\n"
    "x1 and x2 are the left and right edges, y1 and y2 the top and bottom edges,\n"
    "limit the iteration limit; by default 3 -2 1.875 -1.874 50. Numbers may begin\n"
    "with '-'; '--' ends the options.\n";

struct Options {
  Cmdline cmd;
  std::string png, words;
  bool summary = false;
};

int usage_error(const std::string& msg) {
  std::fprintf(stderr, "zoomdive-render: %s\n", msg.c_str());
  std::fputs(usage_line, stderr);
  std::fputs("Try 'zoomdive-render --help'.\n", stderr);
  return 2;
}

bool is_number(const char* s) {
  double v;
  return read_number(s, v);
}

// Optional sign, then decimal digits only.
bool is_integer(const char* s) {
  if (*s == '+' || *s == '-') ++s;
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// Returns -1 to go on, else the exit status.
int parse(int argc, const char* const* argv, Options& o) {
  std::vector<const char*> nums;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (options_done || a[0] != '-' || a[1] == '\0' || is_number(a)) {
      nums.push_back(a);
      continue;
    }
    const bool has_value = !std::strcmp(a, "--workers") || !std::strcmp(a, "-o") ||
                           !std::strcmp(a, "--screen");
    if (has_value && i + 1 >= argc) return usage_error(std::string(a) + " needs a value");
    if (!std::strcmp(a, "--")) {
      options_done = true;
    } else if (!std::strcmp(a, "--help")) {
      std::fputs(usage_line, stdout);
      std::fputs(help_text, stdout);
      return 0;
    } else if (!std::strcmp(a, "--version")) {
      std::printf("zoomdive-render %s\n", ZD_VERSION);
      return 0;
    } else if (!std::strcmp(a, "--summary")) {
      o.summary = true;
    } else if (!std::strcmp(a, "--workers")) {
      const char* v = argv[++i];
      if (!is_integer(v)) {
        return usage_error(std::string("--workers \"") + v + "\" is not a whole number");
      }
      o.cmd.workers = parse_worker_count(v);
    } else if (!std::strcmp(a, "-o")) {
      o.png = argv[++i];
    } else if (!std::strcmp(a, "--screen")) {
      o.words = argv[++i];
    } else {
      return usage_error(std::string("unknown option ") + a);
    }
  }
  if (nums.size() == 5) {
    std::string err;
    for (int k = 0; k < 5; ++k) {
      if (!read_view_number(k, nums[k], o.cmd, err)) {
        std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
        return 2;
      }
    }
    o.cmd.view_given = true;
  } else if (!nums.empty()) {
    return usage_error("give all five view numbers or none (got " + std::to_string(nums.size()) +
                       ")");
  }
  return -1;
}

}  // namespace

int render_main(int argc, const char* const* argv) {
  Options o;
  if (const int status = parse(argc, argv, o); status >= 0) return status;

  use_backend(headless_backend());
  if (!startup(o.cmd)) {
    std::fprintf(stderr, "zoomdive-render: cannot open a window: %s\n", gfx_error());
    return 1;
  }
  // The explorer's first step with no button down: the whole picture at full quality.
  whole_picture();

  std::string err;
  if (!o.png.empty() && !write_png(o.png, headless().pixels, err)) {
    std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
    return 1;
  }
  if (!o.words.empty() && !write_words(o.words, screen, WINWORDS, err)) {
    std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
    return 1;
  }
  if (o.summary) {
    std::printf("view %.17g %.17g %.17g %.17g %.17g\n", xmit, ymit, xstep, ystep, maxit);
    std::printf("frames %lld\n", headless().writes);
    std::printf("screen %016" PRIx64 "\n", fnv1a_words(screen, WINWORDS));
  }
  gexit();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zoomdive-render: cannot write standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace zd
