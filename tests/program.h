// program.h — a fixture that runs the real start-up on the headless backend, and helpers.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compute/bandrec.h"
#include "compute/kernel.h"
#include "control/startup.h"
#include "control/view.h"
#include "navigation/whole.h"
#include "platform/headless.h"
#include "platform/proc.h"

namespace zd::test {

// Every point escapes at the first step: sessions there cost next to nothing.
inline const std::vector<const char*> FAR_VIEW = {"4", "6", "-1", "1", "50"};
// A view with detail everywhere, for tests that look at pixels.
inline const std::vector<const char*> DETAIL_VIEW = {"-0.9", "-0.6", "0.35", "0.125", "120"};

// The colour word of the point in the program's colours.
inline std::uint32_t point_colour(double cx, double cy, int limit) {
  return colour_of(prog.mycoltab, escape_count(cx, cy, limit), limit);
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    use_backend(headless_backend());
    reset_state();
  }

  // The whole program reset, then start-up as the explorer does it with these arguments.
  void start(std::vector<const char*> args = {}) {
    Program::SetUp();
    args.insert(args.begin(), "zoomdive");
    Cmdline cmd;
    std::string err;
    ASSERT_EQ(parse_explorer_args(static_cast<int>(args.size()), args.data(), cmd, err),
              Parsed::Run)
        << err;
    ASSERT_TRUE(startup(cmd));
  }

  static std::vector<std::uint32_t> picture() { return prog.screen.shown(); }

  // The full-quality whole picture of the current (shallow) view at the design's size, computed
  // point by point in a picture of its own: the program's state is left alone.
  static std::vector<std::uint32_t> fresh_picture() {
    Picture fresh(DESIGN_W, DESIGN_H);
    const Canvas cv = fresh.canvas(0, DESIGN_W);
    const View& v = prog.view;
    const WalkBand b{0,    DESIGN_H, DESIGN_H, v.xmit - v.xstep, (v.xstep * 2.0) / DESIGN_W,
                     v.ymit + v.ystep, (v.ystep * 2.0) / DESIGN_H, true, true};
    auto colour = [limit = limit_of(v.maxit)](double cx, double cy) {
      return point_colour(cx, cy, limit);
    };
    PointByPoint<decltype(colour)> p{cv, b, colour};
    walk(cv, b, p);
    return fresh.shown();
  }
};

}  // namespace zd::test
