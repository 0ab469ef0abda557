// lanes-inl.h — what the vector kernels share on every target: lane sets as 64-bit words.
// Included by files that Highway compiles once per target (foreach_target.h), after highway.h.
#if defined(ZD_COMPUTE_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ZD_COMPUTE_LANES_INL_H_
#undef ZD_COMPUTE_LANES_INL_H_
#else
#define ZD_COMPUTE_LANES_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace zd {
namespace HWY_NAMESPACE {

// Lane j of a vector of D is bit j of a word (vectors of up to 64 lanes).
template <class D>
HWY_INLINE std::uint64_t LaneBits(D d, hwy::HWY_NAMESPACE::Mask<D> m) {
  constexpr size_t kBytes = (hwy::HWY_NAMESPACE::MaxLanes(D()) + 7) / 8;
  static_assert(hwy::HWY_NAMESPACE::MaxLanes(D()) <= 64, "lane sets are 64-bit words");
  std::uint8_t bits[8] = {};
  hwy::HWY_NAMESPACE::StoreMaskBits(d, m, bits);
  std::uint64_t w = 0;
  for (size_t b = 0; b < kBytes; ++b) w |= std::uint64_t{bits[b]} << (8 * b);
  const size_t n = hwy::HWY_NAMESPACE::Lanes(d);
  return n == 64 ? w : w & ((std::uint64_t{1} << n) - 1);
}

template <class D>
HWY_INLINE hwy::HWY_NAMESPACE::Mask<D> LaneMask(D d, std::uint64_t w) {
  constexpr size_t kBytes = (hwy::HWY_NAMESPACE::MaxLanes(D()) + 7) / 8;
  std::uint8_t bits[8] = {};
  for (size_t b = 0; b < kBytes; ++b) bits[b] = static_cast<std::uint8_t>(w >> (8 * b));
  return hwy::HWY_NAMESPACE::LoadMaskBits(d, bits);
}

}  // namespace HWY_NAMESPACE
}  // namespace zd
HWY_AFTER_NAMESPACE();

#endif
