// Host side of load protection: the supervisor starts the protection engine for its own process
// before it loads any product library, and stops it as the very last thing before it exits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stdext/expected.h"

namespace dllprotect {

// The option word and the host name the supervisor starts the engine with.
inline constexpr std::uint32_t supervisor_options = 0x1A;
inline constexpr std::wstring_view supervisor_host_name = L"CorvelWardex";

// Why the engine did not start: a Windows error number and a text.
struct host_error {
    std::uint32_t code = 0;
    std::wstring message;
};

// A running engine. The engine stops when its session ends.
class host_session {
public:
    host_session(host_session&&) noexcept = default;
    host_session& operator=(host_session&&) noexcept = default;
    host_session(const host_session&) = delete;
    host_session& operator=(const host_session&) = delete;
    ~host_session() = default;

private:
    host_session() = default;
};

using host_outcome = stdext::expected<host_session, host_error>;

// Registers the host's event callback and starts the engine with the option word and name.
// The engine is not part of this build yet, so the start always reports why it did not run.
[[nodiscard]] host_outcome host_start(std::uint32_t options, std::wstring_view name);

}  // namespace dllprotect
