// The events the load-protection engine delivers to its host's callback, recorded in delivery
// order. One sink serves one run of the engine; once the run is stopped, every event that still
// reaches a sink is counted late, also when the sink is gone (as the host frees its reporter).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dllprotect/protect_types.h"

namespace fakes {

class engine_events {
public:
    // The callback to hand the engine, with the sink as its context.
    static void record(const dllprotect::DllProtectEvent* e, void* context) {
        auto* sink = static_cast<engine_events*>(context);
        late += sink->stopped_ ? 1 : 0;
        const std::lock_guard lock(sink->mutex_);
        sink->events_.push_back({e->request_path, e->load_path, e->reason, e->function_name,
                                 e->flags, e->caller_name, e->caller_offset, e->error_info});
        sink->arrived_.notify_all();
    }
    // Events delivered to any sink after its run was stopped; a test resets it.
    static inline std::atomic<long> late{0};

    std::vector<dllprotect::DllProtectInfo> events() const {
        const std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> reasons() const {
        std::vector<std::string> out;
        for (const auto& e : events()) {
            out.push_back(e.reason);
        }
        return out;
    }
    std::size_t count(std::string_view reason) const {
        const auto all = reasons();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), reason));
    }
    // Whether an event arrived within the time.
    bool wait_for_any(std::chrono::seconds limit) const {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, limit, [this] { return !events_.empty(); });
    }
    // The run is stopped: whatever arrives from now on is late.
    void stopped() { stopped_ = true; }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<dllprotect::DllProtectInfo> events_;
    std::atomic<bool> stopped_{false};
};

}  // namespace fakes
