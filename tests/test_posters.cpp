// test_posters.cpp — posters and films through zoomdive-render: the window's picture at its
// size, shared points at finer pitches, supersampling, bands and threads, memory, frame ranges,
// video, and the arguments refused.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "compute/poster.h"
#include "display/display.h"
#include "program.h"
#include "render_run.h"

namespace zd::test {
namespace {

class Posters : public InFolder {
 protected:
  Picture png(const char* name) {
    Picture p = read_png(dir / name);
    EXPECT_GT(p.width, 0) << name << " is not a whole PNG";
    return p;
  }
};

// Every pixel of a 480 x 360 poster is the window's full-quality pixel (--screen: bottom row
// first), whatever its bands and threads; shallow and deep views.
TEST_F(Posters, A480PosterIsTheWindowsPictureForAnyBandsAndThreads) {
  const char* const views[] = {
      "-- -0.9 -0.6 0.35 0.125 120",                                       // detail
      "-- 0.74369 0.74359 -0.13179 -0.13186 3000",                         // spirals
      "-- 0.80 0.70 0.0375 -0.0375 600",                                   // interior
      "--view 0.74364388703715 -0.13182590420533 -1e-13 -0.75e-13 1000",  // deep
      "--view 0.743643887037158704752191506114774 -0.131825904205311970493132056385139 "
      "-1.3333333333333333e-21 -1e-21 4000",  // deep, with skips
  };
  const char* const splits[] = {"--band-rows 4 --threads 2", "--band-rows 12 --threads 1",
                                "--threads 2"};
  for (const char* view : views) {
    ok(std::string("--workers 0 --screen w.bin ") + view);
    const std::string words = slurp(dir / "w.bin");
    ASSERT_EQ(words.size(), 480u * 360 * 4);
    for (const char* split : splits) {
      SCOPED_TRACE(std::string(view) + ", " + split);
      ok(std::string("--size 480x360 -o p.png ") + split + " " + view);
      const Picture p = png("p.png");
      ASSERT_EQ(p.width * p.height, 480 * 360);
      int differ = 0;
      for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 480; ++x) {
          const auto* b = reinterpret_cast<const unsigned char*>(words.data()) + 4 * ((359 - y) * 480 + x);
          differ += p.px(x, y) != static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16);
        }
      }
      EXPECT_EQ(differ, 0);
    }
  }
}

// On a view whose pitches are powers of two every walk coordinate is exact, so the window's
// coarse anchors (4i, 4j) are points of larger posters too: of a 960 x 720 at (8i, 8j), of a
// wider or taller one shifted by the margin its longer side adds. Their colours agree, and
// with escape counts computed here point by point.
TEST_F(Posters, LargerPostersAgreeAtSharedPointsWithDirectCounts) {
  // Half-extents 1.875 / 64 and 1.40625 / 64 around (0.75, 0.125): pitch 2^-13 at 480 x 360.
  const char* view = " -- 0.779296875 0.720703125 0.14697265625 0.10302734375 300";
  ok(std::string("--size 480x360 -o w.png") + view);
  const Picture w = png("w.png");
  build_coltab(prog.mycoltab);
  const struct { int width, height, scale, column, row; } cases[] = {
      {960, 720, 2, 0, 0}, {960, 360, 1, 240, 0}, {480, 720, 1, 0, 180}, {1440, 720, 2, 240, 0}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.width << "x" << k.height);
    ok("--size " + std::to_string(k.width) + "x" + std::to_string(k.height) +
       " --band-rows 20 -o p.png" + view);
    const Picture p = png("p.png");
    int anchors = 0, differ = 0, direct = 0;
    for (int r = 0; r < 360; r += 4) {  // rows from the bottom, as the walk counts them
      for (int c = 0; c < 480; c += 4) {
        const std::uint32_t a = w.px(c, 359 - r);
        const std::uint32_t b = p.px(k.scale * c + k.column, k.height - 1 - k.scale * r - k.row);
        const double cx = 0.779296875 - c * 0x1p-13, cy = 0.10302734375 + r * 0x1p-13;
        ++anchors;
        differ += a != b;
        direct += a != (point_colour(cx, cy, 300) & 0xffffff);
      }
    }
    EXPECT_EQ(anchors, 90 * 120);
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(direct, 0);
  }
}

// The explorer's window at any size shows at rest the poster of its view at that size, the logo
// (124 x 18 at the bottom right) aside: after dives, pans and a resize to an odd size that is
// taller than 4:3, where the points come from their rows and columns. Deep, to the last pixel:
// pans move the centre by exactly the pixels the picture moves. Shallow, but for a few pixels a
// pan leaves (the centre rounded to doubles, refinements at the strips' edges: 40 measured).
TEST_F(Posters, TheWindowAtAnySizeIsThePosterOfItsView) {
  std::ofstream(dir / "s.txt") << "L 0 0\nL 30 -20\n- 0 0\n- 17 9\n- 0 0\nwindow 201x163\n"
                                  "L -12 5\n- 0 0\n- 9 -7\n- 0 0\n";
  for (const bool deep : {false, true}) {
    SCOPED_TRACE(deep ? "deep" : "shallow");
    const Result r = ok(std::string("--window 160x90 --replay s.txt --summary -o w.png ") +
                        (deep ? "--view 0.74364388703715 -0.13182590420533 -1e-13 -0.75e-13 1000"
                              : "-- 0.7436938870 0.7435938870 -0.1317884043 -0.1318634043 500"));
    ok("--size 201x163 -o p.png --view " + r.out.substr(5, r.out.find('\n') - 5));
    const Picture w = png("w.png"), p = png("p.png");
    ASSERT_EQ(w.width * w.height, 201 * 163);
    int differ = 0;
    for (int i = 0; i < 201 * 163; ++i) {
      const int x = i % 201, y = i / 201;
      differ += (x < 201 - 124 || y < 163 - 18) && w.px(x, y) != p.px(x, y);
    }
    EXPECT_LE(differ, deep ? 0 : 100);
  }
}

// A large window's frames while a button is held are coarser, so that they cost about what the
// design's do: 8 x 8 blocks at 1280 x 720, each the colour of its bottom-left point. A drag let go
// at rest, its picture is the poster of its view all the same, computed afresh.
TEST_F(Posters, ALargeWindowDivesInCoarserFramesAndRestsOnThePoster) {
  std::ofstream(dir / "s.txt") << "LM 0 0\nLM 20 0\n- 0 0\n- 0 0\n";
  const Result r = ok("--window 1280x720 --replay s.txt --frames f --summary -o w.png -- " +
                      std::string("0.7436938870 0.7435938870 -0.1317884043 -0.1318634043 500"));
  ok("--size 1280x720 -o p.png --view " + r.out.substr(5, r.out.find('\n') - 5));
  const Picture coarse = png("f/frame-000001.png"), w = png("w.png"), p = png("p.png");
  ASSERT_EQ(coarse.width * coarse.height, 1280 * 720);
  int mixed = 0, colours = 0;
  for (int by = 0; by < 720; by += 8) {
    for (int bx = 0; bx + 8 <= 1280 - 124; bx += 8) {  // the logo aside
      const unsigned first = coarse.px(bx, 719 - by);
      colours += first != coarse.px(bx > 0 ? bx - 8 : 8, 719 - by);
      for (int i = 0; i < 64; ++i) mixed += coarse.px(bx + i % 8, 719 - by - i / 8) != first;
    }
  }
  EXPECT_EQ(mixed, 0);
  EXPECT_GT(colours, 100);
  int differ = 0;
  for (int i = 0; i < 1280 * 720; ++i) {
    differ += (i % 1280 < 1280 - 124 || i / 1280 < 720 - 18) && w.px(i % 1280, i / 1280) != p.px(i % 1280, i / 1280);
  }
  EXPECT_EQ(differ, 0);
}

// A supersampled pixel is the rounded mean, per channel, of the N x N pixels of the N times
// larger poster; odd sizes included (the walk runs over one more column, not shown).
TEST_F(Posters, SupersamplingAveragesTheFinerPoster) {
  const char* view = "0.7436938870 0.7435938870 -0.1317884043 -0.1318634043 500";
  const struct { int w, h, n; } cases[] = {{64, 48, 2}, {63, 47, 3}, {50, 90, 1}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.w << "x" << k.h << " x" << k.n);
    const std::string size = std::to_string(k.w) + "x" + std::to_string(k.h);
    const std::string fine = std::to_string(k.w * k.n) + "x" + std::to_string(k.h * k.n);
    ok("--size " + size + " --supersample " + std::to_string(k.n) +
       " --band-rows 8 --threads 2 -o s.png -- " + view);
    ok("--size " + fine + " --band-rows 4096 --threads 1 -o f.png -- " + view);
    const Picture s = png("s.png"), f = png("f.png");
    ASSERT_EQ(s.width, k.w);
    ASSERT_EQ(f.height, k.h * k.n);
    int differ = 0;
    for (int y = 0; y < k.h; ++y) {
      for (int x = 0; x < k.w; ++x) {
        for (int ch = 0; ch < 3; ++ch) {
          int sum = 0;
          for (int i = 0; i < k.n * k.n; ++i) {
            sum += f.rgb[((y * k.n + i / k.n) * f.width + x * k.n + i % k.n) * 3 + ch];
          }
          const int mean = (sum + k.n * k.n / 2) / (k.n * k.n);
          differ += s.rgb[(y * k.w + x) * 3 + ch] != mean;
        }
      }
    }
    EXPECT_EQ(differ, 0);
  }
}

// A poster is never held whole: one 8 times as tall, in bands of the same rows, takes no more
// memory (the whole picture in one band is what holding it would cost); nor do threads beyond
// the cores, which are not started (each would hold a band while it waits).
TEST_F(Posters, PostersAreComputedInBoundedMemory) {
  // The sanitizers' quarantine of freed blocks would count as the program's memory.
  RunWith env;
  env.env = "ASAN_OPTIONS=quarantine_size_mb=1";
  auto peak_kb = [&](const std::string& args) {
    // A file of its own, never /dev/null: a broken run as root could replace the device.
    const Result r = render_line(dir, args + " -o p.png -- 4 6 -1 1 50", env);  // all escape
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    return r.peak_kb;
  };
  const long low = peak_kb("--size 1024x256 --band-rows 32");
  const long tall = peak_kb("--size 1024x2048 --band-rows 32");
  const long whole = peak_kb("--size 1024x2048 --band-rows 2048");
  // Each thread's allocator keeps about a megabyte more or less from run to run.
  const long picture_kb = 1024L * 2048 * 4 / 1024;
  EXPECT_LT(tall - low, picture_kb / 4) << low << " " << tall;
  EXPECT_GT(whole - low, picture_kb / 2) << whole;

  // Where posters have threads at all (not in the TSan build): 16 bands for up to 16 threads.
  const int cores = poster_threads_default();
  if (cores == 1 || cores >= 16) return;
  const std::string wide = "--size 16384x64 --band-rows 4 --threads ";
  const long few = peak_kb(wide + std::to_string(cores));
  const long many = peak_kb(wide + "16");
  const long band_kb = 16384L * 4 * 4 / 1024;  // a band's points alone
  EXPECT_LT(many - few, (16 - cores) * band_kb) << few << " " << many;
}

// A film made in parts, with any thread counts, is the whole film: the same frame files, byte
// for byte; as video, one MP4 frame per film frame.
TEST_F(Posters, FrameRangesMakeTheWholeFilm) {
  // Dive, steer, back out, drag, pan, rest: drags and pans write the window more than once.
  std::ofstream(dir / "s.txt") << "L 0 0\nL 30 -20\nM 0 0\n- 0 0\nLM 0 0\nLM 12 9\n- 0 0\n"
                                  "- -25 14\n- 0 0\n";
  const std::string film = "--replay s.txt --size 96x72 ";
  const std::string view = " -- 0.7436938870 0.7435938870 -0.1317884043 -0.1318634043 500";
  const Result whole = ok(film + "--frames all --summary --threads 2" + view);
  const Result window = ok("--replay s.txt --summary" + view);
  long long frames = 0;
  ASSERT_EQ(std::sscanf(whole.out.substr(whole.out.find("\nfilm ")).c_str(), "\nfilm %lld", &frames), 1);
  // A view the window showed more than once is one frame; the last view is the window's.
  EXPECT_LT(frames, std::stoll(window.out.substr(window.out.find("frames ") + 7)));
  EXPECT_EQ(whole.out.substr(0, whole.out.find('\n')), window.out.substr(0, window.out.find('\n')));
  ok(film + "--frames parts --frame-range 4: --threads 1" + view);
  ok(film + "--frames parts --frame-range 1:3" + view);
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir / "all")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(static_cast<long long>(names.size()), frames);
  char last[32];
  std::snprintf(last, sizeof last, "frame-%06lld.png", frames);
  EXPECT_EQ(names.back(), last);
  for (const std::string& n : names) EXPECT_EQ(slurp(dir / "parts" / n), slurp(dir / "all" / n)) << n;
  EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(dir / "parts"),
                                                   fs::recursive_directory_iterator())),
            names.size());

  if (std::system("ffprobe -version </dev/null >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg here";
  ok(film + "--video f.mp4 --frame-range 2:" + view);
  const std::string probe = "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                            "stream=nb_read_frames,width,height -of csv=p=0 </dev/null " +
                            (dir / "f.mp4").string() + " >" + (dir / "probe").string();
  ASSERT_EQ(std::system(probe.c_str()), 0);
  EXPECT_EQ(slurp(dir / "probe"), "96,72," + std::to_string(frames - 1) + "\n");
}

}  // namespace
}  // namespace zd::test
