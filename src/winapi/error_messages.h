// The system's text for a Windows error number (FormatMessage from the system table).
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"

namespace winapi {

class error_messages {
public:
    virtual ~error_messages() = default;
    // The text exactly as the system gives it (with its line break); fails when it has none.
    virtual stdext::expected<std::string> system_message(std::uint32_t code) = 0;
};

}  // namespace winapi
