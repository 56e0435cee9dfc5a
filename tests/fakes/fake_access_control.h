// Discretionary access control lists by path: lists any account can appear in, including ones
// Windows under Wine cannot express (TrustedInstaller, localised group names, orphaned SIDs). An
// entry's SID holds its account name; the lookup gives it back unless told otherwise.
#pragma once

#include <map>
#include <set>
#include <string>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/access_control.h"

namespace fakes {

class fake_access_control final : public winapi::access_control, public fake_base {
public:
    using fake_base::fake_base;
    // An allow entry for an account.
    static winapi::dacl_entry allow(const std::wstring& account, std::uint32_t mask) {
        winapi::dacl_entry e;
        e.mask = mask;
        e.sid = stdext::wide_to_utf16le(account);
        return e;
    }

    std::map<std::wstring, winapi::dacl> lists;        // by normal form of the path
    std::map<std::wstring, std::uint32_t> unresolved;  // account -> error of its lookup
    std::set<std::wstring> long_names;                 // accounts whose lookup needs larger buffers

    void set(const std::wstring& path, winapi::dacl list) {
        lists[path_key(path)] = std::move(list);
    }

    stdext::expected<winapi::dacl> read_dacl(const std::wstring& path) override {
        const auto fault = check("read_dacl");
        auto it = lists.find(path_key(path));
        if (fault || it == lists.end()) {
            const auto code = fault ? static_cast<std::uint32_t>(fault->code.value())
                                    : winapi::error_file_not_found;
            return stdext::unexpected(
                winapi::win_failure(code, std::string(winapi::named_security_info_failed),
                                    winapi::dacl_step::named_security_info));
        }
        return it->second;
    }

    winapi::account_lookup lookup_account(const std::vector<std::uint8_t>& sid) override {
        const std::wstring account = stdext::utf16le_to_wide(sid.data(), sid.size());
        winapi::account_lookup found;
        found.retried = long_names.contains(account);
        if (auto fault = check("lookup_account")) {
            found.name = stdext::unexpected(*fault);
        } else if (auto it = unresolved.find(account); it != unresolved.end()) {
            found.name = stdext::unexpected(winapi::win_failure(it->second, "LookupAccountSid"));
        } else {
            found.name = account;
        }
        return found;
    }
};

}  // namespace fakes
