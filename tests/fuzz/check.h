#pragma once

#include <cstdlib>

namespace kavtel::fuzz {

// A broken invariant is a finding like any crash: the fuzzer keeps the input.
inline void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace kavtel::fuzz
