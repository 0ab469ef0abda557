// test_compute.cpp — escape counts and colours, the band walk, the region renderer and its crew,
// the logo.
#include <array>
#include <limits>
#include <random>
#include <thread>

#include "compute/kernel.h"
#include "display/display.h"
#include "platform/gfx.h"
#include "program.h"

namespace zd::test {
namespace {

TEST(Kernel, EscapeCountsAndColours) {
  build_coltab(prog.mycoltab);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double cx, cy; int limit, count, entry; } cases[] = {
      {0, 0, 50, 50, 0},     {0.3, 0, 50, 50, 0},    {1, 0, 50, 50, 0},     {2, 0, 50, 50, 0},
      {-1, 0, 50, 2, 48},    {-0.5, 0.5, 50, 4, 46}, {-0.3, 0, 50, 12, 38},  // z^2 - c, not + c
      {3, 0, 50, 0, 50},     {0, 3, 50, 0, 50},      // |z|^2 == 9 ends the iteration
      {5, 0, 1, 0, 1},       {0, 0, 1, 1, 0},        {5, 0, 0, 0, 0},
      {0, 0, 0, 1, 255},     {0, 0, -7, 1, 248},     // the first step is always made
      {-1, 0, 300, 2, 42},   {0, 0, 300, 300, 0},    // entries repeat every 256 counts
      {nan, 0, 100, 0, 100}, {0, nan, 100, 0, 100},  {inf, 0, 100, 0, 100}, {-inf, -inf, 9, 0, 9},
  };
  for (const auto& p : cases) {
    SCOPED_TRACE(testing::Message() << "c = (" << p.cx << ", " << p.cy << "), limit " << p.limit);
    EXPECT_EQ(escape_count(p.cx, p.cy, p.limit), p.count);
    EXPECT_EQ(point_colour(p.cx, p.cy, p.limit), prog.mycoltab[p.entry]);
  }
  // The ramp: black, then through its control points.
  const std::pair<int, std::uint32_t> entries[] = {
      {0, 0x000000},  {1, 0x50a078},   {2, 0x589874},   {11, 0xa06460},
      {22, 0xfc2848}, {100, 0xb4509c}, {198, 0xfcfcfc}, {255, 0x50a078},
  };
  for (auto [i, w] : entries) EXPECT_EQ(prog.mycoltab[i], w) << "entry " << i;
}

// Stores the walk's points of blocks of at least `least` pixels as they are visited.
struct Stores {
  const Canvas& cv;
  const WalkBand& b;
  int limit, least;
  long long points = 0;  // visited
  void point(double cx, double cy, int r, int c, int s) {
    ++points;
    if (s >= least) fill(cv, b, r, c, s, point_colour(cx, cy, limit));
  }
  void flush(Pass) {}
};

// The picture of the renderer's bands, computed in this thread. The crew meets so that a band's
// tests read the band above after its block pass and before its pixel pass: so first every
// band's coarse and block passes from the top band down, then every band's pixel passes from
// the bottom band up.
void bands_in_one_thread(const std::vector<bandrec>& bands) {
  const Canvas cv = prog.screen.canvas(prog.LOX, prog.LOX + prog.XPTS);
  // The records' renderer has returned: theirs again, alive.
  const Region region{};
  const Rendering live = rendering(region);
  for (int least : {2, 1}) {
    for (std::size_t k = 0; k < bands.size(); ++k) {
      bandrec r = least == 2 ? bands[bands.size() - 1 - k] : bands[k];
      if (r.with != nullptr) r.with = &live;
      WalkBand b = walk_band(r);
      b.coarse = b.coarse && least == 2;
      Stores v{cv, b, r.limit, least};
      walk(cv, b, v);
    }
  }
}

// The band worker on its own, in the main thread.
class Band : public Program {
 protected:
  void SetUp() override { start(); }
  // A record for rows first.. of the default view's whole picture, over the columns LOX and
  // XPTS give now.
  bandrec rec(int first, int rows, int own) {
    with = rendering(region);
    const View& v = prog.view;
    const double dx = (v.xstep * 2.0) / prog.XPTS, dy = (v.ystep * 2.0) / prog.YPTS;
    return {first, rows, v.xmit - v.xstep, dx, (v.ymit + v.ystep) - first * dy, dy, 50, 0, 1, 0,
            own,   nullptr, &with, false};
  }
  static void fill_screen(std::uint32_t w) { std::fill(prog.screen.words.begin(), prog.screen.words.end(), w); }
  static std::vector<std::uint32_t> all_words() { return prog.screen.words; }
  Region region{};
  Rendering with;
};

TEST_F(Band, StoresItsOwnRowsOnlyAndSignalsOnce) {
  const struct { int first, rows, own, lox, xpts; } cases[] = {
      {100, 6, 106, 0, 480},  // the last coarse row's blocks reach past the band
      {100, 8, 106, 0, 480},  // rows shared with a later band are that band's
      {100, 8, 102, 16, 8},   // a strip of columns
      {356, 4, 360, 0, 480},  // the tests read the spare rows above the window
      {100, 0, 100, 0, 480},  {100, 8, 108, 0, 0},
  };
  const std::uint32_t mark = 0x12345678;  // no colour: the table's words have a zero top byte
  const std::vector<std::uint32_t>& words = prog.screen.words;
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.first << "+" << k.rows << ", " << k.own << ", " << k.xpts);
    fill_screen(mark);
    prog.LOX = k.lox;
    prog.XPTS = k.xpts;
    bandrec b = rec(k.first, k.rows, k.own);
    smandel(&b);
    EXPECT_EQ(proctest::wakeups(), 1);
    blockproc(prog.pid);
    for (std::size_t i = 0; i < words.size(); ++i) {
      const int r = static_cast<int>(i) / DESIGN_W, c = static_cast<int>(i) % DESIGN_W;
      const bool own = r >= k.first && r < k.own && c >= k.lox && c < k.lox + k.xpts;
      ASSERT_EQ(words[i] != mark, own) << "row " << r << ", column " << c;
    }
  }
}

// With the picture as wide as the stride, the last right-hand tests of a row (the block pass's
// and the late pixel test) read the next row's first word. Every anchor alike, so only that
// word can trigger a refinement; columns 478 and 479 at the points (0, 0) and (5, 0).
TEST_F(Band, RightEdgeTestsReadTheNextRowsFirstWord) {
  const std::uint32_t flat = 0x00abcdef;  // not a colour of the table
  for (const std::uint32_t next_row_first : {flat, 0x00fedcbau}) {
    fill_screen(flat);
    prog.screen.row(1)[0] = next_row_first;
    bandrec b = rec(0, 4, 4);
    b.x0 = -478 * 5.0, b.dx = 5, b.y0 = 0, b.no_firstpass = 1;
    smandel(&b);
    blockproc(prog.pid);
    const bool refined = next_row_first != flat;
    EXPECT_EQ(prog.screen.row(0)[478], refined ? point_colour(0, 0, 50) : flat);
    EXPECT_EQ(prog.screen.row(0)[479], refined ? point_colour(5, 0, 50) : flat);
  }
}

// Through the flat addressing, a band's last pixel test reads the first word that the band
// above may refine: the crew meets before anyone stores the pass. A large band below and a
// small one above, so that without that meet the small one would often store first.
TEST_F(Band, ABandStoresItsPixelPassAfterTheBandBelowHasTestedIt) {
  const std::uint32_t flat = 0x00abcdef, other = 0x00fedcba;  // no colours of the table
  Crew crew(2, double_kernel()->count);
  bandrec bands[2] = {rec(0, 356, 356), rec(356, 4, 360)};
  for (bandrec& b : bands) b.no_firstpass = 1, b.crew = &crew;
  for (int run = 0; run < 20; ++run) {
    fill_screen(flat);
    prog.screen.row(358)[0] = other;  // the band above refines the pixel below it, (357, 0)
    std::thread above(smandel, &bands[1]);
    smandel(&bands[0]);
    above.join();
    const auto got = picture();
    fill_screen(flat);
    prog.screen.row(358)[0] = other;
    bands_in_one_thread({bands[0], bands[1]});
    ASSERT_EQ(got, picture()) << "run " << run;
  }
}

// The batched passes against the one-point-at-a-time ones: from the same words in the buffer,
// the same words everywhere in it afterwards, and the same points computed.
TEST_F(Band, BatchedPassesStoreWhatThePointByPointPassesStore) {
  const struct { const char* what; double x0, dx, y0, dy; int limit; } views[] = {
      {"default", 3.0, -5.0 / 480, 1.875, 3.749 / 360, 50},
      {"seahorse valley", 0.7437, -1e-4 / 480, -0.13179, 7.5e-5 / 360, 400},
      {"interior and its edge", 0.8, -0.1 / 480, 0.0375, 0.075 / 360, 300},
  };
  const struct { int first, rows, lox, xpts; } shapes[] = {
      {0, 360, 0, 480},   // whole picture: a row's last test reads the next row's first word
      {0, 360, 472, 8},   // right pan strip, ending at the buffer's right edge
      {0, 360, 0, 8},     // left pan strip
      {0, 360, 16, 448},  // narrower picture
      {100, 90, 0, 480},  // a band whose last coarse row reaches past it
      {2, 52, 0, 480},    // a band on the grid shifted by two rows
      {356, 4, 0, 480},   // the top rows: tests read the buffer's spare rows above
  };
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> pick(0, 2);
  std::vector<std::uint32_t> start_words(prog.screen.words.size());
  for (const auto& v : views) {
    for (const auto& sh : shapes) {
      for (int flags = 0; flags < 4; ++flags) {
        SCOPED_TRACE(testing::Message() << v.what << ", rows " << sh.first << "+" << sh.rows
                                        << ", cols " << sh.lox << "+" << sh.xpts << ", " << flags);
        prog.LOX = sh.lox;
        prog.XPTS = sh.xpts;
        bandrec b = rec(sh.first, sh.rows, sh.first + sh.rows);
        b.x0 = v.x0, b.dx = v.dx, b.y0 = v.y0, b.dy = v.dy, b.limit = v.limit;
        b.no_firstpass = flags & 1, b.buttons = flags >> 1;
        // Few colours of the table, so that tests find both equal and different neighbours;
        // without a coarse pass they stand in for its colours.
        for (auto& w : start_words) w = prog.mycoltab[pick(rng) * 7];

        prog.screen.words = start_words;
        const Canvas cv = prog.screen.canvas(prog.LOX, prog.LOX + prog.XPTS);
        const WalkBand wb = walk_band(b);
        Stores one{cv, wb, v.limit, 1};
        walk(cv, wb, one);
        const std::vector<std::uint32_t> expected = all_words();
        prog.screen.words = start_words;
        const long long before = prog.tally.points;
        smandel(&b);
        blockproc(prog.pid);
        ASSERT_EQ(expected, prog.screen.words);
        EXPECT_EQ(prog.tally.points - before, one.points);
      }
    }
  }
}

TEST(BandTable, SplitsOfTheRegion) {
  const struct { int n, rows; std::vector<std::pair<int, int>> bands; } cases[] = {
      {1, 360, {{0, 360}}},
      {4, 360, {{0, 90}, {90, 90}, {180, 90}, {270, 90}}},
      {5, 360, {{0, 72}, {72, 72}, {144, 72}, {216, 72}, {288, 72}}},
      {7, 360, {{0, 52}, {50, 52}, {102, 52}, {154, 52}, {204, 52}, {256, 52}, {308, 52}}},
      {4, 2, {{0, 0}, {0, 2}, {0, 0}, {0, 2}}},
  };
  for (const auto& k : cases) {
    for (int i = 0; i < k.n; ++i) {
      const bandrec b = band_for(i, k.n, 0, k.rows, 1.0, 0.5, 2.0, 0.25, 50, 0, 1, 0);
      EXPECT_EQ(std::make_pair(b.first, b.rows), k.bands[i]) << k.n << " workers, band " << i;
      EXPECT_EQ(b.y0, 2.0 - b.first * 0.25);
    }
  }
  // Rows and y are counted from the region's first row.
  const bandrec b = band_for(1, 4, 100, 360, 1.0, 0.5, 2.0, 0.25, 50, 0, 1, 3);
  EXPECT_EQ(b.first, 190);
  EXPECT_EQ(b.y0, 2.0 - 90 * 0.25);
  EXPECT_EQ(b.buttons, 3);
}

class Renderer : public Program {
 protected:
  void SetUp() override {
    start(DETAIL_VIEW);
    proctest::set_sleep([](unsigned s) { sleeps += static_cast<int>(s); });
    proctest::on_start([](entry_fn, void* arg) { started.push_back(*static_cast<bandrec*>(arg)); });
    sleeps = 0;
    started.clear();
  }
  // The whole picture's region, or rows first.. of it.
  static void render(int first = 0, int rows = DESIGN_H) {
    const View& v = prog.view;
    const double dx = (v.xstep * 2.0) / prog.XPTS, dy = (v.ystep * 2.0) / prog.YPTS;
    mandel(rendering(Region{}), first, rows, v.xmit - v.xstep, dx, (v.ymit + v.ystep) - first * dy,
           dy, limit_of(v.maxit));
  }
  static void fill_screen(std::uint32_t w) { std::fill(prog.screen.words.begin(), prog.screen.words.end(), w); }
  static inline int sleeps = 0;
  static inline std::vector<bandrec> started;  // the workers' records, as sproc saw them
};

// Each row is stored by one band, and the picture is that of the bands whatever the timing.
TEST_F(Renderer, WorkersMakeTheirBandsPictureEveryTime) {
  const struct { int workers, first, rows; } cases[] = {
      {1, 0, 360}, {2, 0, 360}, {3, 0, 360},  {4, 0, 360},
      {7, 0, 360}, {16, 0, 360}, {4, 100, 2}, {4, 100, 0}, {5, 348, 12},
  };
  const std::uint32_t mark = 0x00abcdef;  // no colour of the table
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.workers << " workers, rows " << k.first << "+" << k.rows);
    prog.anz = k.workers;
    std::vector<std::vector<std::uint32_t>> runs;
    for (int run = 0; run < 3; ++run) {
      fill_screen(mark);
      started.clear();
      render(k.first, k.rows);
      EXPECT_EQ(proctest::wakeups(), 0) << "every wake-up taken";
      runs.push_back(picture());
    }
    ASSERT_EQ(started.size(), static_cast<std::size_t>(k.workers));
    for (int r = k.first; r < k.first + k.rows; ++r) {
      EXPECT_EQ(std::count_if(started.begin(), started.end(),
                              [r](const bandrec& b) { return b.first <= r && r < b.own; }),
                1)
          << "row " << r;
    }
    fill_screen(mark);
    bands_in_one_thread(started);
    for (const auto& p : runs) EXPECT_EQ(p, picture());
  }
}

TEST_F(Renderer, FailedStartsAreRetriedAfterASecond) {
  prog.anz = 1;
  proctest::fail_sproc(2);
  testing::internal::CaptureStdout();
  render();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "waiting...\nwaiting...\n");
  EXPECT_EQ(sleeps, 2);
  EXPECT_EQ(proctest::wakeups(), 0) << "a failed start runs nothing";
  EXPECT_EQ(picture(), fresh_picture());
}

TEST_F(Renderer, ShownPictureCarriesTheLogoButScreenDoesNot) {
  render();
  const auto& win = headless().pixels;
  for (int r = 0; r < 360; ++r) {
    for (int c = 0; c < 480; ++c) {
      const int d = r + 2, x = c - 356;  // the logo's block rows 2..19 at the bottom right
      const std::uint32_t logo = r < 18 && x >= 0 ? prog.snap_long[d * LOGOW + x] : 0;
      const std::uint32_t word = prog.screen.row(r)[c];
      ASSERT_EQ(win[r * 480 + c], logo ? logo : word) << r << ", " << c;
      ASSERT_NE(word, LOGO_COLOUR);
    }
  }
}

// Set bits are transparent, clear bits drawn; bitmap rows run downward, block rows upward.
TEST(Logo, BitmapToBlock) {
  std::array<std::uint8_t, LOGO_BYTES> bits;
  bits.fill(0xff);
  bits[0 * 16 + 0] &= ~1;      // bitmap row 0, pixel 0: bit 0 of the first byte
  bits[20 * 16 + 0] &= ~128;   // bitmap row 20, pixel 7: bit 7
  bits[5 * 16 + 1] &= ~1;      // bitmap row 5, pixel 8: bit 0 of the second byte
  bits[5 * 16 + 15] &= ~8;     // bitmap row 5, pixel 123: the last one read
  bits[6 * 16 + 15] &= ~0xf0;  // bits past pixel 123 are never read
  std::vector<std::uint32_t> block(LOGOW * LOGOH, 0x5a5a5a5a), expect(LOGOW * LOGOH, 0);
  build_logo(bits.data(), block.data());
  expect[20 * LOGOW + 0] = LOGO_COLOUR;
  expect[0 * LOGOW + 7] = LOGO_COLOUR;
  expect[15 * LOGOW + 8] = LOGO_COLOUR;
  expect[15 * LOGOW + 123] = LOGO_COLOUR;
  EXPECT_EQ(block, expect);
}

// A zoom or pan button down, or no refinement wanted: the coarse pass alone, one point per 4 x 4
// block painted in the colour of the view's point at its bottom-left pixel. A zoom or pan
// button let go by the time the renderer has shown that picture: it refines it at once.
TEST_F(Renderer, CoarsePictureAndItsFollowUpRefinement) {
  const struct { const char* what; int dev; bool release; int hq, workers, writes; } cases[] = {
      {"left let go", LEFTMOUSE, true, 1, 0, 2},
      {"middle let go", MIDDLEMOUSE, true, 1, 0, 2},
      {"middle let go, two workers", MIDDLEMOUSE, true, 1, 2, 2},
      {"right button only", RIGHTMOUSE, true, 1, 0, 1},
      {"left still held, two workers", LEFTMOUSE, false, 1, 2, 1},
      {"coarse pictures wanted", LEFTMOUSE, true, 0, 0, 1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    SetUp();
    prog.highq = k.hq;
    prog.anz = k.workers;
    headless().buttons[k.dev - RIGHTMOUSE] = 1;
    std::vector<std::vector<std::uint32_t>> frames;
    headless().on_write = [&](const HeadlessState& h) {
      frames.push_back(h.pixels);
      if (k.release) std::fill(headless().buttons, headless().buttons + 3, 0);
    };
    const long long before = prog.tally.points;
    render();
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(k.writes));
    EXPECT_EQ(prog.no_firstpass, 0);
    EXPECT_EQ(prog.picture_coarse, k.writes == 1);
    EXPECT_EQ(proctest::wakeups(), 0) << "every wake-up taken";
    if (k.writes == 2) {
      EXPECT_NE(frames[0], frames[1]);
      EXPECT_EQ(picture(), fresh_picture());
      continue;
    }
    EXPECT_EQ(prog.tally.points - before, 90 * 120);
    const View& v = prog.view;
    const auto got = picture();
    for (int i = 0; i < DESIGN_W * DESIGN_H; ++i) {
      const int r = (i / DESIGN_W) & ~3, c = (i % DESIGN_W) & ~3;
      const double x = (v.xmit - v.xstep) + c * (v.xstep / 240), y = (v.ymit + v.ystep) - r * (v.ystep / 180);
      ASSERT_EQ(got[i], point_colour(x, y, limit_of(v.maxit))) << i / DESIGN_W << ", " << i % DESIGN_W;
    }
  }
}

}  // namespace
}  // namespace zd::test
