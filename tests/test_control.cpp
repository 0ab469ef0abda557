// test_control.cpp — command line, start-up, and zoomdive-render as a whole process.
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/render_cli.h"
#include "display/display.h"
#include "display/image_out.h"
#include "navigation/loop.h"
#include "platform/script.h"
#include "program.h"

namespace zd::test {
namespace {

namespace fs = std::filesystem;

class StartUp : public Program {};

TEST_F(StartUp, EveryFormSetsTheViewAndWorkers) {
  // The default view (3 -2 1.875 -1.874 50) as centre, half-extents and limit.
  const std::vector<double> fallback = {0.5, 0.0004999999999999449, -2.5, -1.8745, 50};
  const struct { std::vector<const char*> args; int anz; std::vector<double> view; } forms[] = {
      {{}, 0, fallback},
      {{"4"}, 4, fallback},
      {{"abc"}, 0, fallback},
      {{"7x"}, 7, fallback},
      {{"-3"}, -3, fallback},
      {{"600"}, 512, fallback},
      {{"99999999999999"}, 512, fallback},
      {{"-2", "1", "-1", "1", "100"}, 0, {-0.5, 0, 1.5, 1, 100}},
      {{"-2", "1", "-1", "1", "50.5"}, 0, {-0.5, 0, 1.5, 1, 50.5}},
      {{"1", "2"}, 0, fallback},
      {{"1", "2", "3", "4", "5", "6"}, 0, fallback},
  };
  for (const auto& f : forms) {
    SCOPED_TRACE(testing::PrintToString(f.args));
    start(f.args);
    EXPECT_EQ(anz, f.anz);
    EXPECT_EQ((std::vector<double>{xmit, ymit, xstep, ystep, maxit}), f.view);
  }
}

TEST_F(StartUp, PreparesGeometryPointerDisplayAndLogo) {
  start();
  EXPECT_EQ((std::vector<int>{XPTS, YPTS, LOX, LOY, calc, highq, no_firstpass, pid}),
            (std::vector<int>{480, 360, 0, 0, 1, 1, 0, static_cast<int>(::getpid())}));
  const HeadlessState& h = headless();
  EXPECT_EQ((std::vector<int>{h.mousex.value, h.mousex.vmax, h.mousey.value, h.mousey.vmax}),
            (std::vector<int>{640, 1279, 512, 1023}));
  EXPECT_TRUE(h.open && !h.cursor && h.title == "zoomdive");
  EXPECT_EQ(h.writes, 0) << "nothing drawn before the first computation";
  EXPECT_NE(std::count(snap_long, snap_long + LOGOW * LOGOH, LOGO_COLOUR), 0);
}

TEST(CommandLine, UnusableViewNumbersAreErrorsNamingTheArgument) {
  const struct { std::vector<const char*> args; const char* message; } bad[] = {
      {{"abc", "1", "-1", "1", "50"}, "x1 \"abc\" is not a number"},
      {{"-2", "1.5x", "-1", "1", "50"}, "x2 \"1.5x\" is not a number"},
      {{"-2", "1", "", "1", "50"}, "y1 \"\" is not a number"},
      {{"-2", "1", "-1", "inf", "50"}, "y2 \"inf\" is not finite"},
      {{"-2", "1", "-1", "1e999", "50"}, "y2 \"1e999\" is not finite"},
      {{"-2", "1", "-1", "1", "nan"}, "limit \"nan\" is not finite"},
      {{"-2", "1", "-1", "1", "3e9"}, "limit \"3e9\" does not fit an int"},
      {{"-2", "1", "-1", "1", "-2147483649"}, "limit \"-2147483649\" does not fit an int"},
      // Views that could not be explored: no size, or overflowing or beyond the zoom bounds.
      {{"-2", "1", "0.5", "0.5", "50"}, "y1 and y2 are equal: the view has no height"},
      {{"-1e308", "1e308", "-1", "1", "50"}, "the view's width x2 - x1 is not finite"},
      {{"-2", "1", "1e308", "-1e308", "50"}, "the view's height y2 - y1 is not finite"},
      {{"1e308", "1.5e308", "-1", "1", "50"}, "the view's centre is not finite"},
      {{"-2", "1", "1e308", "1.5e308", "50"}, "the view's centre is not finite"},
      {{"0.5", "0.50000000000000000000000000000", "-1", "1", "50"},
       "x1 and x2 are equal: the view has no width"},
      {{"-1e300", "1e300", "-1", "1", "50"},
        "the view is too wide: (x2 - x1) / 2 = 1e+300 is above 1e+290"},
      {{"-2", "1", "1e300", "-1e300", "50"},
        "the view is too high: (y2 - y1) / 2 = -1e+300 is above 1e+290"},
  };
  Cmdline cmd;
  std::string err;
  for (const auto& b : bad) {
    std::vector<const char*> argv = b.args;
    argv.insert(argv.begin(), "zoomdive");
    EXPECT_EQ(parse_explorer_args(6, argv.data(), cmd, err), Parsed::Error);
    EXPECT_EQ(err, b.message);
  }
  const char* edge[] = {"zoomdive", " -2", "1 ", "0x1p-2", "1", "2147483647.9"};
  ASSERT_EQ(parse_explorer_args(6, edge, cmd, err), Parsed::Run) << err;
  EXPECT_EQ(cmd.view[2], 0.25);
  EXPECT_EQ(cmd.view[4], 2147483647.9);
  EXPECT_EQ(limit_of(cmd.view[4]), 2147483647);
  // Half-extents at the ceiling, or far below the doubles (edges equal as doubles), are views.
  const char* bounds[] = {"zoomdive", "0", "2e-400", "1e290", "-1e290", "50"};
  EXPECT_EQ(parse_explorer_args(6, bounds, cmd, err), Parsed::Run) << err;
  const char* close[] = {"zoomdive", "0.5", "0.5000000000000000000001", "-1", "1", "50"};
  EXPECT_EQ(parse_explorer_args(6, close, cmd, err), Parsed::Run) << err;
}

TEST(CommandLine, HelpAndVersionOnlyAlone) {
  Cmdline cmd;
  std::string err;
  const char* help[] = {"zoomdive", "--help"};
  const char* version[] = {"zoomdive", "--version"};
  const char* both[] = {"zoomdive", "--help", "--version"};
  EXPECT_EQ(parse_explorer_args(2, help, cmd, err), Parsed::Help);
  EXPECT_EQ(parse_explorer_args(2, version, cmd, err), Parsed::Version);
  EXPECT_EQ(parse_explorer_args(3, both, cmd, err), Parsed::Help);
}

// zoomdive-render run as a process, its outputs checked against the same computation in-process.
class RenderTool : public Program {
 protected:
  void SetUp() override {
    Program::SetUp();
    dir = fs::temp_directory_path() / ("zdtest-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override {
    fs::remove_all(dir);
    Program::TearDown();
  }

  struct Run {
    int status;
    std::string out, err;
  };
  Run run(const std::string& args) {
    // Start-up has the system reap children unasked; this process wants its child's status.
    struct sigaction sa {};
    sigaction(SIGCHLD, nullptr, &sa);
    sa.sa_flags &= ~SA_NOCLDWAIT;
    sigaction(SIGCHLD, &sa, nullptr);
    const std::string cmd = std::string(ZD_RENDER_BIN) + " " + args + " >" + (dir / "out").string() +
                            " 2>" + (dir / "err").string() + " </dev/null";
    const int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "out"), slurp(dir / "err")};
  }
  static std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // The summary of the same view computed in this process.
  static std::string expected_summary() {
    char buf[256];
    std::snprintf(buf, sizeof buf, "view %.17g %.17g %.17g %.17g %.17g\nframes %lld\nscreen %016" PRIx64 "\n",
                  xmit, ymit, xstep, ystep, maxit, headless().writes, fnv1a_words(screen, WINWORDS));
    return buf;
  }
  fs::path dir;
};

TEST_F(RenderTool, SummaryScreenAndPngMatchTheProgramsOwnPicture) {
  start({"-0.8", "-0.7", "0.05", "0.1", "200"});
  whole_picture();
  const Run r = run("--workers 0 --summary -o " + (dir / "v.png").string() + " --screen " +
                    (dir / "v.bin").string() + " -0.8 -0.7 0.05 0.1 200");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected_summary());
  EXPECT_EQ(r.err, "");

  const std::string words = slurp(dir / "v.bin");
  ASSERT_EQ(words.size(), WINWORDS * 4u);
  for (int i = 0; i < WINWORDS; i += 997) {
    const auto* b = reinterpret_cast<const unsigned char*>(words.data()) + 4 * i;
    ASSERT_EQ(b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24, screen[i]) << i;
  }

  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&img, (dir / "v.png").c_str()));
  ASSERT_EQ(img.width, 480u);
  ASSERT_EQ(img.height, 360u);
  img.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> rgb(480 * 360 * 3);
  ASSERT_TRUE(png_image_finish_read(&img, nullptr, rgb.data(), 480 * 3, nullptr));
  const auto& win = headless().pixels;  // bottom row first; the PNG is top row first
  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 480; ++x) {
      const std::uint32_t w = win[(359 - y) * 480 + x];
      const unsigned char* p = &rgb[(y * 480 + x) * 3];
      ASSERT_EQ(p[0] | p[1] << 8 | p[2] << 16, w & 0xffffff) << x << ", " << y;
    }
  }
}

TEST_F(RenderTool, DefaultViewAndWorkerRuns) {
  start();
  whole_picture();
  Run r = run("--summary");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected_summary());
  // With workers the picture may differ near band borders; the view and frame count may not.
  r = run("--workers 3 --summary");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("screen")), expected_summary().substr(0, r.out.find("screen")));
}

TEST_F(RenderTool, ReplayPlaysTheScriptThroughTheLoopAndWritesEveryFrame) {
  const char* text = "# dive, steer, back out, drag, pan, rest\nL 0 0\nL 30 -20\nM 0 0\n- 0 0\n"
                     "LM 0 0\nLM 12 9\n- 0 0\n- -25 14\n- 0 0\n";
  std::ofstream(dir / "s.txt") << text;
  start({"-1", "0.5", "-0.8", "0.6", "100"});
  std::vector<ScriptLine> lines;
  int bad;
  std::string what;
  ASSERT_TRUE(parse_script(text, lines, bad, what));
  ScriptedInput in(lines);
  in.attach(headless());
  paint_mandel();
  ASSERT_GT(headless().writes, 5);

  const fs::path frames = dir / "f" / "g";
  Run r = run("--replay " + (dir / "s.txt").string() + " --frames " + frames.string() +
              " --summary -o " + (dir / "last.png").string() + " -- -1 0.5 -0.8 0.6 100");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected_summary());
  EXPECT_EQ(r.err, "");  // no progress when stderr is not a terminal
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(frames)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(static_cast<long long>(names.size()), headless().writes);
  EXPECT_EQ(names.front(), "frame-000001.png");
  EXPECT_EQ(slurp(frames / names.back()), slurp(dir / "last.png"));
  EXPECT_NE(slurp(frames / names.front()), slurp(dir / "last.png"));

  // Workers change pixels near band borders at most, never the view or the frame count.
  r = run("--workers 2 --replay " + (dir / "s.txt").string() + " --summary -- -1 0.5 -0.8 0.6 100");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string want = expected_summary();
  EXPECT_EQ(r.out.substr(0, r.out.find("screen")), want.substr(0, want.find("screen")));
}

}  // namespace
}  // namespace zd::test
