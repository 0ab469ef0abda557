// test_film.cpp — dive films: their frames' views, the last frame, parts that join, keyframed
// frames close to the exact ones, and keyframes held few at a time.
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "compute/film.h"
#include "control/startup.h"
#include "control/view.h"
#include "display/display.h"
#include "render_run.h"

namespace zd::test {
namespace {

const char* const SEA = "0.7436938870 0.7435938870 -0.1317884043 -0.1318634043 500";

View view_of(const std::string& five) {
  std::vector<std::string> nums;
  std::istringstream in(five);
  for (std::string w; in >> w;) nums.push_back(w);
  Cmdline cmd;
  std::string err;
  EXPECT_TRUE(read_view_strings(nums, false, cmd, err)) << err;
  return start_view(cmd);
}

Picture poster(const View& v, int w, int h, PosterShape shape = {}, PosterTally* tally = nullptr) {
  build_coltab(prog.mycoltab);
  Picture p{w, h, {}};
  shape.width = w;
  shape.height = h;
  shape.threads = 1;
  const PosterSink sink{nullptr, [&](const BandOut& b) {
                          p.rgb.insert(p.rgb.end(), b.rgb, b.rgb + static_cast<std::size_t>(b.rows) * w * 3);
                          return std::string();
                        }};
  EXPECT_EQ(render_poster(v, shape, prog.mycoltab, sink, {}, tally), "");
  return p;
}

// Of 4 x 4 blocks averaged, the share whose means are within 32 of b's in every channel.
double close_share(const Picture& a, const Picture& b) {
  int close = 0, blocks = 0;
  for (int by = 0; by + 4 <= a.height; by += 4) {
    for (int bx = 0; bx + 4 <= a.width; bx += 4) {
      bool near = true;
      for (int ch = 0; ch < 3; ++ch) {
        int sa = 0, sb = 0;
        for (int i = 0; i < 16; ++i) {
          const std::size_t at = (static_cast<std::size_t>(by + i / 4) * a.width + bx + i % 4) * 3 + ch;
          sa += a.rgb[at];
          sb += b.rgb[at];
        }
        near = near && std::abs(sa - sb) <= 32 * 16;
      }
      close += near;
      ++blocks;
    }
  }
  return static_cast<double>(close) / blocks;
}

class Film : public InFolder {};

// round(SECONDS x fps) frames, from the start height to the view by one factor, about its
// centre; the last is the view's poster byte for byte; parts made apart with other thread
// counts are the film; --exact-frames makes posters of the frames' views.
TEST_F(Film, FramesGoToTheViewAndPartsJoinIntoTheFilm) {
  const std::string film = "--size 64x48 --zoom-film 1.3 --fps 15 -- " + std::string(SEA);
  EXPECT_NE(ok("--frames all --summary --threads 2 " + film).out.find("\nfilm 20\n"), std::string::npos);
  ok("--frames parts --frame-range 1:7 --threads 1 " + film);
  ok("--frames parts --frame-range 8: " + film);
  ok("-o view.png --size 64x48 -- " + std::string(SEA));
  ok("--frames exact --exact-frames --frame-range 5:5 " + film);
  for (int k = 1; k <= 20; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06d.png", k);
    EXPECT_EQ(slurp(dir / "parts" / name), slurp(dir / "all" / name)) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "all" / "frame-000021.png"));
  EXPECT_EQ(slurp(dir / "all" / "frame-000020.png"), slurp(dir / "view.png"));

  const View target = view_of(SEA);
  const FilmPlan plan{target, 64, 48, 20, 1.5};
  for (long long k = 0; k < 20; ++k) {
    const View v = film_view(plan, k);
    EXPECT_EQ(v.xmit, target.xmit);
    EXPECT_EQ(v.ymit, target.ymit);
    EXPECT_NEAR(std::log(std::fabs(v.ystep) / 1.5) / std::log(std::fabs(target.ystep) / 1.5), k / 19.0, 1e-12);
    EXPECT_NEAR(v.xstep / v.ystep, target.xstep / target.ystep, 1e-12);
  }
  EXPECT_EQ(read_png(dir / "exact" / "frame-000005.png"), poster(film_view(plan, 4), 64, 48));
}

// A poster with a hole (a keyframe's ring) is black there and the poster elsewhere, but for
// a few pixels around the hole where the walk refines more, and costs that much fewer points.
TEST_F(Film, APosterWithAHoleIsThePosterAroundIt) {
  const View v = view_of(SEA);
  PosterShape holed;
  holed.hole_x0 = 24, holed.hole_x1 = 72, holed.hole_y0 = 16, holed.hole_y1 = 56;
  PosterTally all, ring;
  const Picture p = poster(v, 96, 72, {}, &all), q = poster(v, 96, 72, holed, &ring);
  int inside = 0, outside = 0;
  for (int y = 0; y < 72; ++y) {
    for (int x = 0; x < 96; ++x) {
      const bool in = x >= 24 && x < 72 && y >= 16 && y < 56;
      const bool far = x < 24 - 8 || x >= 72 + 8 || y < 16 - 8 || y >= 56 + 8;
      inside += in && q.px(x, y) != 0;
      outside += far && q.px(x, y) != p.px(x, y);
    }
  }
  EXPECT_EQ(inside, 0);
  EXPECT_EQ(outside, 0);
  EXPECT_LT(ring.points, all.points - 48 * 40 / 2);
}

// Keyframed frames between keyframes, blends of two, stay close to the exact frames.
TEST_F(Film, KeyframedFramesAreCloseToTheExactOnes) {
  const View target = view_of(SEA);
  const FilmPlan plan{target, 96, 72, 60, 1.5};  // 15 doublings, 4 frames each
  build_coltab(prog.mycoltab);
  KeyframeFilm film(plan, PosterShape{96, 72, 1, 0, 0}, Colouring(Colours::Design, prog.mycoltab));
  for (const long long k : {21LL, 38LL, 57LL}) {
    SCOPED_TRACE(k);
    Picture keyed{96, 72, {}};
    ASSERT_EQ(film.frame(k, keyed.rgb), "");
    EXPECT_GE(close_share(keyed, poster(film_view(plan, k), 96, 72)), 0.8);
  }
}

// A long film holds two keyframes at a time, computes each once, and a part only those its
// frames need.
TEST_F(Film, KeyframesAreHeldFewAtATime) {
  const FilmPlan plan{view_of("0.74369 0.74359 -0.13179 -0.13186 300"), 16, 12, 400, 1.5};
  build_coltab(prog.mycoltab);
  KeyframeFilm whole(plan, PosterShape{16, 12, 1, 1, 0}, Colouring(Colours::Design, prog.mycoltab));
  std::vector<std::uint8_t> rgb;
  for (long long k = 0; k < plan.frames; ++k) ASSERT_EQ(whole.frame(k, rgb), "");
  // Keyframes 0 to the first frame's depth, rounded up: each once.
  const auto doublings = static_cast<long long>(std::ceil(film_depth(plan, 0)));
  EXPECT_EQ(whole.computed(), doublings + 1);
  EXPECT_EQ(whole.most_held(), 2);

  KeyframeFilm part(plan, PosterShape{16, 12, 1, 1, 0}, Colouring(Colours::Design, prog.mycoltab));
  for (long long k = 200; k < 220; ++k) ASSERT_EQ(part.frame(k, rgb), "");
  EXPECT_LE(part.computed(), 3);
}

}  // namespace
}  // namespace zd::test
