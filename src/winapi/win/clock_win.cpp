#include <windows.h>

#include <mmsystem.h>

#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

class windows_clock final : public clock {
public:
    std::uint32_t tick_count() override { return ::timeGetTime(); }
    std::uint64_t monotonic_ms() override { return ::GetTickCount64(); }
    std::uint64_t unix_time() override {
        FILETIME ft;
        ::GetSystemTimeAsFileTime(&ft);
        const std::uint64_t ticks =
            (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        constexpr std::uint64_t epoch_offset = 116444736000000000ULL;  // 1601 -> 1970 in 100 ns
        return ticks < epoch_offset ? 0 : (ticks - epoch_offset) / 10000000ULL;
    }
    stdext::expected<local_time> now_local() override {
        SYSTEMTIME st;
        ::GetLocalTime(&st);
        return local_time{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                          st.wMinute, st.wSecond, st.wMilliseconds};
    }
    void sleep_ms(std::uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace

clock& windows_clock_instance() {
    static windows_clock instance;
    return instance;
}

}  // namespace winapi
