// The Windows error numbers the library returns.
#pragma once

namespace intercept {

inline constexpr long no_error = 0;
inline constexpr long error_invalid_handle = 6;
inline constexpr long error_not_enough_memory = 8;
inline constexpr long error_invalid_block = 9;
inline constexpr long error_invalid_data = 13;
inline constexpr long error_invalid_operation = 4317;

}  // namespace intercept
