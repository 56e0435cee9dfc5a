// Owners of handles that a facility hands out and takes back through one of its own calls, for
// example facility_handle<trust, trust_file, &trust::close_file>. Empty is the value that owns
// nothing. Nothing is released when no facility is installed any more (a handle that outlives the
// facility in a test).
#pragma once

#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

template <class I, class H, auto Close, H Empty = H{}>
struct facility_handle_traits {
    using handle_type = H;
    static constexpr H empty() noexcept { return Empty; }
    static void close(H h) noexcept {
        if (I* impl = facility<I>::find()) {
            (impl->*Close)(h);
        }
    }
};

template <class I, class H, auto Close, H Empty = H{}>
using facility_handle = stdext::unique_handle<facility_handle_traits<I, H, Close, Empty>>;

}  // namespace winapi
