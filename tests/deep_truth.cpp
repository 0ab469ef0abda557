// deep_truth.cpp — zdtruth: how many counts of whole pictures of the deep test views agree with
// plain MPFR iteration, with and without skips (a study, not a test: it can take hours).
//
//   zdtruth [WIDTH HEIGHT [THREADS [NAME...]]]   (default 96 72, every core, every view)
//
// With ZD_TRUTH_CACHE=DIR the MPFR counts are kept in DIR and read back on later runs: they
// do not change with the kernel, and they are nearly all of the time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "deep_views.h"

using namespace zd;
using namespace zd::test;

int main(int argc, char** argv) {
  const int w = argc > 2 ? std::atoi(argv[1]) : 96, h = argc > 2 ? std::atoi(argv[2]) : 72;
  const int threads = argc > 3 ? std::atoi(argv[3]) : static_cast<int>(std::thread::hardware_concurrency());
  const Picture pic(w, h);
  std::printf("%-20s %6s %8s %10s %10s %10s %8s\n", "view", "limit", "points", "skips", "no skips", "both", "mpfr s");
  std::printf("(recounted: points in doubt counted again in double-double, with skips and without; without skips: points in doubt after skips)\n");
  for (const DeepCase& dc : kViews) {
    bool wanted = argc <= 4;
    for (int i = 4; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], dc.name) == 0;
    if (!wanted) continue;
    DeepParams p = view_at(dc, w, h);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<int> want;
    const char* cache = std::getenv("ZD_TRUTH_CACHE");
    const std::string file = cache ? std::string(cache) + "/" + dc.name + "_" + std::to_string(w) + "x" +
                                         std::to_string(h) + ".counts"
                                   : std::string();
    if (cache) {
      std::ifstream in(file, std::ios::binary);
      want.resize(static_cast<size_t>(pic.size()));
      if (!in.read(reinterpret_cast<char*>(want.data()), static_cast<std::streamsize>(want.size() * sizeof(int))))
        want.clear();
    }
    if (want.empty()) {
      want = oracle_counts(p, pic, threads);
      if (cache) {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(want.data()), static_cast<std::streamsize>(want.size() * sizeof(int)));
      }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int agree[2] = {0, 0}, both = 0;
    long long recounted[2] = {0, 0}, unskipped = 0;
    std::vector<int> got[2];
    for (const bool skips : {true, false}) {
      p.bla = skips;
      DeepKernel k;
      if (!k.prepare(p)) return 1;
      got[skips ? 0 : 1].assign(pic.u.size(), -1);
      CountJob job{pic.u.data(), pic.v.data(), got[skips ? 0 : 1].data(), pic.size(), p.limit};
      k.count(job);
      recounted[skips ? 0 : 1] = k.recounted();
      unskipped += k.unskipped();
    }
    for (int i = 0; i < pic.size(); ++i) {
      agree[0] += got[0][i] == want[i];
      agree[1] += got[1][i] == want[i];
      both += got[0][i] == want[i] && got[1][i] == want[i];
      if (std::getenv("ZD_TRUTH_SHOW") && got[0][i] != want[i]) {
        std::printf("  (%g, %g): skips %d, no skips %d, mpfr %d\n", pic.u[i], pic.v[i], got[0][i], got[1][i], want[i]);
      }
    }
    std::printf("%-20s %6d %8d %10d %10d %10d %8.1f  recounted %lld %lld, without skips %lld\n", dc.name, dc.limit, pic.size(), agree[0], agree[1], both, secs, recounted[0], recounted[1], unskipped);
    std::fflush(stdout);
  }
  return 0;
}
