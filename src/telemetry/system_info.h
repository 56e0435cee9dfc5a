// The description of the machine that the repair event carries, collected once per process on a
// worker thread. Every collector logs its failure and falls back to an empty text, false or 0, so
// the description is always complete.
//
//     const telemetry::system_info_t info = telemetry::get_system_info().get();
#pragma once

#include <cstdint>
#include <future>
#include <string>

#include "winapi/process_context.h"

namespace telemetry {

struct system_info_t {
    std::wstring cpu_model;       // processor name, " | ", processor description
    std::wstring computer_model;  // the computer system's model
    std::wstring device_class;    // "desktop", "laptop" or "tablet"
    std::uint64_t ram_size = 0;   // installed memory in bytes
    std::string os_version;       // major.minor.build.service pack
    std::string architecture;     // "x64" or "x86"

    bool operator==(const system_info_t&) const = default;
};

// The collection, on the calling thread.
[[nodiscard]] system_info_t collect_system_info();

// The process-wide future of the collection, started on a worker thread by the first call. Its
// value can be taken once.
[[nodiscard]] std::future<system_info_t>& get_system_info();

// Takes the value of the process-wide future, waiting as long as it takes; the device facts of
// the repair event.
[[nodiscard]] system_info_t wait_for_system_info();

namespace details {

// The processor's name and description, joined by " | "; a piece that cannot be read is left out.
[[nodiscard]] std::wstring get_cpu_model();
// The computer system's model; empty when it cannot be read.
[[nodiscard]] std::wstring get_device_type();
// Whether WMI knows a battery or a portable battery.
[[nodiscard]] bool has_battery();
// The capacities of the memory modules added up; 0 when they cannot be read.
[[nodiscard]] std::uint64_t get_ram_size();
// "major.minor.build.service pack"; empty when the version cannot be read.
[[nodiscard]] std::string os_version_text();
// "x64" for any processor architecture with one of its low four bits set, else "x86".
[[nodiscard]] std::string architecture_text(std::uint16_t processor_architecture);

}  // namespace details

}  // namespace telemetry
