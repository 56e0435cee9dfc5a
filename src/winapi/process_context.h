// The process facility: what the running process is allowed to do, the machine it runs on and how
// it was started.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// wProcessorArchitecture values of SYSTEM_INFO.
inline constexpr std::uint16_t processor_architecture_intel = 0;
inline constexpr std::uint16_t processor_architecture_amd64 = 9;

// The Windows version as RtlGetVersion gives it.
struct os_version_info {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::wstring service_pack;  // szCSDVersion; empty without one
};

class process_context {
public:
    virtual ~process_context() = default;

    // Membership of the calling thread's token in the built-in Administrators group
    // (AllocateAndInitializeSid, CheckTokenMembership with a null token, FreeSid).
    [[nodiscard]] virtual stdext::expected<bool> is_administrator() = 0;
    // wProcessorArchitecture of GetNativeSystemInfo.
    [[nodiscard]] virtual std::uint16_t native_processor_architecture() = 0;
    // RtlGetVersion of "ntdll.dll" (loaded by name and freed again). The error names the missing
    // library or function, or carries the call's status.
    [[nodiscard]] virtual stdext::expected<os_version_info> os_version() = 0;
    // GetSystemMetrics(SM_TABLETPC) is non-zero.
    [[nodiscard]] virtual bool is_tablet_pc() = 0;
    // GetCommandLineW().
    [[nodiscard]] virtual std::wstring command_line() = 0;
    // The arguments of a command line as CommandLineToArgvW splits it.
    [[nodiscard]] virtual stdext::expected<std::vector<std::wstring>> split_command_line(
        const std::wstring& line) = 0;
    // Narrow text in the system's ANSI code page as wide text (MultiByteToWideChar with CP_ACP);
    // text the code page cannot convert gives an empty result.
    [[nodiscard]] virtual std::wstring ansi_to_wide(std::string_view text) = 0;
};

}  // namespace winapi
