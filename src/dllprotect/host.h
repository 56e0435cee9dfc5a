// Host side of load protection: the supervisor starts the protection engine for its own process
// before it loads any product library, with a reporter that turns each new protection event into
// a "dllprotect_report" telemetry event, and stops it as the very last thing before it exits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "stdext/expected.h"

namespace dllprotect {

class dllprotect_reporter;

// The option word and the host name the supervisor starts the engine with: signature, write
// access, report mode.
inline constexpr std::uint32_t supervisor_options = 0x1A;
inline constexpr std::wstring_view supervisor_host_name = L"CorvelWardex";

// Why the engine did not start: a Windows error number and a text.
struct host_error {
    std::uint32_t code = 0;
    std::wstring message;
};

// A running engine and its reporter. Releasing the session stops the engine, then destroys the
// reporter.
class host_session {
public:
    host_session(host_session&& other) noexcept;
    host_session& operator=(host_session&& other) noexcept;
    host_session(const host_session&) = delete;
    host_session& operator=(const host_session&) = delete;
    ~host_session();

private:
    friend stdext::expected<host_session, host_error> host_start(std::uint32_t options,
                                                                 std::wstring_view name);
    explicit host_session(std::unique_ptr<dllprotect_reporter> reporter);
    void release() noexcept;

    std::unique_ptr<dllprotect_reporter> reporter_;
    bool owns_engine_ = false;
};

using host_outcome = stdext::expected<host_session, host_error>;

// Registers the reporter's callback and starts the engine with the option word and name. The
// errors are "DllProtectSetEventsCbk failed" and "DllProtectStart failed".
[[nodiscard]] host_outcome host_start(std::uint32_t options, std::wstring_view name);

}  // namespace dllprotect
