// One process-wide transaction of attaches and detaches at a time, committed all together or
// not at all. The exported transaction functions are this class over the Windows platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "intercept/platform.h"
#include "intercept/trampolines.h"

namespace intercept {

// Capacities of one transaction. They are fixed so that nothing is taken from the heap while
// enlisted threads are suspended (one of them may hold the heap's lock).
inline constexpr std::size_t max_operations = 32;
inline constexpr std::size_t max_threads = 64;

class engine {
public:
    explicit engine(platform& os) : os_(os), pool_(os) {}
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    [[nodiscard]] long begin();
    [[nodiscard]] long update_thread(void* thread);
    [[nodiscard]] long attach(void** pointer, void* detour);
    [[nodiscard]] long detach(void** pointer, void* detour);
    [[nodiscard]] long commit();
    [[nodiscard]] long abort();

    [[nodiscard]] const trampoline_pool& pool() const { return pool_; }

private:
    struct operation {
        bool attach = false;
        void** pointer = nullptr;
        slot* entry = nullptr;
    };

    bool owned() const;
    long fail(long error);
    long check_operation(void** pointer, void* detour);
    void end();
    void abort_pending();
    void move_threads();

    platform& os_;
    trampoline_pool pool_;
    mutable std::mutex mutex_;
    bool pending_ = false;
    std::uint32_t owner_ = 0;
    long error_ = 0;
    std::array<operation, max_operations> operations_{};
    std::size_t operation_count_ = 0;
    std::array<void*, max_threads> threads_{};
    std::size_t thread_count_ = 0;
};

}  // namespace intercept
