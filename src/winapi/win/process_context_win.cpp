#include <windows.h>

#include <shellapi.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

struct sid_traits {
    using handle_type = PSID;
    static handle_type empty() noexcept { return nullptr; }
    static void close(PSID sid) noexcept {
        last_error_guard keep;
        ::FreeSid(sid);
    }
};

class windows_process_context final : public process_context {
public:
    bool is_administrator() override {
        SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        if (!::AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                        DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid)) {
            return false;
        }
        stdext::unique_handle<sid_traits> owner(sid);
        BOOL member = FALSE;
        if (!::CheckTokenMembership(nullptr, sid, &member)) {
            return false;
        }
        return member != FALSE;
    }

    std::uint16_t native_processor_architecture() override {
        SYSTEM_INFO info{};
        ::GetNativeSystemInfo(&info);
        return info.wProcessorArchitecture;
    }

    std::wstring command_line() override {
        const wchar_t* line = ::GetCommandLineW();
        return line ? std::wstring(line) : std::wstring();
    }

    bool split_command_line(const std::wstring& line, std::vector<std::wstring>& args,
                            std::uint32_t& error) override {
        int count = 0;
        LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count);
        if (argv == nullptr) {
            error = ::GetLastError();
            return false;
        }
        unique_local_memory owner(reinterpret_cast<HLOCAL>(argv));
        args.assign(argv, argv + count);
        error = 0;
        return true;
    }
};

}  // namespace

process_context& windows_process_context_instance() {
    static windows_process_context instance;
    return instance;
}

}  // namespace winapi
