// Discretionary access control lists by path: lists any account can appear in, including ones
// Windows under Wine cannot express (TrustedInstaller, localised group names, orphaned SIDs).
#pragma once

#include <map>
#include <string>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "winapi/access_control.h"

namespace fakes {

class fake_access_control final : public winapi::access_control, public fake_base {
public:
    // An allow entry for an account.
    static winapi::dacl_entry allow(std::wstring account, std::uint32_t mask) {
        winapi::dacl_entry e;
        e.mask = mask;
        e.account = std::move(account);
        return e;
    }

    std::map<std::wstring, winapi::dacl> lists;  // by normal form of the path

    void set(const std::wstring& path, winapi::dacl list) {
        lists[path_key(path)] = std::move(list);
    }

    stdext::expected<winapi::dacl> read_dacl(const std::wstring& path) override {
        if (auto fault = check("read_dacl")) {
            return stdext::unexpected(
                winapi::win_failure(static_cast<std::uint32_t>(fault->code.value()),
                                    std::string(winapi::named_security_info_failed)));
        }
        auto it = lists.find(path_key(path));
        if (it == lists.end()) {
            return stdext::unexpected(winapi::win_failure(
                winapi::error_file_not_found, std::string(winapi::named_security_info_failed)));
        }
        return it->second;
    }
};

}  // namespace fakes
