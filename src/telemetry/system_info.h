// The description of the machine that the repair event carries.
#pragma once

#include <cstdint>
#include <string>

namespace telemetry {

struct system_info_t {
    std::wstring cpu_model;       // processor name, " | ", processor description
    std::wstring computer_model;  // the computer system's model
    std::wstring device_class;    // "desktop", "laptop" or "tablet"
    std::uint64_t ram_size = 0;   // installed memory in bytes
    std::string os_version;       // major.minor.build.service pack
    std::string architecture;     // "x64" or "x86"
};

}  // namespace telemetry
