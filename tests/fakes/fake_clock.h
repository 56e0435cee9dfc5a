// A clock whose time moves only when the test (or a sleep) moves it.
#pragma once

#include <cstdint>
#include <vector>

#include "fakes/kit.h"
#include "winapi/clock.h"

namespace fakes {

class fake_clock final : public fake_base, public winapi::clock {
public:
    using fake_base::fake_base;

    std::uint32_t tick_count() override { return tick_; }
    std::uint64_t monotonic_ms() override { return monotonic_; }
    std::uint64_t unix_time() override { return unix_; }
    stdext::expected<winapi::local_time> now_local() override {
        return answer("now_local", [&] { return local; });
    }
    void sleep_ms(std::uint32_t ms) override {
        sleeps.push_back(ms);
        advance(ms);
    }

    // Moves every counter forward by ms (the tick counter wraps as timeGetTime does).
    void advance(std::uint64_t ms) {
        tick_ = static_cast<std::uint32_t>(tick_ + ms);
        monotonic_ += ms;
        unix_ += ms / 1000;
    }
    void set_tick(std::uint32_t t) { tick_ = t; }

    winapi::local_time local{2024, 5, 1, 13, 2, 7, 45};
    std::vector<std::uint32_t> sleeps;

private:
    std::uint32_t tick_ = 1000;
    std::uint64_t monotonic_ = 1000;
    std::uint64_t unix_ = 1700000000;
};

}  // namespace fakes
