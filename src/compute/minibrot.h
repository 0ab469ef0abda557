// minibrot.h — finding the small copy of the set of lowest period in a view: its period by the
// ball method on the centre's orbit, its nucleus by Newton's method, its size from the orbit.
#pragma once
#include <optional>

#include "compute/bigfloat.h"
#include "compute/floatexp.h"
#include "compute/reference.h"

namespace zd {

struct Minibrot {
  int period = 0;
  BigFloat cx{64}, cy{64};  // the nucleus (the point the program iterates, z <- z^2 - c)
  FloatExp size;            // about the radius of its main body
};

// The copy of lowest period up to `max_period` whose nucleus lies, to first order, within
// `radius` of (cx, cy): Newton's method to its nucleus at enough bits for a view a few times its
// size, and checked to lie within twice the radius. Nothing if there is none (or *cancelled, if
// `cancelled` said so). *ball, if asked for: the period of the ball method, 0 if it gave none (and
// then no smaller disc around the same centre gives one either).
std::optional<Minibrot> find_minibrot(const BigFloat& cx, const BigFloat& cy, FloatExp radius,
                                      int max_period, const CancelFn& cancelled, bool* was_cancelled,
                                      int* ball = nullptr);

// The size estimate of the nucleus of period p with this periodic orbit: 1 / |b l²| with
// l = 2^(p-1) Z_1 ... Z_(p-1) and b = 1 + 1/l_1 + ... (the orbit's own derivatives).
FloatExp minibrot_size(const Reference& orbit, int p);

}  // namespace zd
