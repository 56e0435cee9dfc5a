// A service control manager with one scripted service: each status query takes the next status
// of the script (the last one repeats) and start requests are counted. Manager and service
// handles must be closed exactly once.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "winapi/service_manager.h"

namespace fakes {

class fake_service_manager final : public winapi::service_manager, public fake_base {
public:
    using fake_base::fake_base;
    std::deque<winapi::service_status> script{{winapi::service_stopped, 0}};
    int starts = 0;
    std::vector<std::uint32_t> service_access;  // access of each open_service
    handle_table handles;

    // Appends `count` statuses to the script.
    void then(std::uint32_t state, std::uint32_t wait_hint = 0, int count = 1) {
        script.insert(script.end(), count, {state, wait_hint});
    }

    stdext::expected<winapi::unique_sc_handle> open_manager() override {
        return open("open_manager", "manager");
    }
    stdext::expected<winapi::unique_sc_handle> open_service(winapi::sc_handle manager,
                                                            const std::wstring& name,
                                                            std::uint32_t access) override {
        EXPECT_TRUE(handles.is_open(manager) && name == L"CorvelService");
        service_access.push_back(access);
        return open("open_service", "service");
    }
    stdext::expected<winapi::service_status> query_status(winapi::sc_handle /*service*/) override {
        return answer("query_status", [&] {
            const auto status = script.front();
            if (script.size() > 1) {
                script.pop_front();
            }
            return status;
        });
    }
    stdext::expected<void> start(winapi::sc_handle /*service*/) override {
        return answer("start_service", [&] { ++starts; });
    }
    void close(winapi::sc_handle handle) override { handles.close(handle); }

private:
    stdext::expected<winapi::unique_sc_handle> open(std::string_view operation, const char* kind) {
        return answer(operation, [&] { return winapi::unique_sc_handle(handles.open(kind)); });
    }
};

}  // namespace fakes
