// The process-wide state behind the trace calls, and the switch the test capture uses to put
// its own host and settings in place of the system's.
#pragma once

#include <array>
#include <cstdint>

#include "logging/dbg_trace/host.h"
#include "logging/dbg_trace/settings.h"

namespace logging::dbg_trace::detail {

// Tracing on with `settings`, lines going to `system`, as if the settings had been read.
void install(host& system, const trace_settings& settings) noexcept;
// Closes the log file and goes back to the system's host with the settings not read yet.
void uninstall() noexcept;

// The flags word as stored: a value equal to "not read yet" loses its top bit, which carries no
// output.
[[nodiscard]] constexpr std::uint32_t stored_flags(std::uint32_t flags) noexcept {
    return flags == flags_not_read ? flags & 0x7FFFFFFFu : flags;
}

}  // namespace logging::dbg_trace::detail
