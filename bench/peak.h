// peak.h — vector operations per second that the machine can sustain.
#pragma once
#include <cstddef>

namespace zd {
// Runs independent chains of vector multiplies (mode 0), adds (1) or both (2) on the best
// target, `rounds` times 12 operations; returns the operations made and the lanes per vector.
double chain_ops(long rounds, int mode, std::size_t* lanes);
}  // namespace zd
