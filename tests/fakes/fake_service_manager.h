// A service control manager with one scripted service: each status query takes the next
// status of the script (the last one repeats), start requests are counted, and any call can be
// made to fail.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "winapi/service_manager.h"

namespace fakes {

class fake_service_manager final : public winapi::service_manager {
public:
    std::deque<winapi::service_status> script{{winapi::service_stopped, 0}};
    // Called after each status query with the number of queries so far.
    std::function<void(int)> on_query;

    std::optional<std::uint32_t> fail_open_manager;
    std::optional<std::uint32_t> fail_open_service;
    std::optional<std::uint32_t> fail_query;
    std::optional<std::uint32_t> fail_start;

    int queries = 0;
    int starts = 0;
    std::vector<std::uint32_t> service_access;  // access of each open_service
    int open_handles() const { return static_cast<int>(open_.size()); }

    // Appends `count` statuses to the script.
    void then(std::uint32_t state, std::uint32_t wait_hint = 0, int count = 1) {
        script.insert(script.end(), count, {state, wait_hint});
    }

    std::uint32_t open_manager(std::uint32_t /*access*/, winapi::sc_handle& out) override {
        return open(fail_open_manager, out);
    }
    std::uint32_t open_service(winapi::sc_handle manager, const std::wstring& name,
                               std::uint32_t access, winapi::sc_handle& out) override {
        service_access.push_back(access);
        out = 0;
        if (const auto e = check(fail_open_service, manager)) {
            return e;
        }
        return name == L"CorvelService" ? open(std::nullopt, out)
                                        : 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
    }
    std::uint32_t query_status(winapi::sc_handle service, winapi::service_status& out) override {
        if (const auto e = check(fail_query, service)) {
            return e;
        }
        out = script.front();
        if (script.size() > 1) {
            script.pop_front();
        }
        ++queries;
        if (on_query) {
            on_query(queries);
        }
        return 0;
    }
    std::uint32_t start(winapi::sc_handle service) override {
        if (const auto e = check(fail_start, service)) {
            return e;
        }
        ++starts;
        return 0;
    }
    bool close(winapi::sc_handle handle) override { return open_.erase(handle) != 0; }

private:
    // The injected error, else ERROR_INVALID_HANDLE for a handle that is not open, else 0.
    std::uint32_t check(const std::optional<std::uint32_t>& fail, winapi::sc_handle h) const {
        return fail ? *fail : open_.count(h) ? 0 : 6;
    }
    std::uint32_t open(const std::optional<std::uint32_t>& fail, winapi::sc_handle& out) {
        out = 0;
        if (fail) {
            return *fail;
        }
        out = next_++;
        open_.insert(out);
        return 0;
    }

    std::set<winapi::sc_handle> open_;
    winapi::sc_handle next_ = 0x5000;
};

}  // namespace fakes
