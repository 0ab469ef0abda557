// poster_cli.cpp — posters and films for zoomdive-render: option checks, the views of a replay,
// frames as PNG rows or piped into ffmpeg, progress with the time left.
#include "control/poster_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "compute/film.h"
#include "compute/poster.h"
#include "control/colour_cli.h"
#include "control/progress.h"
#include "control/view.h"
#include "display/png_bands.h"
#include "navigation/loop.h"
#include "platform/gfx.h"
#include "platform/headless.h"

extern char** environ;

namespace zd {

const char* const poster_usage =
    "                       [--size WxH [--supersample N] [--threads N] [--band-rows N]\n"
    "                        [--frame-range A:B] [--video FILE.mp4 [--fps N]]\n"
    "                        [--zoom-film SECONDS [--start-height H] [--exact-frames]]]\n";

const char* const poster_help =
    "\n"
    "Posters and films:\n"
    "  --size WxH       compute the view at W x H pixels (1 to 65536 each), as the\n"
    "                   explorer's window of that size shows it: the view's region, at\n"
    "                   least, with pixels of its shape (more of the view shows on the\n"
    "                   longer side when the aspect is not 4:3), at full quality;\n"
    "                   -o writes it. With --replay: one picture per view the window\n"
    "                   showed, in order (a film); --frames writes them as PNG files,\n"
    "                   -o the last. --screen is refused; --summary prints the view\n"
    "                   and 'film N', the frames of the whole film.\n"
    "  --supersample N  average N x N points per pixel (1 to 16)\n"
    "  --threads N      threads for the posters (default and at most: every core)\n"
    "  --band-rows N    rows computed at once (default: about 8 MiB of points); the\n"
    "                   pictures are the same for every value and thread count\n"
    "  --frame-range A:B  only frames A to B of the film (1-based, inclusive; 'A:' to\n"
    "                   the end; B cut at the film's end, A past it is an error); the\n"
    "                   files are those of the whole film's run, so ranges computed\n"
    "                   apart make the film\n"
    "  --video FILE.mp4 the film as H.264 video through ffmpeg instead of --frames\n"
    "                   (even W and H); --fps N frames a second (default 25)\n"
    "  --zoom-film SECONDS  instead of a session, a dive to the view at a steady pace:\n"
    "                   SECONDS x fps frames (--fps, default 30), centred on the\n"
    "                   view's centre, the first of half-height H (--start-height,\n"
    "                   default 1.5), the last the view itself; to --frames or\n"
    "                   --video. Frames are made from keyframes, one picture per\n"
    "                   doubling of the zoom, resampled; --exact-frames computes\n"
    "                   each frame as a poster of its view instead\n"
    "\n"
    "A long film on several machines or jobs, the same arguments but the range:\n"
    "  zoomdive-render --replay dive.txt --size 1920x1440 --summary   # film N\n"
    "  seq 1 100 N | parallel 'zoomdive-render --replay dive.txt --size 1920x1440\n"
    "      --frames film --frame-range {}:$(({} + 99))'\n";

namespace {

// A whole number from lo to hi, as given: an optional '+', then digits only.
bool whole(const std::string& s, long long lo, long long hi, long long& v) {
  std::size_t i = !s.empty() && s[0] == '+' ? 1 : 0;
  if (i == s.size() || s.size() - i > 18) return false;
  v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  return v >= lo && v <= hi;
}

std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

bool ends_with(std::string s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s.compare(s.size() - n, n, tail) == 0;
}

// Where ffmpeg is on PATH, or "".
std::string find_ffmpeg() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end == at ? "." : dirs.substr(at, end - at);
    const std::string exe = dir + "/ffmpeg";
    struct stat st;
    if (stat(exe.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(exe.c_str(), X_OK) == 0) return exe;
    at = end + 1;
  }
  return "";
}

// The film piped into ffmpeg: raw RGB frames in, H.264 in MP4 out on file descriptor `out`.
class Ffmpeg {
 public:
  ~Ffmpeg() { finish(); }

  // seekable: out is a regular file, so the MP4 gets its index at the end; else the MP4 is
  // fragmented, which a pipe or a device can take.
  std::string start(int out, bool seekable, int width, int height, int fps) {
    // A stopped ffmpeg makes write() fail, not the run end by SIGPIPE; and it is waited for,
    // its status says whether the video is whole (start-up has children reaped unasked).
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sigaction(SIGCHLD, nullptr, &sa);
    sa.sa_flags &= ~SA_NOCLDWAIT;
    sigaction(SIGCHLD, &sa, nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::strerror(errno);
    err_ = std::tmpfile();
    if (!err_) {
      const int e = errno;
      close(fds[0]);
      close(fds[1]);
      return std::strerror(e);
    }
    std::vector<std::string> args = {
        "ffmpeg", "-hide_banner", "-nostats", "-loglevel", "error", "-f", "rawvideo",
        "-pix_fmt", "rgb24", "-video_size", std::to_string(width) + "x" + std::to_string(height),
        "-framerate", std::to_string(fps), "-i", "pipe:0", "-an", "-c:v", "libx264",
        "-pix_fmt", "yuv420p", "-f", "mp4", "-y"};
    if (seekable) {
      args.push_back("/dev/fd/3");  // the file itself, opened anew: ffmpeg may seek in it
    } else {
      args.insert(args.end(), {"-movflags", "frag_keyframe+empty_moov", "pipe:3"});
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fileno(err_), 2);
    posix_spawn_file_actions_adddup2(&fa, fds[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out, 3);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const std::string exe = find_ffmpeg();
    const int e = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[0]);
    if (e != 0) {
      pid_ = -1;
      close(fds[1]);
      return "cannot start ffmpeg: " + std::string(std::strerror(e));
    }
    in_ = fds[1];
    return "";
  }

  std::string write(const std::uint8_t* bytes, std::size_t n) {
    while (n > 0) {
      const ssize_t k = ::write(in_, bytes, n);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) {
        const std::string why = errno == EPIPE ? "ffmpeg stopped reading" : std::strerror(errno);
        const std::string said = finish();
        return said.empty() ? why : said;
      }
      bytes += k;
      n -= static_cast<std::size_t>(k);
    }
    return "";
  }

  // Ends the input and waits for ffmpeg: "" if it made the whole video, else what it said.
  // It says only errors, and some (a reader that quit, a full disk) end it with status 0.
  std::string finish() {
    if (pid_ < 0) return done_;
    close(in_);
    in_ = -1;
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    std::string last, line;
    std::rewind(err_);
    for (int c; (c = std::fgetc(err_)) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
      } else if (!line.empty()) {
        last = std::move(line);
        line.clear();
      }
    }
    if (!line.empty()) last = line;
    std::fclose(err_);
    err_ = nullptr;
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0 && last.empty()) return done_ = "";
    if (last.empty()) {
      last = WIFEXITED(st) ? "exit status " + std::to_string(WEXITSTATUS(st))
                           : "ended by signal " + std::to_string(WTERMSIG(st));
    }
    return done_ = "ffmpeg: " + last;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  std::FILE* err_ = nullptr;
  std::string done_;
};

}  // namespace

void add_poster_options(CLI::App& app, PosterOptions& p) {
  app.add_option("--size", p.size_text);
  app.add_option("--supersample", p.supersample_text);
  app.add_option("--threads", p.threads_text);
  app.add_option("--band-rows", p.band_text);
  app.add_option("--frame-range", p.range_text);
  app.add_option("--video", p.video_file);
  app.add_option("--fps", p.fps_text);
  app.add_option("--zoom-film", p.film_text);
  app.add_option("--start-height", p.start_text);
  app.add_flag("--exact-frames", p.exact_frames);
}

std::string check_poster_options(const CLI::App& app, PosterOptions& p, const OtherOptions& o) {
  auto given = [&](const char* name) { return app.count(name) > 0; };
  p.size = given("--size");
  if (!p.size) {
    for (const char* name :
         {"--supersample", "--threads", "--band-rows", "--frame-range", "--video", "--fps",
          "--zoom-film", "--start-height", "--exact-frames"}) {
      if (given(name)) return std::string(name) + " needs --size";
    }
    return "";
  }
  const std::size_t x = p.size_text.find_first_of("xX");
  long long w = 0, h = 0, v = 0;
  if (x == std::string::npos || !whole(p.size_text.substr(0, x), 1, POSTER_MAX_SIDE, w) ||
      !whole(p.size_text.substr(x + 1), 1, POSTER_MAX_SIDE, h)) {
    return "--size " + in_quotes(p.size_text) + " is not WxH with W and H from 1 to " +
           std::to_string(POSTER_MAX_SIDE);
  }
  p.width = static_cast<int>(w);
  p.height = static_cast<int>(h);
  if (given("--supersample")) {
    if (!whole(p.supersample_text, 1, POSTER_MAX_SUPERSAMPLE, v)) {
      return "--supersample " + in_quotes(p.supersample_text) + " is not a whole number from 1 to " +
             std::to_string(POSTER_MAX_SUPERSAMPLE);
    }
    if (std::max(w, h) * v > POSTER_MAX_FINE_SIDE) {
      return "--supersample " + p.supersample_text + " at --size " + p.size_text +
             ": at most " + std::to_string(POSTER_MAX_FINE_SIDE) + " points a side";
    }
    p.supersample = static_cast<int>(v);
  }
  if (given("--threads")) {
    if (!whole(p.threads_text, 1, 1024, v)) {
      return "--threads " + in_quotes(p.threads_text) + " is not a whole number from 1 to 1024";
    }
    p.threads = static_cast<int>(v);
  }
  if (given("--band-rows")) {
    if (!whole(p.band_text, 1, POSTER_MAX_SIDE, v)) {
      return "--band-rows " + in_quotes(p.band_text) + " is not a whole number from 1 to " +
             std::to_string(POSTER_MAX_SIDE);
    }
    p.band_rows = static_cast<int>(v);
  }
  if (o.screen) return "--screen writes the window's words; with --size use -o";
  p.zoom_film = given("--zoom-film");
  for (const char* name : {"--start-height", "--exact-frames"}) {
    if (given(name) && !p.zoom_film) return std::string(name) + " needs --zoom-film";
  }
  // A film is either a session's views or a dive; either goes to frames or a video.
  const bool film = o.replay || p.zoom_film;
  if (o.replay && p.zoom_film) return "--zoom-film and --replay: a film is a dive or a session";
  if (p.zoom_film && !o.frames && !given("--video")) {
    return "--zoom-film needs --frames DIR or --video FILE.mp4";
  }
  if (o.frames && !film) return "--frames with --size makes a film of a session: give --replay";
  if (given("--video")) {
    if (p.video_file.empty()) return "--video needs a file name, not an empty one";
    if (!film) return "--video makes a film of a session: give --replay";
    if (o.frames) return "--video and --frames: the film goes to one of them";
    if (w % 2 != 0 || h % 2 != 0) return "--video needs an even width and height (--size)";
    if (p.video_file == "-" && (o.summary || o.png_stdout)) {
      return "--video - and another output both go to standard output";
    }
    p.video = true;
  }
  if (given("--fps")) {
    if (!p.video && !p.zoom_film) return "--fps needs --video";
    if (!whole(p.fps_text, 1, 1000, v)) {
      return "--fps " + in_quotes(p.fps_text) + " is not a whole number from 1 to 1000";
    }
    p.fps = static_cast<int>(v);
  }
  if (given("--frame-range")) {
    if (!film || !(o.frames || p.video)) {
      return "--frame-range picks frames of a film: give --replay and --frames or --video";
    }
    const std::string& r = p.range_text;
    const std::size_t colon = r.find(':');
    long long a = 0, b = LLONG_MAX;
    const bool open = colon != std::string::npos && colon + 1 == r.size();
    if (colon == std::string::npos || !whole(r.substr(0, colon), 1, LLONG_MAX, a) ||
        (!open && !whole(r.substr(colon + 1), 1, LLONG_MAX, b)) || b < a) {
      return "--frame-range " + in_quotes(r) + " is not A:B or A: with 1 <= A <= B";
    }
    p.first = a;
    p.last = b;
  }
  if (p.zoom_film) {
    if (!given("--fps")) p.fps = 30;
    double sec = 0.0, half = 0.0;
    if (!read_number(p.film_text.c_str(), sec) || !(sec > 0.0 && sec <= 1e7)) {
      return "--zoom-film " + in_quotes(p.film_text) + " is not a number of seconds above 0 (at most 1e7)";
    }
    p.film_frames = std::llround(sec * p.fps);
    if (p.film_frames < 1) {
      return "--zoom-film " + p.film_text + " at " + std::to_string(p.fps) +
             " frames a second makes no frame";
    }
    if (given("--start-height")) {
      if (!read_number(p.start_text.c_str(), half) || !(half > 0.0 && half <= View::STEP_CEILING)) {
        return "--start-height " + in_quotes(p.start_text) + " is not a half-height above 0 (at most 1e290)";
      }
      p.start_height = half;
    }
  }
  return "";
}

int render_posters(const PosterOptions& p, PosterRun& r) {
  Target video;
  if (p.video) {
    const std::string err = find_target(p.video_file, video);
    const bool file = video.kind == Target::NewFile || video.kind == Target::File;
    if (file && !ends_with(p.video_file, ".mp4")) {
      return usage_error("--video " + in_quotes(p.video_file) +
                         ": only MP4 is written, to a name ending in .mp4");
    }
    if (!err.empty()) return fail(err);
    std::vector<Named> named = {{"--video", &video}};
    if (r.png) named.insert(named.begin(), {"-o", r.png});
    if (const std::string twice = named_twice(named, "", 1, 0); !twice.empty()) {
      return usage_error(twice);
    }
    if (find_ffmpeg().empty()) {
      return fail("--video needs ffmpeg, which is not on PATH (Debian: apt-get install ffmpeg)");
    }
    if (const std::string e = r.run.reserve(video); !e.empty()) return fail(e);
  }

  use_backend(headless_backend());
  if (!startup(r.cmd)) return fail(std::string("cannot open a window: ") + gfx_error());
  prog.say_to = stderr;  // standard output carries only what was asked for

  // The film: each view the window showed, in order, once (a step's coarse picture and its
  // refinement show one view). Without a replay, the start view alone.
  Progress progress("zoomdive-render");
  std::vector<View> film;
  std::vector<Colours> film_colours;  // each frame's colouring (a script's colour lines)
  if (r.replay) {
    ScriptedInput script(std::move(r.lines));
    std::string shown;
    headless().on_write = [&](const HeadlessState&) {
      std::string now = prog.view.numbers() + colours_name(prog.colouring.kind());
      if (now != shown) {
        film.push_back(prog.view);
        film_colours.push_back(prog.colouring.kind());
        shown = std::move(now);
      }
      progress.lines = static_cast<long long>(script.activated());
      progress.views = static_cast<long long>(film.size());
    };
    progress.lines_of = static_cast<long long>(script.size());
    script.attach(headless());
    prog.views_only = true;  // the views depend on the session alone, not on the pixels
    paint_mandel();
    prog.views_only = false;
    headless().on_write = nullptr;
  }
  if (film.empty()) {
    film.push_back(prog.view);
    film_colours.push_back(prog.colouring.kind());
  }
  // A dive: its views are computed as they are needed, never held all at once; all in the
  // colouring the run started with.
  const FilmPlan dive{prog.view, p.width, p.height, p.film_frames, p.start_height};
  // Each colouring once (its table), for all the frames in it.
  std::vector<Colouring> colourings;
  for (const Colours c : {Colours::Design, Colours::Smooth, Colours::Distance}) {
    const bool used = std::find(film_colours.begin(), film_colours.end(), c) != film_colours.end();
    colourings.push_back(used ? Colouring(c, prog.mycoltab, prog.colouring.palette()) : Colouring());
  }
  // Frame k's colouring (from 1; 0: the last view's).
  const auto colouring = [&](long long k) -> const Colouring& {
    if (p.zoom_film) return colourings[static_cast<int>(film_colours.front())];
    return colourings[static_cast<int>(k == 0 ? film_colours.back() : film_colours[k - 1])];
  };

  const PosterShape shape{p.width, p.height, p.supersample, p.threads, p.band_rows};
  const long long total = p.zoom_film ? dive.frames : static_cast<long long>(film.size());
  if (p.first > total) {
    progress.done();
    return usage_error("--frame-range " + p.range_text + ": the film has " +
                       std::to_string(total) + (total == 1 ? " frame" : " frames"));
  }
  const long long first = p.first, last = std::min(p.last, total);
  const long long frames = (r.frames || p.video) ? std::max(0LL, last - first + 1) : 0;
  progress.posters(frames + (r.png ? 1 : 0), p.height);
  const RowsDone rows_done = [&](int rows) { progress.rows(rows); };
  // Frame k of the film (from 1; 0 for the last view's poster) into sink.
  std::unique_ptr<KeyframeFilm> keyed;
  if (p.zoom_film && !p.exact_frames) keyed = std::make_unique<KeyframeFilm>(dive, shape, colouring(1));
  auto picture = [&](long long k, const PosterSink& sink) -> std::string {
    if (k == 0 || !p.zoom_film) {
      return render_poster(k == 0 ? film.back() : film[k - 1], shape, colouring(k), sink, rows_done);
    }
    if (!keyed) return render_poster(film_view(dive, k - 1), shape, colouring(k), sink, rows_done);
    return keyed->frame(k - 1, sink, rows_done);
  };
  // A poster as PNG, row by row into f.
  auto png_of = [&](long long k) {
    return [&, k](std::FILE* f) -> std::string {
      const Colouring& c = colouring(k);
      const View& view = k == 0 || !p.zoom_film ? (k == 0 ? film.back() : film[k - 1]) : film_view(dive, k - 1);
      PngParts png(f);
      const PosterSink sink{
          [&](BandOut& b) { png_encode(b.rgb, b.rows, p.width, b.last, b.bytes, b.check, b.length); },
          [&](const BandOut& b) { return png.part(b.bytes, b.check, b.length); }};
      const PictureOf poster{true, p.width, p.height, p.supersample};
      std::string err =
          png.begin(p.width, p.height, PNG_KEYWORD, remake_command(view, poster, c.kind(), c.palette().file));
      if (err.empty()) err = picture(k, sink);
      return err.empty() ? png.end() : err;
    };
  };
  auto frame_name = [&](long long k) {
    return "frame " + std::to_string(k) + " (" + std::to_string(k - first + 1) + " of " +
           std::to_string(frames) + ")";
  };

  if (r.frames) {
    for (long long k = first; k <= last; ++k) {
      progress.picture(frame_name(k));
      if (const std::string err = r.run.frame(k, png_of(k)); !err.empty()) {
        progress.done();
        return fail(err);
      }
    }
  }
  if (p.video) {
    const bool seekable = video.kind == Target::NewFile || video.kind == Target::File;
    const std::string err = r.run.write(video, [&](std::FILE* f) -> std::string {
      Ffmpeg ff;
      if (std::string e = ff.start(fileno(f), seekable, p.width, p.height, p.fps); !e.empty()) {
        return e;
      }
      const std::size_t row_bytes = static_cast<std::size_t>(p.width) * 3;
      for (long long k = first; k <= last; ++k) {
        progress.picture(frame_name(k));
        const PosterSink sink{
            nullptr, [&](const BandOut& b) { return ff.write(b.rgb, row_bytes * b.rows); }};
        const std::string e = picture(k, sink);
        if (!e.empty()) return e;
      }
      return ff.finish();
    });
    if (!err.empty()) {
      progress.done();
      return fail(err);
    }
  }
  if (r.png) {
    progress.picture("poster");
    if (const std::string err = r.run.write(*r.png, png_of(0)); !err.empty()) {
      progress.done();
      return fail(err);
    }
  }
  progress.done();

  if (r.summary) {
    std::printf("view %s\n", prog.view.numbers().c_str());
    std::printf("film %lld\n", total);
  }
  gexit();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail(std::string("cannot write standard output: ") + std::strerror(errno));
  }
  if (const std::string err = r.run.commit(); !err.empty()) return fail(err);
  return 0;
}

}  // namespace zd
