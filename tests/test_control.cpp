// test_control.cpp — command line and start-up.
#include <array>
#include <cmath>
#include <sstream>

#include "control/location.h"
#include "display/display.h"
#include "program.h"

namespace zd::test {
namespace {

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
    const View& v = prog.view;
    EXPECT_EQ(prog.anz, f.anz);
    EXPECT_EQ((std::vector<double>{v.xmit, v.ymit, v.xstep, v.ystep, v.maxit}), f.view);
  }
}

TEST_F(StartUp, PreparesGeometryPointerDisplayAndLogo) {
  start();
  EXPECT_EQ((std::vector<int>{prog.XPTS, prog.YPTS, prog.LOX, prog.LOY, prog.calc, prog.highq,
                              prog.no_firstpass, prog.pid}),
            (std::vector<int>{480, 360, 0, 0, 1, 1, 0, static_cast<int>(::getpid())}));
  const HeadlessState& h = headless();
  EXPECT_EQ((std::vector<int>{h.mousex.value, h.mousex.vmax, h.mousey.value, h.mousey.vmax}),
            (std::vector<int>{640, 1279, 512, 1023}));
  EXPECT_TRUE(h.open && !h.cursor && h.title == "zoomdive");
  EXPECT_EQ(h.writes, 0) << "nothing drawn before the first computation";
  EXPECT_NE(std::count(std::begin(prog.snap_long), std::end(prog.snap_long), LOGO_COLOUR), 0);
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
      {{"--window", "64x47", "-2", "1", "50"},
       "--window \"64x47\" is not WxH with W from 64 to 65536 and H from 48 to 65536"},
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

// What a recording's head gives as the start view starts the same view in a window of the same
// size: every digit of a centre that a dive keeps, shallow or deep, and the default view's own
// doubles.
TEST(CommandLine, TheStartArgumentsStartTheSameViewAgain) {
  const std::vector<const char*> forms[] = {
      {},
      {"--window", "801x450", "--view", "0.743643887037158704752191506114774",
       "-0.131825904205311970493132056385139", "-1.3333333333333333e-10", "-1e-10", "300"},
      {"--", " 0.7436438870371587047521915061147", "0.7436438870371587047521915061149",
       "-0.1318259042053119704931320563851", "-0.1318259042053119704931320563853 ", "300"},
  };
  for (const auto& form : forms) {
    std::vector<const char*> args = form;
    args.insert(args.begin(), "zoomdive");
    Cmdline first, again;
    std::string err;
    ASSERT_EQ(parse_explorer_args(static_cast<int>(args.size()), args.data(), first, err), Parsed::Run);
    const std::string given = start_arguments(first);
    SCOPED_TRACE(given);
    std::vector<std::string> words = {"zoomdive"};
    std::istringstream in(given);
    for (std::string w; in >> w;) words.push_back(w);
    args.clear();
    for (const std::string& w : words) args.push_back(w.c_str());
    ASSERT_EQ(parse_explorer_args(static_cast<int>(args.size()), args.data(), again, err), Parsed::Run);
    EXPECT_EQ(std::make_pair(again.width, again.height), std::make_pair(first.width, first.height));
    // Views are equal when every step from them is: dive far below the doubles.
    View a = start_view(first), b = start_view(again);
    for (int step = 0; step < 400; ++step) {
      ASSERT_EQ(a.numbers(), b.numbers()) << "after " << step << " dives";
      a.zoom_in();
      b.zoom_in();
    }
  }
}

// Location files: the view of the equivalent --view numbers (the centre mirrored, half-height
// 2/Zoom, half-width 4/3 of it, negative as in the default view); every digit of a long centre;
// a view written out reads back to the same one; what cannot be used names its line.
TEST(Locations, ReadAsTheirViewsAndWrittenBackTheSame) {
  const auto view_of = [](const std::array<std::string, 5>& n) {
    const char* p[5] = {n[0].c_str(), n[1].c_str(), n[2].c_str(), n[3].c_str(), n[4].c_str()};
    Cmdline cmd;
    std::string err;
    EXPECT_TRUE(read_view_state(p, cmd, err)) << err;
    return start_view(cmd);
  };
  const std::string digits(200, '7');
  const struct {
    std::string text;
    std::array<std::string, 5> view;
  } cases[] = {
      {"Re: 0.25\nIm: 0.5\nZoom: 4\n", {"-0.25", "-0.5", "-0.66666666666666663", "-0.5", "50"}},
      {"Re: 0.25\nIm: 0.5\nZoom: 2.718281828459045235360287e21\n",
       {"-0.25", "-0.5", "-9.810118431238461e-22", "-7.3575888234288462e-22", "50"}},
      {"# from elsewhere\r\nZoom: 4E0\r\nIterations: 1234\r\nIm: -5e-1\r\nRe:  -2.5e-1 \r\n",
       {"0.25", "0.5", "-0.66666666666666663", "-0.5", "1234"}},
      {"Re: -1." + digits + "\nIm: 0\nZoom: 2e300\n",
       {"1." + digits, "-0", "-1.3333333333333333e-300", "-1e-300", "50"}},
  };
  for (const auto& c : cases) {
    std::string err;
    const auto n = location_numbers(c.text, "f", err);
    ASSERT_TRUE(n) << err;
    const View got = view_of(*n), want = view_of(c.view);
    EXPECT_EQ(got.numbers(), want.numbers()) << c.text;
    EXPECT_TRUE(got.cx == want.cx && got.xs == want.xs && got.ys == want.ys && got.maxit == want.maxit);
    // Written out and read back: the same view, deep or shallow.
    const auto back = location_numbers(location_text(got), "back", err);
    ASSERT_TRUE(back) << err;
    EXPECT_EQ(view_of(*back).numbers(), got.numbers()) << location_text(got);
  }
  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"Re: 1\nZoom: 1\n", "f:1: no Im: line"},
      {"Re: 1\nIm: x1\nZoom: 1\n", "f:2: Im: is not a number"},
      {"Re: 1\nIm: 1\nZoom: 0\n", "f:3: Zoom: is not a positive"},
      {"Re: 1\nIm: 1\nZoom: -2\n", "f:3: Zoom: is not a positive"},
      {"Re: 1\nIm: 1\nZoom: 1e-300\n", ""},  // a view wider than any (the --view checks)
      {"Re: 1\nIm: 1\nZoom: 3\nIterations: 0\n", "f:4: Iterations: is not a count"},
      {"Re: 1\nIm: 1\nZoom: 3\nIterations: 2.5e9\n", "f:4: Iterations: is not a count"},
      {"Re: 1\nRe: 2\nIm: 1\nZoom: 3\n", "f:2: a second Re: line"},
  };
  for (const auto& b : bad) {
    std::string err;
    const auto n = location_numbers(b.text, "f", err);
    if (*b.error == '\0') {
      ASSERT_TRUE(n);
      const char* p[5] = {(*n)[0].c_str(), (*n)[1].c_str(), (*n)[2].c_str(), (*n)[3].c_str(), (*n)[4].c_str()};
      Cmdline cmd;
      EXPECT_FALSE(read_view_state(p, cmd, err)) << b.text;
      continue;
    }
    EXPECT_FALSE(n) << b.text;
    EXPECT_EQ(err.rfind(b.error, 0), 0u) << err;
  }
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

}  // namespace
}  // namespace zd::test
