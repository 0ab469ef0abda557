// test_compute.cpp — escape counts, colours, the band worker's passes and the region renderer.
#include <algorithm>
#include <atomic>
#include <random>
#include <set>

#include "compute/kernel.h"
#include "display/display.h"
#include "navigation/mouse.h"
#include "program.h"

namespace zd::test {
namespace {

struct Point {
  double cx, cy;
  int limit, count, entry;
};

TEST(Kernel, EscapeCountsAndEntries) {
  build_coltab();
  const Point cases[] = {
      {0, 0, 50, 50, 0},     {0.3, 0, 50, 50, 0},   {1, 0, 50, 50, 0},    {2, 0, 50, 50, 0},
      {-1, 0, 50, 2, 48},    {-0.5, 0.5, 50, 4, 46}, {-0.3, 0, 50, 12, 38},  // z^2 - c, not + c
      {3, 0, 50, 0, 50},     {0, 3, 50, 0, 50},      // |z|^2 == 9 ends the iteration
      {5, 0, 1, 0, 1},       {0, 0, 1, 1, 0},        // limit 1
      {5, 0, 0, 0, 0},       {0, 0, 0, 1, 255},      // limit 0: the first step is still made
      {0, 0, -7, 1, 248},                            // negative limit: (-7 - 1) mod 256
      {-1, 0, 300, 2, 42},   {0, 0, 300, 300, 0},    // entries repeat every 256 counts
  };
  for (const Point& p : cases) {
    SCOPED_TRACE(testing::Message() << "c = (" << p.cx << ", " << p.cy << "), limit " << p.limit);
    EXPECT_EQ(escape_count(p.cx, p.cy, p.limit), p.count);
    EXPECT_EQ(point_colour(p.cx, p.cy, p.limit), mycoltab[p.entry]);
  }
}

TEST(Kernel, NonFinitePointsStopAtOnce) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(escape_count(nan, 0, 100), 0);
  EXPECT_EQ(escape_count(0, nan, 100), 0);
  EXPECT_EQ(escape_count(inf, 0, 100), 0);
  EXPECT_EQ(escape_count(-inf, -inf, 100), 0);
}

TEST(ColourRamp, EntriesAndControlPoints) {
  build_coltab();
  const std::pair<int, std::uint32_t> entries[] = {
      {0, 0x000000},   {1, 0x50a078},  {2, 0x589874},   {11, 0xa06460},
      {22, 0xfc2848},  {100, 0xb4509c}, {198, 0xfcfcfc}, {255, 0x50a078},
  };
  for (auto [i, w] : entries) EXPECT_EQ(mycoltab[i], w) << "entry " << i;
  for (int p = 0; p < 13; ++p) {
    const std::uint32_t w = (rtab[p] * 4u) | (gtab[p] * 4u) << 8 | (btab[p] * 4u) << 16;
    EXPECT_EQ(mycoltab[otab[p]], w) << "control point " << p;
  }
  for (int i = 0; i < 256; ++i) EXPECT_EQ(mycoltab[i] >> 24, 0u) << "entry " << i;
}

// The band worker on its own, in the main thread.
class Band : public Program {
 protected:
  void SetUp() override {
    Program::SetUp();
    start();
  }
  // A record for rows first.. of the default view's whole-picture mapping.
  static bandrec rec(int first, int rows, int limit = 50) {
    const double dx = (xstep * 2.0) / XPTS, dy = (ystep * 2.0) / YPTS;
    bandrec b{first, rows, xmit - xstep, dx, (ymit + ystep) - first * dy, dy, limit, 0, 1, 0,
              first + rows, nullptr};
    return b;
  }
};

TEST_F(Band, EmptyBandsWriteNothingAndSignalOnce) {
  pid = getpid();
  const auto before = picture();
  const long long w0 = proctest::wakeups();
  bandrec none = rec(100, 0);
  smandel(&none);
  EXPECT_EQ(proctest::wakeups(), w0 + 1);
  XPTS = 0;
  bandrec narrow = rec(100, 8);
  smandel(&narrow);
  EXPECT_EQ(proctest::wakeups(), w0 + 2);
  EXPECT_EQ(picture(), before);
  // Take back what we gave, so other tests see the count they expect.
  blockproc(pid);
  blockproc(pid);
}

TEST_F(Band, CoarseOnlyPaintsUniformBlocksFromTheirAnchors) {
  for (int variant = 0; variant < 2; ++variant) {
    bandrec b = rec(0, 360);
    (variant == 0 ? b.highq : b.buttons) = variant == 0 ? 0 : 1;
    smandel(&b);
    for (int r = 0; r < 360; r += 4) {
      for (int c = 0; c < 480; c += 4) {
        const std::uint32_t a = point_colour(b.x0 + (c / 4) * (4 * b.dx), b.y0 - (r / 4) * (4 * b.dy), 50);
        for (int i = 0; i < 16; ++i) ASSERT_EQ(screen[(r + i / 4) * 480 + c + i % 4], a);
      }
    }
  }
}

TEST_F(Band, StoresStayInsideTheBand) {
  // 6 rows: the last coarse row's blocks would reach 2 rows past the band.
  const std::uint32_t mark = 0x12345678;
  for (int i = 0; i < BUFWORDS; ++i) screen[i] = mark;
  bandrec b = rec(100, 6);
  smandel(&b);
  for (int r = 0; r < 364; ++r) {
    for (int c = 0; c < 480 && r * 480 + c < BUFWORDS; ++c) {
      const bool inside = r >= 100 && r < 106;
      ASSERT_EQ(screen[r * 480 + c] != mark, inside) << "row " << r << " column " << c;
    }
  }
}

TEST_F(Band, RightEdgeTestReadsTheNextRowsFirstWord) {
  // Every anchor alike, so only the flat-addressing neighbour can trigger a refinement.
  const std::uint32_t flat = 0x00abcdef;  // not a colour of the table
  auto run = [&](std::uint32_t next_row_first) {
    for (int i = 0; i < BUFWORDS; ++i) screen[i] = flat;
    screen[1 * 480 + 0] = next_row_first;
    bandrec b = rec(0, 4);
    b.no_firstpass = 1;
    smandel(&b);
  };
  run(flat);
  EXPECT_EQ(screen[478], flat);
  run(0x00fedcba);
  const bandrec b = rec(0, 4);
  EXPECT_EQ(screen[478], point_colour((b.x0 + 119 * (4 * b.dx) + b.dx) + b.dx, b.y0, 50));
}

TEST_F(Band, RefiningACoarsePictureGivesTheFullPicture) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> centre(-1.5, 1.5), size(1e-4, 2.0);
  std::uniform_int_distribution<int> limit(10, 400), strip(0, 5);
  for (int trial = 0; trial < 12; ++trial) {
    xmit = centre(rng);
    ymit = centre(rng);
    xstep = size(rng) * (trial % 2 ? -1 : 1);
    ystep = xstep * 0.75;
    maxit = limit(rng);
    // Sometimes a strip: narrower columns, as a pan computes them.
    const int s = strip(rng);
    LOX = s * 16;
    XPTS = 480 - s * 32;
    SCOPED_TRACE(testing::Message() << "trial " << trial);

    std::fill(screen, screen + BUFWORDS, 0u);
    whole_picture();
    const auto full = picture();

    std::fill(screen, screen + BUFWORDS, 0u);
    highq = 0;
    whole_picture();
    highq = 1;
    no_firstpass = 1;
    whole_picture();
    EXPECT_EQ(picture(), full);
    LOX = 0;
    XPTS = 480;
  }
}

// The batched passes against the one-point-at-a-time ones: from the same words in the buffer,
// the same words everywhere in it afterwards (so also nothing stored outside the band), and
// the same points computed.
TEST_F(Band, BatchedPassesStoreWhatThePointByPointPassesStore) {
  struct View {
    const char* what;
    double x0, dx, y0, dy;
    int limit;
  };
  const View views[] = {
      {"default", 3.0, -5.0 / 480, 1.875, 3.749 / 360, 50},
      {"seahorse valley", 0.7437, -1e-4 / 480, -0.13179, 7.5e-5 / 360, 400},
      {"interior and its edge", 0.8, -0.1 / 480, 0.0375, 0.075 / 360, 300},
  };
  struct Shape {
    int first, rows, lox, xpts;
  };
  const Shape shapes[] = {
      {0, 360, 0, 480},    // whole picture: a row's last test reads the next row's first word
      {0, 360, 472, 8},    // right pan strip, ending at the buffer's right edge
      {0, 360, 0, 8},      // left pan strip
      {0, 360, 16, 448},   // narrower picture
      {100, 90, 0, 480},   // a band whose last coarse row reaches past it
      {2, 52, 0, 480},     // a band on the grid shifted by two rows
      {356, 4, 0, 480},    // the top rows: tests read the buffer's spare rows above
  };
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> pick(0, 2);
  std::vector<std::uint32_t> start_words(BUFWORDS);
  for (const View& v : views) {
    for (const Shape& sh : shapes) {
      for (int flags = 0; flags < 4; ++flags) {
        const int no_first = flags & 1, buttons = flags >> 1;
        SCOPED_TRACE(testing::Message() << v.what << ", rows " << sh.first << "+" << sh.rows
                                        << ", columns " << sh.lox << "+" << sh.xpts
                                        << ", no_firstpass " << no_first << ", buttons " << buttons);
        LOX = sh.lox;
        XPTS = sh.xpts;
        const bandrec b{sh.first, sh.rows, v.x0, v.dx, v.y0, v.dy, v.limit, no_first, 1, buttons,
                        sh.first + sh.rows, nullptr};
        // Starting words: colours of the table, few of them, so that tests find both equal
        // and different neighbours; without a coarse pass they stand in for its colours.
        for (auto& w : start_words) w = mycoltab[pick(rng) * 7];

        std::copy(start_words.begin(), start_words.end(), screen);
        const work_tally t0 = work_done();
        bandrec one = b;
        smandel_scalar(&one);
        const work_tally t1 = work_done();
        const std::vector<std::uint32_t> expected(screen, screen + BUFWORDS);

        std::copy(start_words.begin(), start_words.end(), screen);
        bandrec batched = b;
        smandel(&batched);
        const work_tally t2 = work_done();
        const std::vector<std::uint32_t> got(screen, screen + BUFWORDS);
        ASSERT_EQ(got, expected) << "first differing word "
                                 << std::mismatch(got.begin(), got.end(), expected.begin()).first -
                                        got.begin();
        EXPECT_EQ(t2.points - t1.points, t1.points - t0.points);
        EXPECT_EQ(t2.iterations - t1.iterations, t1.iterations - t0.iterations);
        EXPECT_EQ(t1.points > t0.points, !(no_first && buttons)) << "nothing to do only then";
      }
    }
  }
  LOX = 0;
  XPTS = 480;
  drain_wakeups();
}

TEST_F(Band, CoarseOnlyComputesOnePointPerBlock) {
  for (int workers : {0, 2}) {
    anz = workers;
    drain_wakeups();
    headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 1;  // a dive: the button stays down
    const work_tally t0 = work_done();
    whole_picture();
    const work_tally t1 = work_done();
    EXPECT_EQ(t1.points - t0.points, 90 * 120) << workers << " workers";
    headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 0;
    whole_picture();
    EXPECT_GT(work_done().points - t1.points, 90 * 120) << "refinement computes more";
  }
}

TEST(BandTable, SplitsOfTheRegion) {
  struct Case {
    int n, rows;
    std::vector<std::pair<int, int>> bands;
  };
  const Case cases[] = {
      {1, 360, {{0, 360}}},
      {4, 360, {{0, 90}, {90, 90}, {180, 90}, {270, 90}}},
      {5, 360, {{0, 72}, {72, 72}, {144, 72}, {216, 72}, {288, 72}}},
      {7, 360, {{0, 52}, {50, 52}, {102, 52}, {154, 52}, {204, 52}, {256, 52}, {308, 52}}},
      {4, 2, {{0, 0}, {0, 2}, {0, 0}, {0, 2}}},
  };
  for (const Case& k : cases) {
    for (int i = 0; i < k.n; ++i) {
      const bandrec b = band_for(i, k.n, 0, k.rows, 1.0, 0.5, 2.0, 0.25, 50, 0);
      EXPECT_EQ(std::make_pair(b.first, b.rows), k.bands[i]) << k.n << " workers, band " << i;
      EXPECT_EQ(b.y0, 2.0 - b.first * 0.25);
    }
  }
  // Offsets are relative to the region's first row.
  const bandrec b = band_for(1, 4, 100, 360, 1.0, 0.5, 2.0, 0.25, 50, 3);
  EXPECT_EQ(b.first, 190);
  EXPECT_EQ(b.y0, 2.0 - 90 * 0.25);
  EXPECT_EQ(b.buttons, 3);
}

class Renderer : public Program {
 protected:
  void SetUp() override {
    Program::SetUp();
    start();
    proctest::set_sleep(&Renderer::fake_sleep);
    sleeps = 0;
  }
  static void fake_sleep(unsigned s) { sleeps += static_cast<int>(s); }
  static inline int sleeps = 0;
};

TEST_F(Renderer, WorkersAgreeWithTheMainThreadAwayFromBandBorders) {
  // Rows next to a border differ: the tests there read the neighbour's rows mid-computation.
  // A band whose first row is not a multiple of 4 subdivides on a grid shifted by 2 rows, so
  // its refinement decisions, not its colours, may differ anywhere in it: only a few pixels.
  anz = 0;
  whole_picture();
  const auto alone = picture();
  for (int n : {1, 2, 3, 4, 7, 16}) {
    SCOPED_TRACE(testing::Message() << n << " workers");
    std::fill(screen, screen + BUFWORDS, 0u);
    anz = n;
    drain_wakeups();
    const long long w0 = proctest::wakeups();
    whole_picture();
    EXPECT_EQ(proctest::wakeups(), w0) << "every wake-up taken";
    const auto shared = picture();
    for (int i = 0; i < n; ++i) {
      const bandrec b = band_for(i, n, 0, 360, 0, 0, 0, 0, 0, 0);
      const int lo = i == 0 ? 0 : b.first + 4, hi = i == n - 1 ? 360 : b.first + b.rows - 4;
      int differ = 0;
      for (int k = lo * 480; k < hi * 480; ++k) differ += shared[k] != alone[k];
      if (b.first % 4 == 0) {
        EXPECT_EQ(differ, 0) << "band " << i;
      } else {
        EXPECT_LE(differ, (hi - lo) * 480 / 50) << "band " << i;
      }
    }
  }
}

TEST_F(Renderer, SmallRegionsStillStartAndAwaitEveryWorker) {
  anz = 4;
  drain_wakeups();
  const long long w0 = proctest::wakeups();
  testing::internal::CaptureStdout();
  mandel(100, 2, 5.0, 0.01, 0.2, 0.01, 50);  // bands 1 and 3 both cover rows 100, 101; all escape
  mandel(100, 0, 5.0, 0.01, 0.2, 0.01, 50);  // every band empty
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(proctest::wakeups(), w0);
  EXPECT_EQ(headless().writes, 2);
  for (int c = 0; c < 480; ++c) EXPECT_NE(screen[100 * 480 + c], 0u);
  for (int c = 0; c < 480; ++c) EXPECT_EQ(screen[102 * 480 + c], 0u);
}

TEST_F(Renderer, MainThreadComputesAloneWithoutWorkers) {
  anz = 0;
  pid = getpid();
  const long long w0 = proctest::wakeups();
  testing::internal::CaptureStdout();
  whole_picture();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(proctest::wakeups(), w0) << "its own wake-up is taken at once";
}

TEST_F(Renderer, NegativeWorkerCountComputesNothingButShowsTheWindow) {
  anz = -3;
  screen[0] = 0x00123456;
  testing::internal::CaptureStdout();
  whole_picture();
  whole_picture();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "not all children finished!!!\nnot all children finished!!!\n");
  EXPECT_EQ(headless().writes, 2);
  EXPECT_EQ(headless().pixels[0], 0x00123456u);
  EXPECT_EQ(std::count(screen + 1, screen + WINWORDS, 0u), WINWORDS - 1);
}

TEST_F(Renderer, FailedStartsAreRetriedAfterASecond) {
  anz = 0;
  whole_picture();
  const auto alone = picture();
  std::fill(screen, screen + BUFWORDS, 0u);
  anz = 1;
  drain_wakeups();
  proctest::fail_sproc(2);
  testing::internal::CaptureStdout();
  whole_picture();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "waiting...\nwaiting...\n");
  EXPECT_EQ(sleeps, 2);
  EXPECT_EQ(picture(), alone);
}

TEST_F(Renderer, DisplayCopyCarriesTheLogoButScreenDoesNot) {
  whole_picture();
  const auto& win = headless().pixels;
  for (int r = 0; r < 360; ++r) {
    for (int c = 0; c < 480; ++c) {
      const int d = r + 2, x = c - 356;
      const bool in_block = r < 18 && x >= 0;
      const std::uint32_t logo = in_block ? snap_long[d * LOGOW + x] : 0;
      ASSERT_EQ(win[r * 480 + c], logo ? logo : screen[r * 480 + c]) << r << ", " << c;
      ASSERT_NE(screen[r * 480 + c], LOGO_COLOUR);
    }
  }
}

// Buttons as the follow-up refinement sees them: held at entry, released by the first window write.
class FollowUp : public Renderer {
 protected:
  void press(int dev) { headless().buttons[dev - RIGHTMOUSE] = 1; }
  void release_all_on_write() {
    headless().on_write = [](const HeadlessState&) {
      auto& b = headless().buttons;
      b[0] = b[1] = b[2] = 0;
    };
  }
};

TEST_F(FollowUp, ReleasedButtonRefinesTheCoarsePicture) {
  whole_picture();
  const auto full = picture();
  for (int dev : {LEFTMOUSE, MIDDLEMOUSE}) {
    for (int workers : {0, 2}) {
      SCOPED_TRACE(testing::Message() << "device " << dev << ", " << workers << " workers");
      anz = workers;
      drain_wakeups();
      std::fill(screen, screen + BUFWORDS, 0u);
      headless().writes = 0;
      press(dev);
      no_firstpass = 0;
      std::vector<std::vector<std::uint32_t>> frames;
      headless().on_write = [&](const HeadlessState& h) {
        frames.emplace_back(h.pixels, h.pixels + WINWORDS);
        headless().buttons[dev - RIGHTMOUSE] = 0;
      };
      mandel(LOY, YPTS, xmit - xstep, (xstep * 2.0) / XPTS, ymit + ystep, (ystep * 2.0) / YPTS, 50);
      ASSERT_EQ(frames.size(), 2u);
      EXPECT_NE(frames[0], frames[1]) << "first coarse, then refined";
      EXPECT_EQ(no_firstpass, 0) << "restored";
      if (workers == 0) {
        EXPECT_EQ(picture(), full);
      }
      headless().on_write = nullptr;
    }
  }
}

TEST_F(FollowUp, NoSecondRenderWithoutARelease) {
  struct Case {
    const char* what;
    int dev;
    bool release;
    int hq;
  };
  const Case cases[] = {
      {"right button only", RIGHTMOUSE, true, 1},
      {"left still held", LEFTMOUSE, false, 1},
      {"no refinement wanted", LEFTMOUSE, true, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    headless().writes = 0;
    highq = k.hq;
    press(k.dev);
    if (k.release) release_all_on_write();
    whole_picture();
    EXPECT_EQ(headless().writes, 1);
    headless().on_write = nullptr;
    headless().buttons[0] = headless().buttons[1] = headless().buttons[2] = 0;
  }
}

}  // namespace
}  // namespace zd::test
