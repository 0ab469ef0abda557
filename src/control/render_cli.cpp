// render_cli.cpp — options of zoomdive-render, the run on the headless backend, the outputs.
#include "control/render_cli.h"

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "control/startup.h"
#include "control/view.h"
#include "display/image_out.h"
#include "navigation/loop.h"
#include "navigation/whole.h"
#include "platform/gfx.h"
#include "platform/headless.h"
#include "platform/script.h"

namespace zd {

namespace {

const char* const usage_line =
    "usage: zoomdive-render [--workers N] [--replay SCRIPT] [--frames DIR] [-o FILE.png]\n"
    "                       [--screen FILE] [--summary] [x1 x2 y1 y2 limit]\n";

const char* const help_text =
    "Computes the zoomdive explorer's pictures without a display: the first picture of a\n"
    "view or, with --replay, a whole session played from recorded mouse input.\n"
    "\n"
    "  --workers N      worker threads per computation (default 0: the main thread\n"
    "                   computes; counts above 512 are taken as 512)\n"
    "  --replay SCRIPT  play SCRIPT through the explorer's navigation loop\n"
    "  --frames DIR     write every window write as DIR/frame-000001.png, ...\n"
    "                   (DIR is created if needed)\n"
    "  -o FILE.png      write the window as last shown, logo included, as an RGB PNG\n"
    "  --screen FILE    write the computed picture (no logo): 172800 little-endian\n"
    "                   32-bit words, bottom row first\n"
    "  --summary        print the view, the number of window writes and a hash of\n"
    "                   the computed picture\n"
    "  --help           show this text;  --version  show the version\n"
    "\n"
    "x1 and x2 are the left and right edges, y1 and y2 the top and bottom edges,\n"
    "limit the iteration limit; by default 3 -2 1.875 -1.874 50. Numbers may begin\n"
    "with '-'; '--' ends the options.\n"
    "\n"
    "A script has one line per state of the mouse, BUTTONS DX DY: BUTTONS is '-' or\n"
    "letters from L, M, R (left, middle, right held); DX and DY the pointer's offset\n"
    "from the screen centre in valuator counts (1280 x 1024 screen), DX to the right,\n"
    "DY upward. Blank lines and lines starting with '#' are skipped. The next line\n"
    "takes effect at every pointer re-centring and when the explorer waits for input;\n"
    "after the last line the right button ends the session. Example, a short dive:\n"
    "  L 0 0\n  L 0 0\n  - 0 0\n";

struct Options {
  Cmdline cmd;
  std::string png, words, replay, frames;
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
                           !std::strcmp(a, "--screen") || !std::strcmp(a, "--replay") ||
                           !std::strcmp(a, "--frames");
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
    } else if (!std::strcmp(a, "--replay")) {
      o.replay = argv[++i];
    } else if (!std::strcmp(a, "--frames")) {
      o.frames = argv[++i];
    } else {
      return usage_error(std::string("unknown option ") + a);
    }
  }
  if (nums.size() == 5) {
    if (std::string err; !read_view(nums.data(), o.cmd, err)) {
      std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
      return 2;
    }
  } else if (!nums.empty()) {
    return usage_error("give all five view numbers or none (got " + std::to_string(nums.size()) +
                       ")");
  }
  return -1;
}

// A failure inside the window-write hook; it unwinds the replay.
struct WriteFailed {
  std::string what;
};

// Sees every window write: saves it as a numbered frame and shows progress on a terminal.
class FrameSink {
 public:
  FrameSink(std::string dir, const ScriptedInput* script)
      : dir_(std::move(dir)), script_(script), tty_(isatty(STDERR_FILENO) == 1) {}

  void operator()(const HeadlessState& hs) {
    if (!dir_.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "frame-%06lld.png", hs.writes);
      std::string err;
      if (!write_png(dir_ + "/" + name, hs.pixels, err)) throw WriteFailed{err};
    }
    if (tty_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - shown_ >= std::chrono::milliseconds(100)) {
        shown_ = now;
        progress(hs.writes);
      }
    }
  }

  // Ends the progress line, if one was shown.
  void done(long long writes) {
    if (tty_ && shown_ != std::chrono::steady_clock::time_point{}) {
      progress(writes);
      std::fputc('\n', stderr);
    }
  }

 private:
  void progress(long long writes) {
    if (script_) {
      std::fprintf(stderr, "\rzoomdive-render: frame %lld, script line %zu of %zu ", writes,
                   script_->activated(), script_->size());
    } else {
      std::fprintf(stderr, "\rzoomdive-render: frame %lld ", writes);
    }
  }

  std::string dir_;
  const ScriptedInput* script_;
  bool tty_;
  std::chrono::steady_clock::time_point shown_{};
};

int fail(const std::string& msg) {
  std::fprintf(stderr, "zoomdive-render: %s\n", msg.c_str());
  return 1;
}

}  // namespace

int render_main(int argc, const char* const* argv) {
  Options o;
  if (const int status = parse(argc, argv, o); status >= 0) return status;

  // Everything that can be refused is refused before anything is computed or written.
  std::vector<ScriptLine> lines;
  if (!o.replay.empty()) {
    std::string err;
    if (!load_script(o.replay, lines, err)) {
      std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
      return 2;
    }
  }
  if (!o.frames.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.frames, ec);
    if (ec || !std::filesystem::is_directory(o.frames)) {
      return fail("cannot create the frame folder " + o.frames + ": " +
                  (ec ? ec.message() : "not a folder"));
    }
  }

  use_backend(headless_backend());
  if (!startup(o.cmd)) return fail(std::string("cannot open a window: ") + gfx_error());

  ScriptedInput script(std::move(lines));
  FrameSink sink(o.frames, o.replay.empty() ? nullptr : &script);
  headless().on_write = [&sink](const HeadlessState& hs) { sink(hs); };
  try {
    if (o.replay.empty()) {
      // The explorer's first step with no button down: the whole picture at full quality.
      whole_picture();
    } else {
      script.attach(headless());
      paint_mandel();
    }
  } catch (const WriteFailed& e) {
    sink.done(headless().writes);
    return fail(e.what);
  }
  sink.done(headless().writes);
  headless().on_write = nullptr;

  std::string err;
  if (!o.png.empty() && !write_png(o.png, headless().pixels, err)) return fail(err);
  if (!o.words.empty() && !write_words(o.words, screen, WINWORDS, err)) return fail(err);
  if (o.summary) {
    std::printf("view %.17g %.17g %.17g %.17g %.17g\n", xmit, ymit, xstep, ystep, maxit);
    std::printf("frames %lld\n", headless().writes);
    std::printf("screen %016" PRIx64 "\n", fnv1a_words(screen, WINWORDS));
  }
  gexit();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail("cannot write standard output");
  }
  return 0;
}

}  // namespace zd
