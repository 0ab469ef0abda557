// test_navigation.cpp — mouse operations, recorded input, the navigation loop and the re-use pan.
#include <array>
#include <climits>
#include <cmath>
#include <memory>
#include <sstream>

#include "display/image_out.h"
#include "navigation/loop.h"
#include "navigation/mouse.h"
#include "navigation/pan.h"
#include "platform/script.h"
#include "program.h"

namespace zd::test {
namespace {

std::vector<ScriptLine> script(const char* text) {
  std::vector<ScriptLine> lines;
  int bad = 0;
  std::string what;
  EXPECT_TRUE(parse_script(text, lines, bad, what)) << bad << ": " << what;
  return lines;
}

class Navigation : public Program {
 protected:
  // Records the kind of every window write: 's' a pan strip, 'r' the refinement of the
  // picture in place, 'c' a whole picture with a button down, 'f' one with no button down.
  void record_writes() {
    kinds.clear();
    headless().on_write = [this](const HeadlessState& hs) {
      const bool button = hs.buttons[0] || hs.buttons[1] || hs.buttons[2];
      kinds += prog.XPTS != prog.screen.stride || prog.YPTS != prog.screen.height ? 's'
               : prog.no_firstpass                                               ? 'r'
               : button                                                          ? 'c'
                                                                                 : 'f';
    };
  }
  // The loop, driven by the script until the right button.
  void play(const char* text) {
    record_writes();
    input = std::make_unique<ScriptedInput>(script(text));
    input->attach(headless());
    paint_mandel();
  }
  std::string kinds;
  std::unique_ptr<ScriptedInput> input;
};

TEST(Script, ParsesLinesAndNamesTheFaultyLine) {
  std::vector<ScriptLine> lines;
  int bad = 0;
  std::string what;
  const char* text = "# dive\n\nL 0 0\r\n  ML -5 +7\n\t-\t1280\t-2147483648\nRLM 1 2\nwindow 65536x1";
  ASSERT_TRUE(parse_script(text, lines, bad, what)) << what;
  std::vector<std::array<int, 5>> got;
  for (const ScriptLine& l : lines) got.push_back({l.buttons, l.dx, l.dy, l.width, l.height});
  using Lines = std::vector<std::array<int, 5>>;
  EXPECT_EQ(got, (Lines{{1, 0, 0, 0, 0}, {3, -5, 7, 0, 0}, {0, 1280, INT_MIN, 0, 0}, {7, 1, 2, 0, 0},
                        {0, 0, 0, 65536, 1}}));
  EXPECT_EQ(lines.back().command, CMD_RESIZE);
  const struct { std::string_view text; int line; const char* what; } faults[] = {
      {"L 0 0\n\n# x\nLL 0 0\n", 4, "buttons \"LL\": 'L' given twice"},
      {"l 0 0", 1, "buttons \"l\": 'l' is not one of L, M, R"},
      {"-- 0 0", 1, "buttons \"--\""},
      {"- 0 0\nL", 2, "expected BUTTONS DX DY, found 1 field"},
      {"L 0 0 0", 1, "expected BUTTONS DX DY, found 4 fields"},
      {"L 1.5 0", 1, "DX \"1.5\" is not an integer"},
      {"L 0 -", 1, "DY \"-\" is not an integer"},
      {{"L 0 0\nL 0\0 0", 12}, 2, "a NUL byte in the line"},
      {"window 640x0", 1, "expected window WxH, W and H from 1 to 65536"},
      {"window 640 480", 1, "expected window WxH"},
      {"window", 1, "expected window WxH"},
  };
  for (const auto& f : faults) {
    EXPECT_FALSE(parse_script(f.text, lines, bad, what)) << f.text;
    EXPECT_EQ(bad, f.line) << f.text;
    EXPECT_EQ(what.rfind(f.what, 0), 0u) << what;
  }
}

// A script without end (a device, a pipe) is refused once past a bound, never held whole.
// (Small bounds here; zoomdive-render's own are 100 MiB, 1 MiB a line and 10 million lines.)
TEST(Script, ScriptsAndLinesBeyondTheirBoundsAreRefused) {
  const ScriptReader::Bounds bounds{64, 8, 10};
  const struct {
    std::string piece;
    std::size_t times;  // pieces fed; when refused, the last of them is
    bool refused;
    int line;  // the refused one, else the lines read
    const char* what;
  } cases[] = {
      {"#234567\n", 8, false, 8, ""},  // 64 bytes of the longest lines
      {"#234567\n", 9, true, 9, "the script is longer than 64 bytes"},
      {"#23456789", 1, true, 1, "a line longer than 8 bytes"},
      {"#2345\n#2345", 2, true, 2, "a line longer than 8 bytes"},
      {"\n\n\n\n\n", 2, false, 10, ""},
      {"\n\n\n\n\n\n", 2, true, 11, "the script has more than 10 lines"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ScriptLine> lines;
    ScriptReader r(lines, bounds);
    std::size_t fed = 0;
    while (fed < c.times && r.feed(c.piece)) ++fed;
    const bool done = fed == c.times && r.finish();
    EXPECT_EQ(!done, c.refused);
    EXPECT_EQ(fed, c.refused ? c.times - 1 : c.times);
    EXPECT_EQ(r.line(), c.line);
    EXPECT_EQ(r.what(), c.what);
  }
}

TEST_F(Navigation, ScriptLinesTakeEffectAtWarpsStallsAndEnd) {
  start();
  ScriptedInput in(script("L 10 -20\n- 2000 -2000\n"));
  in.attach(headless());
  const auto pointer = [] { return std::make_pair(getvaluator(MOUSEX), getvaluator(MOUSEY)); };
  // Nothing active yet: no button, pointer at the centre.
  EXPECT_EQ(mygetbutton(), 0);
  EXPECT_EQ(pointer(), std::make_pair(640, 512));
  setmouse(240, 180);  // one warp, one line
  EXPECT_EQ(in.activated(), 1u);
  EXPECT_EQ(pointer(), std::make_pair(650, 492));
  EXPECT_EQ(mygetbutton(), 1);
  // A window write starts the count again; then 999 reads keep the line and the 1000th is
  // answered by the next one, clamped to the screen.
  lrectwrite(0, 0, 479, 359, prog.screenbak.data());
  for (int i = 0; i < 999; ++i) ASSERT_EQ(getbutton(LEFTMOUSE), 1) << i;
  EXPECT_EQ(pointer(), std::make_pair(1279, 0));
  EXPECT_EQ(mygetbutton(), 0);
  EXPECT_FALSE(in.finished());
  setmouse(240, 180);  // past the end: the right button alone, for ever
  EXPECT_TRUE(in.finished());
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(mygetbutton(), 4);
  EXPECT_EQ(pointer(), std::make_pair(640, 512));
}

// Sessions from start-up at the far view (centre (5, 0), half-extents 1, limit 50) to the right
// button: the window writes, and the view at the end. A pointer offset of 8 counts is 3 grid
// units; the exact pan moves the view by 2 pixels per grid column and 3 rows per grid row.
TEST_F(Navigation, LoopSteps) {
  const double far = 1e290, near = 1e-290;
  const struct {
    const char* script;
    const char* frames;
    double xstep, maxit, xmit = 5, ymit = 0;  // at the end
    int highq = 1;
    double xs0 = 1, ys0 = 1, maxit0 = 50;  // at the start
  } cases[] = {
      // Idle: nothing is computed, however long.
      {"- 0 0\n- 0 0\n- 0 0\n", "f", 1, 50},
      // Dives and a back-out: one coarse picture per step, the full one when let go.
      {"L 0 0\nL 0 0\nL 0 0\nM 0 0\n- 0 0\n", "ccccf", ((0.9 * 0.9) * 0.9) / 0.9,
       ((50 * 1.02 * 1.02) * 1.02) / 1.02},
      // Steering while diving: the view follows the pointer's offset, (6, -5) then (-6, 6).
      {"L 16 15\nL -16 -15\n- 0 0\n", "ccf", 0.9 * 0.9, 50 * 1.02 * 1.02,
       5 + (12 * 0.9 - 12 * 0.81) / 240, (-15 * 0.9 + 18 * 0.81) / 180},
      // Both pressed at rest while idle: one whole picture; let go at rest: refinement only.
      {"- 0 0\nLM 0 0\n- 0 0\n- 0 0\n", "ffr", 1, 50},
      // Middle added to a held left at rest: nothing recomputed while the drag rests; let go
      // with the pointer moved: exact pan and a whole picture with its coarse pass.
      {"L 0 0\nLM 0 0\nLM 0 0\n- 8 0\n- 0 0\n", "ccf", 0.9, 51, 5 + 6 * 0.9 / 240},
      // Middle added to a held left with the pointer moved: exact pan, whole picture.
      {"L 0 0\nLM 8 0\n- 0 0\n", "ccf", 0.9, 51, 5 + 6 * 0.9 / 240},
      // Without highq, pressing both at rest computes nothing and letting go is a plain pan.
      {"- 0 0\nLM 0 0\n- 0 0\n", "f", 1, 50, 5, 0, 0},
      // Only one of the drag buttons let go: a zoom step, not the end of a drag.
      {"LM 0 0\nL 0 0\n- 0 0\n", "cf", 0.9, 51},
      {"LM 0 0\nM 0 0\n- 0 0\n", "cf", 1 / 0.9, 50 / 1.02},
      // The pointer moved while idle: a re-use pan, sideways or vertical (20 rows).
      {"- 0 0\n- 0 20\n- 0 0\n", "fs", 1, 50, 5, -20.0 / 180},
      // The right button ends the step it is seen in; with left, the zoom and pan are applied
      // but the new view is not computed; pressed while idle with the pointer moved, the step
      // pans (a 12-column strip) first.
      {"R 0 0\n", "c", 1, 50},
      {"LR 8 0\n", "c", 0.9, 51, 5 + 6 * 0.9 / 240},
      {"- 0 0\nR 16 0\n", "fs", 1, 50, 5 + 12.0 / 240},
      // The limit grows by 2 % a dive step while below 64250.
      {"L 0 0\nL 0 0\n", "cc", 0.9 * 0.9, 64250, 5, 0, 1, 1, 1, 64250},
      {"L 0 0\nL 0 0\n", "cc", 0.9 * 0.9, std::nextafter(64250.0, 0) * 1.02, 5, 0, 1, 1, 1,
       std::nextafter(64250.0, 0)},
      // Diving has no floor: below 1e-290 the view goes on (deep), by the same steps.
      {"L 0 0\nL 0 0\nM 0 0\n", "ccc", ((1.2 * near * 0.9) * 0.9) / 0.9,
       ((50 * 1.02) * 1.02) / 1.02, 5, 0, 1, 1.2 * near, -1.05 * near},
      // A back-out step that would take either half-extent past the ceiling is not taken; the
      // step still pans and recomputes, and the opposite zoom moves the view again.
      {"M 8 8\nL 0 0\n- 0 0\n", "ccf", -0.95 * far * 0.9, 51, 5 - 6 * 0.95 * far / 240,
       -6 * 0.85 * far / 180, 1, -0.95 * far, 0.85 * far},
      {"M 0 0\nL 0 0\n", "cc", 0.85 * far * 0.9, 51, 5, 0, 1, 0.85 * far, -0.95 * far},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.script);
    start(FAR_VIEW);
    View& v = prog.view;
    prog.highq = k.highq;
    v.xstep = k.xs0;
    v.ystep = k.ys0;
    v.maxit = k.maxit0;
    play(k.script);
    EXPECT_EQ(kinds, k.frames);
    EXPECT_EQ(v.xstep, k.xstep);
    EXPECT_DOUBLE_EQ(v.ystep, k.xstep * (k.ys0 / k.xs0));
    EXPECT_EQ(v.maxit, k.maxit);
    // Within a millionth of a pixel.
    EXPECT_NEAR(v.xmit, k.xmit, std::fabs(v.xstep) * 1e-8);
    EXPECT_NEAR(v.ymit, k.ymit, std::fabs(v.ystep) * 1e-8);
  }
}

// A button let go after the renderer's last look at it, before the loop reads it, leaves a
// coarse picture behind: the loop refines it at its first idle moment, also after a pan.
// A shallow session is the design's to the last bit: its view, window writes and picture are
// those of the program before any of the deep or paced work (commit f9131b1, zoomdive-render
// --replay --summary). Pans right and down expose strips whose points the design computes from
// the far edge back.
TEST_F(Navigation, AShallowSessionIsTheDesignsBitForBit) {
  start({"0.74369", "0.74359", "-0.13179", "-0.13186", "3000"});
  std::string text = "L 0 0\n";
  for (int d : {7, 13, 22, 31, 9, 17, 26, 5, 40, 11, 19, 3}) {
    text += "- " + std::to_string(d) + " 0\n- 0 0\n- " + std::to_string(d) + " -" + std::to_string(d) + "\n- 0 0\n";
  }
  play(text.c_str());
  EXPECT_EQ(prog.view.numbers(),
            "0.74358900000000039 -0.1318628 -4.4999999999995043e-05 -3.1500000000006525e-05 3060");
  EXPECT_EQ(headless().writes, 38);
  EXPECT_EQ(fnv1a_words(picture().data(), picture().size()), 0xac79db25aadd23c5u);
}

TEST_F(Navigation, CoarsePictureLeftByALateReleaseIsRefinedWhenIdle) {
  for (auto [dx, frames] : {std::pair{0, "cr"}, {-20, "csr"}}) {
    SCOPED_TRACE(frames);
    start(DETAIL_VIEW);
    record_writes();
    auto& hs = headless();
    hs.buttons[LEFTMOUSE - RIGHTMOUSE] = 1;
    long long reads = 0, idle = 0, writes = 0;
    hs.on_read = [&](HeadlessState& s, int) {
      // The renderer's follow-up check is the 3 reads after its first write; let go after it.
      if (s.writes == 1 && ++reads == 4) {
        s.buttons[LEFTMOUSE - RIGHTMOUSE] = 0;
        s.mousex.value += dx;
      }
      if (s.writes != writes) writes = s.writes, idle = 0;
      if (++idle > 10000) s.buttons[RIGHTMOUSE - RIGHTMOUSE] = 1;  // at rest for long: end
    };
    paint_mandel();
    EXPECT_EQ(kinds, frames);
    EXPECT_FALSE(prog.picture_coarse);
    if (dx == 0) {
      EXPECT_EQ(picture(), fresh_picture());
    }
  }
}

// The re-use pan, called directly with the pointer set.
class Pan : public Program {
 protected:
  void SetUp() override {
    start(DETAIL_VIEW);
    whole_picture();
  }
  // Moves the pointer to grid offset (px, py) and pans; returns the window writes' geometry.
  static std::vector<std::array<int, 4>> pan_by(int px, int py) {
    // Inverse of the grid mapping: a valuator value that reads as the wanted grid unit.
    headless().mousex.value = ((240 + px) * 1280 + 479) / 480;
    headless().mousey.value = ((360 - (180 + py)) * 1024 + 359) / 360;
    EXPECT_EQ(xmouse() - 240, px);
    EXPECT_EQ(ymouse() - 180, py);
    std::vector<std::array<int, 4>> strips;
    headless().on_write = [&](const HeadlessState&) {
      strips.push_back({prog.LOX, prog.LOY, prog.XPTS, prog.YPTS});
    };
    reuse_pan();
    headless().on_write = nullptr;
    return strips;
  }
};

// One pan after another; content shifts are cut to multiples of 4 pixels, but 1 to 3 become 4
// (px 1 -> 4 columns, py 1 -> 4 rows, px 5 -> 8 columns, py 4 -> 12 rows). The strips cover
// exactly the exposed area, the kept pixels are the old ones moved, the view moves by exactly
// the pixels the content moves, and the picture stays close to one computed afresh.
TEST_F(Pan, StripsKeptPixelsAndView) {
  using Strips = std::vector<std::array<int, 4>>;  // LOX, LOY, XPTS, YPTS during each render
  const struct { int px, py; Strips strips; int dc, dr; } cases[] = {
      {1, 1, {{476, 4, 4, 356}, {0, 0, 480, 4}}, 4, 4},
      {-5, 4, {{0, 12, 8, 348}, {0, 0, 480, 12}}, -8, 12},
      {-5, 0, {{0, 0, 8, 360}}, -8, 0},
      {-5, -4, {{0, 0, 8, 348}, {0, 348, 480, 12}}, -8, -12},
      {5, 4, {{472, 12, 8, 348}, {0, 0, 480, 12}}, 8, 12},
      {5, -4, {{472, 0, 8, 348}, {0, 348, 480, 12}}, 8, -12},
      {0, 4, {{0, 0, 480, 12}}, 0, 12},
      {0, -4, {{0, 348, 480, 12}}, 0, -12},
      {37, -29, {{408, 0, 72, 276}, {0, 276, 480, 84}}, 72, -84},
      {-51, 33, {{0, 96, 100, 264}, {0, 0, 480, 96}}, -100, 96},
      {0, 0, {}, 0, 0},
      {3, -120, {{476, 0, 4, 0}, {0, 0, 480, 360}}, 4, -360},  // no rows kept
      {-240, 0, {{0, 0, 480, 360}}, -480, 0},                  // no columns kept
      {0, 122, {}, 0, 364},  // too far: the buffer is left alone, the whole picture due
  };
  long long differ = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << "px " << k.px << ", py " << k.py);
    const View& v = prog.view;
    const double x = v.xmit, y = v.ymit, colstep = (v.xstep * 2.0) / 480, rowstep = (v.ystep * 2.0) / 360;
    const auto old = picture();
    prog.calc = 0;
    EXPECT_EQ(pan_by(k.px, k.py), k.strips);
    EXPECT_EQ((std::array<int, 4>{prog.LOX, prog.LOY, prog.XPTS, prog.YPTS}),
              (std::array<int, 4>{0, 0, 480, 360}));
    EXPECT_NEAR(v.xmit, x + k.dc * colstep, 1e-15);
    EXPECT_NEAR(v.ymit, y + k.dr * rowstep, 1e-15);
    EXPECT_EQ(prog.calc, k.dr == 364);
    const auto now = picture();
    if (prog.calc) {
      EXPECT_EQ(now, old);
      continue;
    }
    // New row r, column c shows what old row r - dr, column c + dc showed.
    for (int r = std::max(0, k.dr); r < std::min(360, 360 + k.dr); ++r) {
      for (int c = std::max(0, -k.dc); c < std::min(480, 480 - k.dc); ++c) {
        ASSERT_EQ(now[r * 480 + c], old[(r - k.dr) * 480 + c + k.dc]) << r << ", " << c;
      }
    }
    const auto fresh = fresh_picture();
    for (std::size_t i = 0; i < now.size(); ++i) differ += now[i] != fresh[i];
  }
  // Strip coordinates are rounded differently from the whole picture's, so refinement decisions
  // at strip edges may differ: measured, 6 pixels in all.
  EXPECT_LT(differ, 60);
}

// A pan moves a deep centre still as typed: it is the typed number no more, in print or when
// dives give it more bits (where a typed number is read again at them). The typed numbers are
// exact in binary, so that reading them again changes nothing else.
TEST(Viewpoint, PansMoveADeepCentreStillAsTyped) {
  const std::string x = "0.743643887037251261062920093536376953125";  // 2^-40ths
  const std::string y = "-0.13182590420547057874500751495361328125";
  const View typed = View::of_exact(*View::read_centre(x), *View::read_centre(y), FloatExp(1e-20),
                                    FloatExp(0.75e-20), 500, x, y);
  ASSERT_TRUE(typed.deep);
  const struct {
    const char* what;
    void (*pan)(View&);
    int axis;  // 0: x moves, 1: y
  } pans[] = {
      {"exact pan right", [](View& v) { v.exact_pan(12, 0); }, 0},
      {"exact pan down", [](View& v) { v.exact_pan(0, -7); }, 1},
      {"re-use pan left", [](View& v) { v.pixel_pan(-1, 8, 480, 0, 0, 360); }, 0},
      {"re-use pan up", [](View& v) { v.pixel_pan(0, 0, 480, 1, 4, 360); }, 1},
  };
  for (const auto& p : pans) {
    SCOPED_TRACE(p.what);
    View moved = typed, untyped = View::of_exact(typed.cx, typed.cy, typed.xs, typed.ys, 500);
    p.pan(moved);
    p.pan(untyped);
    for (int dive = 0; dive <= 60; ++dive) {
      std::istringstream a(moved.numbers()), b(untyped.numbers());
      std::string printed[2][2];
      a >> printed[0][0] >> printed[0][1];
      b >> printed[1][0] >> printed[1][1];
      ASSERT_EQ(printed[0][p.axis], printed[1][p.axis]) << "after " << dive << " dives";
      ASSERT_TRUE(p.axis == 0 ? moved.cx == untyped.cx : moved.cy == untyped.cy) << dive;
      ASSERT_NE(printed[0][p.axis], p.axis == 0 ? x : y);
      moved.zoom_in();
      untyped.zoom_in();
    }
  }
}

}  // namespace
}  // namespace zd::test
