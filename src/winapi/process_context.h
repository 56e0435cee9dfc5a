// The process facility: what the running process is allowed to do, the machine it runs on and how
// it was started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// wProcessorArchitecture values of SYSTEM_INFO.
inline constexpr std::uint16_t processor_architecture_intel = 0;
inline constexpr std::uint16_t processor_architecture_amd64 = 9;

class process_context {
public:
    virtual ~process_context() = default;

    // Membership of the calling thread's token in the built-in Administrators group
    // (AllocateAndInitializeSid, CheckTokenMembership with a null token, FreeSid).
    virtual stdext::expected<bool> is_administrator() = 0;
    // wProcessorArchitecture of GetNativeSystemInfo.
    virtual std::uint16_t native_processor_architecture() = 0;
    // GetCommandLineW().
    virtual std::wstring command_line() = 0;
    // The arguments of a command line as CommandLineToArgvW splits it.
    virtual stdext::expected<std::vector<std::wstring>> split_command_line(
        const std::wstring& line) = 0;
};

}  // namespace winapi
