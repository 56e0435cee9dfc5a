// The description of the machine that the repair event carries, collected once on a worker
// thread. Every collector logs its failure and falls back to an empty text, false or 0, so the
// description is always complete.
//
//     telemetry::device_facts facts;  // one for the whole command
//     const telemetry::system_info_t info = facts.wait();
#pragma once

#include <cstdint>
#include <future>
#include <mutex>
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

// The device facts of one run of the program. The collection starts on a worker thread the first
// time they are asked for and runs once; its value can be taken once, so a second wait raises
// std::future_error as any future whose value is gone.
class device_facts {
public:
    device_facts() = default;
    device_facts(const device_facts&) = delete;
    device_facts& operator=(const device_facts&) = delete;

    // The future of the collection, started by the first call.
    [[nodiscard]] std::future<system_info_t>& future();
    // Takes the value, waiting as long as it takes.
    [[nodiscard]] system_info_t wait();

private:
    std::once_flag started_;
    std::future<system_info_t> future_;
};

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
