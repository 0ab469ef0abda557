// targets.h — the vector targets the kernels are compiled for, best first: one list for every
// kernel that Highway compiles once per target. Included in a file's HWY_ONCE part, after
// hwy/highway.h: the list is made from Highway's HWY_TARGETS.
#pragma once
#include <cstddef>
#include <cstdint>

#ifndef HWY_TARGETS
#error "include compute/targets.h after hwy/highway.h"
#endif

namespace zd {

// An entry point of a kernel on one target.
template <class Fn>
struct OnTarget {
  std::int64_t bit;  // Highway's target bit
  Fn fn;
};

// Of a list built with ZD_ON_EACH_TARGET, the entry for target `bit`, else the last (portable).
template <class Fn, std::size_t N>
Fn on_target(const OnTarget<Fn> (&list)[N], std::int64_t bit) {
  for (const OnTarget<Fn>& t : list) {
    if (t.bit == bit) return t.fn;
  }
  return list[N - 1].fn;
}

}  // namespace zd

// {bit, &N_TARGET::FN} for every target compiled in, best first. On x86 that is every target
// Highway builds here; elsewhere the one the compiler was asked for.
#if HWY_ARCH_X86
#define ZD_ON_EACH_TARGET(FN) \
  ZD_AVX3_(FN) ZD_AVX2_(FN) ZD_SSE4_(FN) ZD_SSSE3_(FN) ZD_EMU128_(FN) ZD_SCALAR_(FN)
#if HWY_TARGETS & HWY_AVX3
#define ZD_AVX3_(FN) {HWY_AVX3, &N_AVX3::FN},
#else
#define ZD_AVX3_(FN)
#endif
#if HWY_TARGETS & HWY_AVX2
#define ZD_AVX2_(FN) {HWY_AVX2, &N_AVX2::FN},
#else
#define ZD_AVX2_(FN)
#endif
#if HWY_TARGETS & HWY_SSE4
#define ZD_SSE4_(FN) {HWY_SSE4, &N_SSE4::FN},
#else
#define ZD_SSE4_(FN)
#endif
#if HWY_TARGETS & HWY_SSSE3
#define ZD_SSSE3_(FN) {HWY_SSSE3, &N_SSSE3::FN},
#else
#define ZD_SSSE3_(FN)
#endif
#if HWY_TARGETS & HWY_EMU128
#define ZD_EMU128_(FN) {HWY_EMU128, &N_EMU128::FN},
#else
#define ZD_EMU128_(FN)
#endif
#if HWY_TARGETS & HWY_SCALAR
#define ZD_SCALAR_(FN) {HWY_SCALAR, &N_SCALAR::FN},
#else
#define ZD_SCALAR_(FN)
#endif
#else
#define ZD_ON_EACH_TARGET(FN) {HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(FN)},
#endif
