// reference.cpp — reference orbits in MPFR: computing, extending, and finding nuclei by Newton.
#include "compute/reference.h"

#include <algorithm>
#include <cmath>

namespace zd {

namespace {

CFloatExp exact(const BigFloat& x, const BigFloat& y) { return CFloatExp(x.to_floatexp(), y.to_floatexp()); }

}  // namespace

Reference::Reference(const BigFloat& cx, const BigFloat& cy, long precision)
    : cx_(cx), cy_(cy), x_(precision), y_(precision), t_(precision), u_(precision) {
  cx_.set_precision(precision);
  cy_.set_precision(precision);
  zx_.push_back(0.0);
  zy_.push_back(0.0);
  zxl_.push_back(0.0);
  zyl_.push_back(0.0);
}

CFloatExp Reference::z(int m) const {
  const double x = zx_[m], y = zy_[m];
  if (std::max(std::fabs(x), std::fabs(y)) >= kTiny) return CFloatExp(x, y);
  const auto it = std::lower_bound(tiny_at_.begin(), tiny_at_.end(), m);
  if (it != tiny_at_.end() && *it == m) return tiny_z_[it - tiny_at_.begin()];
  return CFloatExp(x, y);  // Z_0 = 0
}

void Reference::watch_period(FloatExp radius) {
  watching_ = true;
  ball_radius_ = radius;
}

bool Reference::extend(int until, const CancelFn& cancelled, const ProgressFn& progress,
                       long long base) {
  until = std::min(until, kMaxLength);
  if (complete() || end() >= until) return true;
  const long long first = iterations_;
  const CFloatExp one(1.0, 0.0);
  const FloatExp r2 = ball_radius_ * ball_radius_;
  mpfr_ptr x = x_.get(), y = y_.get(), t = t_.get(), u = u_.get();
  for (auto* v : {&zx_, &zy_, &zxl_, &zyl_}) v->reserve(static_cast<size_t>(until) + 1);
  for (int m = end(); m < until; ++m) {
    if ((m & 255) == 0 && m > 0) {
      if (progress) progress(base + iterations_ - first);
      if (cancelled && cancelled()) return false;
    }
    // D_{m+1} = 2 Z_m D_m - 1, before Z moves on.
    const CFloatExp zm = z(m);
    d_ = (zm * d_) * FloatExp(2.0) - one;
    // Z_{m+1} = (x + y)(x - y) - Cx + i (2xy - Cy)
    mpfr_add(t, x, y, MPFR_RNDN);
    mpfr_sub(u, x, y, MPFR_RNDN);
    mpfr_mul(u, t, u, MPFR_RNDN);
    mpfr_mul(y, x, y, MPFR_RNDN);
    mpfr_mul_2ui(y, y, 1, MPFR_RNDN);
    mpfr_sub(y, y, cy_.get(), MPFR_RNDN);
    mpfr_sub(x, u, cx_.get(), MPFR_RNDN);
    ++iterations_;
    const double zx = x_.to_double(), zy = y_.to_double();
    zx_.push_back(zx);
    zy_.push_back(zy);
    const bool tiny = std::max(std::fabs(zx), std::fabs(zy)) < kTiny;
    mpfr_sub_d(t, x, zx, MPFR_RNDN);
    zxl_.push_back(tiny ? 0.0 : mpfr_get_d(t, MPFR_RNDN));
    mpfr_sub_d(t, y, zy, MPFR_RNDN);
    zyl_.push_back(tiny ? 0.0 : mpfr_get_d(t, MPFR_RNDN));
    if (tiny && !(x_.is_zero() && y_.is_zero())) {
      tiny_at_.push_back(m + 1);
      tiny_z_.push_back(exact(x_, y_));
    }
    if (watching_ && ball_period_ == 0 && z(m + 1).norm() < d_.norm() * r2) {
      ball_period_ = m + 1;
      ball_d_ = d_;
    }
    if (!(zx * zx + zy * zy < 9.0)) {
      escaped_ = true;
      break;
    }
  }
  if (progress) progress(base + iterations_ - first);
  return true;
}

void Reference::make_periodic(int p) {
  const CFloatExp dp = p == end() ? d_ : ball_d_;
  nucleus_distance_ = z(p).maxabs() * FloatExp(1.4142135623730951) / dp.maxabs();
  for (auto* v : {&zx_, &zy_, &zxl_, &zyl_}) v->resize(static_cast<size_t>(p) + 1);
  while (!tiny_at_.empty() && tiny_at_.back() > p) {
    tiny_at_.pop_back();
    tiny_z_.pop_back();
  }
  period_ = p;
  escaped_ = false;
}

std::unique_ptr<Reference> Reference::periodic_prefix(int p) const {
  auto r = std::make_unique<Reference>(cx_, cy_, precision());
  r->zx_.assign(zx_.begin(), zx_.begin() + p + 1);
  r->zy_.assign(zy_.begin(), zy_.begin() + p + 1);
  r->zxl_.assign(zxl_.begin(), zxl_.begin() + p + 1);
  r->zyl_.assign(zyl_.begin(), zyl_.begin() + p + 1);
  for (size_t i = 0; i < tiny_at_.size() && tiny_at_[i] <= p; ++i) {
    r->tiny_at_.push_back(tiny_at_[i]);
    r->tiny_z_.push_back(tiny_z_[i]);
  }
  r->ball_period_ = ball_period_;
  r->ball_d_ = ball_d_;
  r->d_ = ball_d_;  // D_p: the copy ends at p
  r->make_periodic(p);
  return r;
}

std::unique_ptr<Reference> find_nucleus(const BigFloat& cx, const BigFloat& cy, int p,
                                        long precision, FloatExp reach, FloatExp tolerance,
                                        const CancelFn& cancel, const ProgressFn& progress,
                                        long long base, bool* cancelled, int steps) {
  *cancelled = false;
  BigFloat x = cx, y = cy;
  x.set_precision(precision);
  y.set_precision(precision);
  const FloatExp reach2 = reach * reach, tol2 = tolerance * tolerance;
  long long made = 0;
  for (int step = 0; step < steps; ++step) {
    auto ref = std::make_unique<Reference>(x, y, precision);
    if (!ref->extend(p, cancel, progress, base + made)) {
      *cancelled = true;
      return nullptr;
    }
    made += ref->iterations();
    if (ref->end() < p) return nullptr;  // escaped first: not near a nucleus of this period
    const CFloatExp delta = -(ref->z(p) / ref->derivative());
    if (!delta.re().finite() || !delta.im().finite()) return nullptr;
    if (delta.norm() <= tol2) {
      ref->make_periodic(p);
      return ref;
    }
    x += BigFloat(delta.re(), 64);
    y += BigFloat(delta.im(), 64);
    const CFloatExp off = CFloatExp((x - cx).to_floatexp(), (y - cy).to_floatexp());
    if (!(off.norm() <= reach2)) return nullptr;
  }
  return nullptr;
}

}  // namespace zd
