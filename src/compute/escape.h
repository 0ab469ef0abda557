// escape.h — what a point's escape tells beyond its count: a count that is continuous across
// counts, and the point's distance to the set. Plain multiplies, adds and divisions only, so that
// every machine gives the same bits.
#pragma once

namespace zd {

// log2 x for a finite x > 0, to about 1e-8.
double log2_of(double x);

struct Escape {
  double nu = 0.0;        // the continuous count
  double distance = 0.0;  // to the set, in pixels
};

// A point c = (cx, cy) that escaped after n counted steps at z (the first value with |z|² >= 9),
// with the derivative D = dz/dc times the pitch there (dx, dy): the point goes on to |z| >= 2^10,
// at step N, where nu = N + 1 - log2(log2 |z_N|² / 20) is continuous in c (a point that stops
// one step earlier has |z| the square of this one's), and the distance in pixels is
// 2 |z| ln|z| / |D| (an estimate within a factor 4 of the true distance). Without a derivative
// (dx = dy = 0) the distance is meaningless; without `distance` it is not computed (0), nor the
// derivative carried, which leaves the continuous count as it is and costs less.
Escape escape_of(int n, double zx, double zy, double dx, double dy, double cx, double cy, double pitch,
                 bool distance = true);

}  // namespace zd
