// Time, sleeping and time-outs. Everything that waits or measures goes through this facility so
// that the 60-second and 3-hour rules are tested without waiting.
#pragma once

#include <cstdint>

#include "stdext/expected.h"

namespace winapi {

struct local_time {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

class clock {
public:
    virtual ~clock() = default;
    // timeGetTime(): milliseconds, wraps after 49.7 days.
    virtual std::uint32_t tick_count() = 0;
    // A monotonic millisecond count that does not wrap (GetTickCount64).
    virtual std::uint64_t monotonic_ms() = 0;
    // Seconds since 1970-01-01 UTC.
    virtual std::uint64_t unix_time() = 0;
    // The local wall-clock time (GetLocalTime), when it can be had.
    virtual stdext::expected<local_time> now_local() = 0;
    virtual void sleep_ms(std::uint32_t ms) = 0;
};

}  // namespace winapi
