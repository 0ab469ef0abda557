// program.h — a fixture that runs the real start-up on the headless backend, and helpers.
#pragma once
#include <gtest/gtest.h>

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

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    reset_headless();
    use_backend(headless_backend());
    proctest::fail_sproc(0);
    proctest::set_sleep(nullptr);
  }
  void TearDown() override { proctest::set_sleep(nullptr); }

  // Start-up as the explorer does with these arguments (program name not included).
  void start(std::vector<const char*> args = {}) {
    args.insert(args.begin(), "zoomdive");
    Cmdline cmd;
    std::string err;
    ASSERT_EQ(parse_explorer_args(static_cast<int>(args.size()), args.data(), cmd, err),
              Parsed::Run)
        << err;
    ASSERT_TRUE(startup(cmd));
  }

  // Computing without workers leaves the main thread a wake-up per region that nobody takes;
  // a test that goes on with workers must not let them count for its workers.
  static void drain_wakeups() {
    while (proctest::wakeups() > 0) blockproc(getpid());
  }

  // The band worker's passes with each point computed as it is visited: the reference for the
  // batched passes.
  static void smandel_scalar(bandrec* b) {
    const Canvas cv = screen_canvas();
    const WalkBand wb = walk_band(*b);
    auto colour = [&](double cx, double cy) {
      prog.points_done += 1;
      const int n = escape_count(cx, cy, b->limit);
      prog.iterations_done += n;
      return mycoltab[(static_cast<unsigned>(b->limit) - static_cast<unsigned>(n)) & 255u];
    };
    PointByPoint<decltype(colour)> v{cv, wb, colour};
    walk(cv, wb, v);
  }

  static std::vector<std::uint32_t> picture() { return {screen, screen + WINWORDS}; }
  static std::vector<std::uint32_t> shown() {
    const auto& p = headless().pixels;
    return {p, p + WINWORDS};
  }
};

// Rows whose words differ between two pictures.
inline std::vector<int> differing_rows(const std::vector<std::uint32_t>& a,
                                       const std::vector<std::uint32_t>& b) {
  std::vector<int> rows;
  for (int r = 0; r < WINH; ++r) {
    for (int c = 0; c < WINW; ++c) {
      if (a[r * WINW + c] != b[r * WINW + c]) {
        rows.push_back(r);
        break;
      }
    }
  }
  return rows;
}

}  // namespace zd::test
