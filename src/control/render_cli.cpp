// render_cli.cpp — options of zoomdive-render, the run on the headless backend, the outputs.
#include "control/render_cli.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/location.h"
#include "control/colour_cli.h"
#include "control/outputs.h"
#include "control/poster_cli.h"
#include "control/progress.h"
#include "control/startup.h"
#include "control/view.h"
#include "display/image_out.h"
#include "navigation/loop.h"
#include "navigation/whole.h"
#include "platform/gfx.h"
#include "platform/headless.h"

namespace zd {

namespace {

const char* const usage_line =
    "usage: zoomdive-render [--workers N] [--window WxH] [--replay SCRIPT] [--frames DIR]\n"
    "                       [-o FILE.png] [--screen FILE] [--summary] [--find-minibrot]\n"
    "                       [--colour NAME] [--palette FILE]\n"
    "                       [x1 x2 y1 y2 limit | --view XMIT YMIT XSTEP YSTEP MAXIT |\n"
    "                        --location FILE]\n";

const char* const help_text =
    "Computes the zoomdive explorer's pictures without a display: the first picture of a\n"
    "view or, with --replay, a whole session played from recorded mouse input.\n"
    "\n"
    "  --workers N      worker threads per computation (default 0: the main thread\n"
    "                   computes; counts above 512 are taken as 512)\n"
    "  --window WxH     the explorer's window is W x H (default 480x360; from 64x48)\n"
    "  --replay SCRIPT  play SCRIPT through the explorer's navigation loop\n"
    "  --frames DIR     write every window write as DIR/frame-000001.png, ...\n"
    "                   (DIR is made if needed)\n"
    "  -o FILE.png      write the window as last shown, logo included, as an RGB PNG\n"
    "  --screen FILE    write the computed picture (no logo): W x H little-endian\n"
    "                   32-bit words, bottom row first\n"
    "  --summary        print the view, the number of window writes, a hash of the\n"
    "                   computed picture and the view as a location\n"
    "  --location FILE  the view of a location file (Re:, Im:, Zoom: and Iterations:\n"
    "                   lines, the usual orientation) or of a PNG zoomdive wrote\n"
    "  --find-minibrot  go to a small copy of the set near the centre of the view, as\n"
    "                   the explorer's N (after --replay): its nucleus centred, its\n"
    "                   body about a fifth of the height; --summary prints its period\n"
    "  --colour NAME    how counts become colours: design (the default, the design's\n"
    "                   table), smooth (a palette run through by a continuous count),\n"
    "                   distance (smooth, darker near the set)\n"
    "  --palette FILE   the colours smooth and distance run through: one #rrggbb a\n"
    "                   line, blank lines ignored (default: a built-in palette)\n"
    "  --help           show this text;  --version  show the version\n"
    "\n"
    "x1 and x2 are the left and right edges, y1 and y2 the top and bottom edges,\n"
    "limit the iteration limit; by default 3 -2 1.875 -1.874 50. Numbers may begin\n"
    "with '-'; '--' ends the options. --view gives the view state itself: the centre,\n"
    "the signed half-extents and the limit, as the explorer's P key and --summary\n"
    "print them.\n"
    "\n"
    "Outputs: '-' is standard output. An existing file is replaced whole, keeping its\n"
    "permissions; a symlink is followed; a character device or a FIFO is written\n"
    "directly. Every output is checked before anything is computed, and a run that\n"
    "fails leaves none of its outputs behind (exit status 1); unusable arguments give\n"
    "exit status 2.\n"
    "\n"
    "A script has one line per state of the mouse, BUTTONS DX DY: BUTTONS is '-' or\n"
    "letters from L, M, R (left, middle, right held); DX and DY the pointer's offset\n"
    "from the screen centre in valuator counts (1280 x 1024 screen), DX to the right,\n"
    "DY upward; or a key: home, limit*2, limit/2, undo, redo, minibrot (as N),\n"
    "window WxH (the window resized), colour NAME (the colouring changed). Blank\n"
    "lines and lines starting with '#' are skipped. The next line takes effect at\n"
    "every pointer re-centring and when the explorer waits for input; after the last\n"
    "line the right button ends the session. Example, a short dive:\n"
    "  L 0 0\n  L 0 0\n  - 0 0\n";

struct Options {
  Cmdline cmd;
  std::string png, words, replay, frames;
  bool png_given = false, words_given = false, frames_given = false, replay_given = false;
  bool summary = false, find_minibrot = false;
  PosterOptions poster;
};

// Optional sign, then decimal digits only.
bool is_integer(const std::string& s) {
  std::size_t i = s[0] == '+' || s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

bool ends_with_png(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".png";
}

// Returns -1 to go on, else the exit status.
int parse(int argc, const char* const* argv, Options& o) {
  CLI::App app{"zoomdive-render"};
  app.set_help_flag();  // our own text, below
  app.allow_extras();   // the view numbers, in their order, whatever they look like
  bool help = false, version = false;
  std::string workers, window, location;
  std::vector<std::string> view;
  app.add_flag("--help", help);
  app.add_flag("--version", version);
  app.add_flag("--summary", o.summary);
  app.add_flag("--find-minibrot", o.find_minibrot);
  app.add_option("--location", location);
  app.add_option("--workers", workers);
  app.add_option("--replay", o.replay);
  app.add_option("-o", o.png);
  app.add_option("--screen", o.words);
  app.add_option("--frames", o.frames);
  app.add_option("--view", view)->expected(5);
  app.add_option("--window", window);
  add_poster_options(app, o.poster);
  ColourOptions colour;
  add_colour_options(app, colour);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (help) {
    std::fputs(usage_line, stdout);
    std::fputs(poster_usage, stdout);
    std::fputs(help_text, stdout);
    std::fputs(poster_help, stdout);
    return 0;
  }
  if (version) {
    std::printf("zoomdive-render %s\n", ZD_VERSION);
    return 0;
  }

  std::vector<std::string> nums;
  if (std::string err; !positionals(app.remaining(), nums, err)) return usage_error(err);

  if (app.count("--workers")) {
    if (!is_integer(workers)) {
      return usage_error("--workers \"" + workers + "\" is not a whole number");
    }
    o.cmd.workers = parse_worker_count(workers.c_str());
    if (o.cmd.workers < 0) return usage_error("--workers " + workers + " is negative");
  }
  if (std::string err; app.count("--window") && !read_window_size(window, o.cmd, err)) {
    return usage_error(err);
  }
  if (std::string err; !read_colour_options(app, colour, o.cmd, err)) {
    std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
    return 2;
  }
  o.replay_given = app.count("--replay") > 0;
  o.png_given = app.count("-o") > 0;
  o.words_given = app.count("--screen") > 0;
  o.frames_given = app.count("--frames") > 0;
  const std::pair<bool, const std::string*> named[] = {
      {o.png_given, &o.png}, {o.words_given, &o.words}, {o.frames_given, &o.frames}};
  const char* const names[] = {"-o", "--screen", "--frames"};
  for (int i = 0; i < 3; ++i) {
    if (named[i].first && named[i].second->empty()) {
      return usage_error(std::string(names[i]) + " needs a file name, not an empty one");
    }
  }
  if (o.png_given && o.png == "-" && o.words_given && o.words == "-") {
    return usage_error("-o - and --screen - cannot both go to standard output");
  }
  if (o.summary && ((o.png_given && o.png == "-") || (o.words_given && o.words == "-"))) {
    return usage_error("--summary goes to standard output: give -o or --screen a file");
  }
  if (o.frames_given && o.frames == "-") return usage_error("--frames needs a folder, not -");
  const OtherOptions others{o.replay_given, o.frames_given, o.words_given, o.summary,
                            o.png_given && o.png == "-"};
  if (std::string err = check_poster_options(app, o.poster, others); !err.empty()) {
    return usage_error(err);
  }

  if (app.count("--view") && !nums.empty()) {
    return usage_error("give the view once: --view or five numbers");
  }
  if (nums.size() == 5 || app.count("--view")) {
    if (std::string err; !read_view_strings(nums.size() == 5 ? nums : view,
                                            app.count("--view") > 0, o.cmd, err)) {
      std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
      return 2;
    }
  } else if (!nums.empty()) {
    return usage_error("give all five view numbers or none (got " + std::to_string(nums.size()) +
                       ")");
  }
  if (app.count("--location")) {
    if (std::string err; !read_location(location, o.cmd.view_given || o.cmd.state_given, o.cmd, err)) {
      std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
      return 2;
    }
  }
  if (o.find_minibrot && o.poster.size) {
    return usage_error("--find-minibrot is for the window's picture, not with --size");
  }
  return -1;
}

// A failure inside the window-write hook; it unwinds the replay.
struct WriteFailed {
  std::string what;
};

// Sees every window write: stages it as a numbered frame and counts it for the progress line.
class FrameSink {
 public:
  FrameSink(OutputRun* frames, const ScriptedInput* script, Progress& progress)
      : frames_(frames), script_(script), progress_(progress) {}

  void operator()(const HeadlessState& hs) {
    if (frames_) {
      const std::string err = frames_->frame(
          hs.writes, [&](std::FILE* f) {
            return png_to(f, hs.pixels.data(), hs.width, hs.height, PNG_KEYWORD, remake_window(hs.width, hs.height));
          });
      if (!err.empty()) throw WriteFailed{err};
    }
    progress_.frames = hs.writes;
    if (script_) progress_.lines = static_cast<long long>(script_->activated());
  }

 private:
  OutputRun* frames_;
  const ScriptedInput* script_;
  Progress& progress_;
};

}  // namespace

int render_main(int argc, const char* const* argv) {
  // A reader that quits (a pipe, a FIFO) or a file size limit makes a write fail, which the
  // run reports, instead of ending the process unexplained.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  Options o;
  if (const int status = parse(argc, argv, o); status >= 0) return status;

  // Everything that can be refused is refused before anything is computed or written.
  std::vector<ScriptLine> lines;
  if (o.replay_given) {
    std::string err;
    if (!load_script(o.replay, lines, err)) {
      std::fprintf(stderr, "zoomdive-render: %s\n", err.c_str());
      return 2;
    }
  }
  Target png, words;
  std::vector<Named> named;
  std::string unusable;  // the first output that cannot be written
  for (auto [given, option, name, t] : {std::tuple{o.png_given, "-o", &o.png, &png},
                                        std::tuple{o.words_given, "--screen", &o.words, &words}}) {
    if (!given) continue;
    const std::string err = find_target(*name, *t);
    // A file's name says what is in it; a device or a pipe has no such name.
    if (t == &png && t->kind != Target::Stream && t->kind != Target::Stdout &&
        !ends_with_png(o.png)) {
      return usage_error("-o \"" + o.png + "\": only PNG is written, to a name ending in .png");
    }
    if (unusable.empty()) unusable = err;
    named.push_back({option, t});
  }
  // One file named twice is a mistake in the command line, whether or not it could be written.
  if (const std::string err = named_twice(named, o.frames_given ? o.frames : "", o.poster.first,
                                          o.poster.last);
      !err.empty()) {
    return usage_error(err);
  }
  if (!unusable.empty()) return fail(unusable);
  OutputRun run;
  if (o.frames_given) {
    if (const std::string err = run.frames_folder(o.frames); !err.empty()) return fail(err);
  }
  for (const Named& n : named) {
    if (const std::string err = run.reserve(*n.target); !err.empty()) return fail(err);
  }

  if (o.poster.size) {
    PosterRun posters{o.cmd, std::move(lines), o.replay_given, o.frames_given, o.summary,
                      o.png_given ? &png : nullptr, run};
    return render_posters(o.poster, posters);
  }

  use_backend(headless_backend());
  if (!startup(o.cmd)) return fail(std::string("cannot open a window: ") + gfx_error());
  prog.say_to = stderr;  // standard output carries only what was asked for

  ScriptedInput script(std::move(lines));
  Progress progress("zoomdive-render");
  if (o.replay_given) progress.lines_of = static_cast<long long>(script.size());
  FrameSink sink(o.frames_given ? &run : nullptr, o.replay_given ? &script : nullptr, progress);
  headless().on_write = [&sink](const HeadlessState& hs) { sink(hs); };
  int period = 0;
  try {
    if (o.replay_given) {
      script.attach(headless());
      paint_mandel();
    }
    if (o.find_minibrot) {
      // The session is over: its last line's right button is no longer down for the picture.
      headless().on_read = nullptr;
      for (int& b : headless().buttons) b = 0;
      period = find_copy(prog.view);
      if (period <= 0) {
        progress.done();
        return fail(period < 0 ? "stopped" : "no small copy of the set in the view");
      }
    }
    // The explorer's first step with no button down: the whole picture at full quality.
    if (!o.replay_given || o.find_minibrot) whole_picture();
  } catch (const WriteFailed& e) {
    progress.done();
    return fail(e.what);
  }
  progress.done();
  headless().on_write = nullptr;

  const HeadlessState& hs = headless();
  if (o.png_given) {
    const std::string err =
        run.write(png, [&](std::FILE* f) {
          return png_to(f, hs.pixels.data(), hs.width, hs.height, PNG_KEYWORD, remake_window(hs.width, hs.height));
        });
    if (!err.empty()) return fail(err);
  }
  const std::vector<std::uint32_t> shown = prog.screen.shown();
  if (o.words_given) {
    const std::string err =
        run.write(words, [&](std::FILE* f) { return words_to(f, shown.data(), shown.size()); });
    if (!err.empty()) return fail(err);
  }
  if (o.summary) {
    std::printf("view %s\n", prog.view.numbers().c_str());
    std::printf("frames %lld\n", hs.writes);
    std::printf("screen %016" PRIx64 "\n", fnv1a_words(shown.data(), shown.size()));
    std::printf("location %s\n", location_line(prog.view).c_str());
    if (o.find_minibrot) std::printf("minibrot %d\n", period);
  }
  gexit();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail(std::string("cannot write standard output: ") + std::strerror(errno));
  }
  if (const std::string err = run.commit(); !err.empty()) return fail(err);
  return 0;
}

}  // namespace zd
