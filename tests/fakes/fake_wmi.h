// WMI as a test wants it: the objects each query returns, with their properties. Connections and
// enumerations are checked to be released. Any operation ("open_cimv2", "connect", "exec_query",
// "next", "get") can be made to fail with a code; "next" failing with code 0 answers success
// without an object.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "winapi/wmi.h"

namespace fakes {

class fake_wmi final : public winapi::wmi, public fake_base {
public:
    using object = std::map<std::wstring, winapi::wmi_value>;

    using fake_base::fake_base;

    std::map<std::wstring, std::vector<object>> results;  // by query; others have no objects
    handle_table held;

    static winapi::wmi_value text(std::wstring value) { return {winapi::vt_bstr, value}; }

    stdext::expected<std::unique_ptr<winapi::wmi_connection>> open_cimv2() override {
        return open("open_cimv2");
    }
    stdext::expected<std::unique_ptr<winapi::wmi_connection>> connect(
        const std::wstring&) override {
        return open("connect");
    }

private:
    stdext::expected<std::unique_ptr<winapi::wmi_connection>> open(const char* operation) {
        return answer(operation, [&] {
            return std::unique_ptr<winapi::wmi_connection>(new connection(*this));
        });
    }

    struct objects final : winapi::wmi_objects {
        objects(fake_wmi& of, std::vector<object> list)
            : owner(of), all(std::move(list)), id(of.held.open("objects")) {}
        ~objects() override { owner.held.close(id); }
        winapi::wmi_step next() override {
            if (auto fault = owner.check("next")) {
                return {fault->code.value(), false};
            }
            if (++current >= all.size()) {
                return {winapi::wbem_s_false, false};
            }
            return {0, true};
        }
        stdext::expected<winapi::wmi_value> get(const std::wstring& name) override {
            if (auto fault = owner.check("get")) {
                return stdext::unexpected(*fault);
            }
            const auto found = all.at(current).find(name);
            if (found == all.at(current).end()) {
                return stdext::unexpected(winapi::win_failure(0x80041002u, "Get"));  // not found
            }
            return found->second;
        }
        fake_wmi& owner;
        std::vector<object> all;
        std::size_t current = static_cast<std::size_t>(-1);
        std::uintptr_t id;
    };

    struct connection final : winapi::wmi_connection {
        explicit connection(fake_wmi& of) : owner(of), id(of.held.open("connection")) {}
        ~connection() override { owner.held.close(id); }
        stdext::expected<std::unique_ptr<winapi::wmi_objects>> exec_query(
            const std::wstring& query) override {
            return owner.answer("exec_query", [&] {
                return std::unique_ptr<winapi::wmi_objects>(
                    new objects(owner, owner.results[query]));
            });
        }
        fake_wmi& owner;
        std::uintptr_t id;
    };
};

}  // namespace fakes
