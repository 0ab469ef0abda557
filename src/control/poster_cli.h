// poster_cli.h — zoomdive-render's posters and films: the options that ask for them, their
// checks, and the run that computes them and writes them out.
#pragma once
#include <climits>
#include <string>
#include <vector>

#include "control/outputs.h"
#include "control/startup.h"
#include "platform/script.h"

namespace CLI {
class App;
}

namespace zd {

struct PosterOptions {
  bool size = false;  // --size given: everything below applies
  int width = 0, height = 0;
  int supersample = 1;
  int threads = 0;    // 0: every core
  int band_rows = 0;  // 0: chosen for memory
  long long first = 1, last = LLONG_MAX;  // --frame-range, 1-based, inclusive
  bool video = false;
  std::string video_file;
  int fps = 25;
  // --zoom-film: a dive of `frames` frames to the start view, from half-height start_height,
  // made from keyframes unless exact_frames.
  bool zoom_film = false, exact_frames = false;
  long long film_frames = 0;
  double start_height = 1.5;
  // As given, for the checks.
  std::string size_text, supersample_text, threads_text, band_text, range_text, fps_text;
  std::string film_text, start_text;
};

// What the rest of the command line asked for, as far as the posters' checks need it.
struct OtherOptions {
  bool replay, frames, screen, summary, png_stdout;
};

// Declares the options on the parser.
void add_poster_options(CLI::App& app, PosterOptions& p);
// After parsing: "" or what is wrong with them (exit status 2).
std::string check_poster_options(const CLI::App& app, PosterOptions& p, const OtherOptions& o);

extern const char* const poster_usage;  // the usage line's part
extern const char* const poster_help;   // the --help text's part

// The run with --size, from after the common checks (the -o target, the frame folder) on:
// checks the video's target and ffmpeg, starts up on the headless backend, plays the script,
// computes and writes. Returns the exit status.
struct PosterRun {
  const Cmdline& cmd;
  std::vector<ScriptLine> lines;
  bool replay, frames, summary;
  const Target* png;  // null: no -o
  OutputRun& run;
};
int render_posters(const PosterOptions& p, PosterRun& r);

}  // namespace zd
