// peak.cpp — the machine's vector multiply and add throughput, the yardstick for the kernel.
#include "peak.h"

#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "peak.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace zd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Twelve independent chains of one operation (mode 0: multiply, 1: add) or six of each
// (mode 2): enough to cover the latency, so the pipes' throughput sets the pace. Returns the
// vector operations made; *lanes gets the doubles per vector.
double ChainOps(long rounds, int mode, std::size_t* lanes) {
  const hn::ScalableTag<double> d;
  *lanes = hn::Lanes(d);
  const auto m = hn::Set(d, 0.9999999999), c = hn::Set(d, 1e-12);
#define ZD_CHAINS(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11)
#define ZD_INIT(i) auto a##i = hn::Set(d, 1.0 + (i) * 1e-9);
  ZD_CHAINS(ZD_INIT)
#define ZD_MUL(i) a##i = hn::Mul(a##i, m);
#define ZD_ADD(i) a##i = hn::Add(a##i, c);
#define ZD_MIX(i) a##i = ((i) % 2 ? hn::Add(a##i, c) : hn::Mul(a##i, m));
  if (mode == 0) {
    for (long k = 0; k < rounds; ++k) { ZD_CHAINS(ZD_MUL) }
  } else if (mode == 1) {
    for (long k = 0; k < rounds; ++k) { ZD_CHAINS(ZD_ADD) }
  } else {
    for (long k = 0; k < rounds; ++k) { ZD_CHAINS(ZD_MIX) }
  }
#define ZD_SUM(i) +hn::GetLane(a##i)
  const double sum = 0.0 ZD_CHAINS(ZD_SUM);
  // Keeps the chains alive; the sum is never that large.
  return sum > 1e300 ? 0.0 : 12.0 * static_cast<double>(rounds);
}

}  // namespace HWY_NAMESPACE
}  // namespace zd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zd {
HWY_EXPORT(ChainOps);
double chain_ops(long rounds, int mode, std::size_t* lanes) {
  return HWY_DYNAMIC_DISPATCH(ChainOps)(rounds, mode, lanes);
}
}  // namespace zd
#endif
