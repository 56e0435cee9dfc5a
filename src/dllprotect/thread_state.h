// What the engine keeps per thread between the calls it intercepts.
#pragma once

#include <cstdint>

namespace dllprotect {

// Signature verifications in progress on this thread. While one runs, the libraries its trust
// providers load are not verified in turn.
inline thread_local std::int32_t winverifytrust_depth = 0;

}  // namespace dllprotect
