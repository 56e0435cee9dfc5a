// Where the configuration code writes its log lines: one message with a level and the name of
// the operation that writes it. Kept behind one function so the configuration code does not
// depend on how the program's logger is bound.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace config::detail {

void write_log(std::uint32_t level, const wchar_t* function, const std::wstring& message);

// Receives every message while installed (tests); returns the previous receiver.
using log_receiver = std::function<void(std::uint32_t, const wchar_t*, const std::wstring&)>;
log_receiver set_log_receiver(log_receiver receiver);

}  // namespace config::detail
