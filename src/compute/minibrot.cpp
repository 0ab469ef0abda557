// minibrot.cpp — the small copy of the set of lowest period in a view.
#include "compute/minibrot.h"

#include <algorithm>
#include <memory>

namespace zd {

namespace {

// Bits for numbers near (cx, cy) resolved to 2^-64 of `scale`.
long bits_for(const BigFloat& cx, const BigFloat& cy, FloatExp scale) {
  long above = 0;
  for (const BigFloat* c : {&cx, &cy}) {
    if (!c->is_zero()) above = std::max(above, c->ilogb() + 1);
  }
  return 64 + above + static_cast<long>(std::max<std::int64_t>(-scale.e, 0)) + 64;
}

}  // namespace

FloatExp minibrot_size(const Reference& orbit, int p) {
  // z <- z^2 - c is z <- z^2 + c' with c' = -c: the same orbit, so the usual estimate holds.
  CFloatExp l(1.0, 0.0), b(1.0, 0.0);
  const CFloatExp one(1.0, 0.0);
  for (int m = 1; m < p; ++m) {
    l = orbit.z(m) * l * FloatExp(2.0);
    b = b + one / l;
  }
  const CFloatExp s = one / (b * l * l);
  return s.maxabs() * FloatExp(1.4142135623730951);
}

std::optional<Minibrot> find_minibrot(const BigFloat& cx, const BigFloat& cy, FloatExp radius,
                                      int max_period, const CancelFn& cancelled, bool* was_cancelled,
                                      int* ball) {
  *was_cancelled = false;
  // The lowest period whose nucleus the disc may hold: the first m where |Z_m| < |dZ_m/dc| r.
  const long first_bits = bits_for(cx, cy, radius);
  Reference centre(cx, cy, first_bits);
  centre.watch_period(radius);
  for (int until = 256; centre.ball_period() == 0 && !centre.complete() && centre.end() < max_period;
       until = std::min(max_period, until * 2)) {
    if (!centre.extend(until, cancelled)) {
      *was_cancelled = true;
      return std::nullopt;
    }
  }
  const int p = centre.ball_period();
  if (ball) *ball = p;
  if (p == 0) return std::nullopt;
  // Newton's method at the view's bits, then again at the bits a view of the copy needs: the
  // derivative is carried in doubles, so each step gains some 40 bits.
  const FloatExp reach = radius * FloatExp(2.0);
  long bits = first_bits;
  BigFloat x = cx, y = cy;
  for (int round = 0; round < 8; ++round) {
    const FloatExp tolerance = ldexp(radius, -bits + first_bits - 72);
    auto nucleus = find_nucleus(x, y, p, bits, reach, tolerance, cancelled, {}, 0, was_cancelled,
                                static_cast<int>(bits / 32 + 24));
    if (*was_cancelled || !nucleus) return std::nullopt;
    const FloatExp size = minibrot_size(*nucleus, p);
    x = nucleus->cx();
    y = nucleus->cy();
    const long needed = bits_for(x, y, size * FloatExp(0x1p-10));
    if (needed <= bits) {
      const CFloatExp off((x - cx).to_floatexp(), (y - cy).to_floatexp());
      if (!(off.maxabs() <= reach)) return std::nullopt;
      return Minibrot{p, x, y, size};
    }
    bits = needed;
  }
  return std::nullopt;
}

}  // namespace zd
