#include "telemetry/system_info.h"

#include <exception>
#include <sstream>

#include "logging/log.h"
#include "stdext/utf.h"
#include "telemetry/wmi.h"
#include "winapi/facility.h"

namespace telemetry {
namespace details {
namespace {

// The text of a failure, the way the collectors log it.
void log_failure(const wchar_t* function, const wchar_t* what, const std::exception& e) {
    logging::logger_stream(logging::level_warning, function)
        << what << stdext::utf8_to_wide(e.what());
}

}  // namespace

std::wstring get_cpu_model() {
    const std::wstring processors = L"Select * from Win32_Processor";
    std::wostringstream model;
    try {
        model << wmi_query_string(processors, L"Name");
    } catch (const std::exception& e) {
        log_failure(L"details::get_cpu_model", L"Failed get processor name: ", e);
    }
    model << L" | ";
    try {
        model << wmi_query_string(processors, L"Description");
    } catch (const std::exception& e) {
        log_failure(L"details::get_cpu_model", L"Failed get processor description: ", e);
    }
    return model.str();
}

std::wstring get_device_type() {
    try {
        return wmi_query_string(L"Select * from Win32_ComputerSystem", L"Model");
    } catch (const std::exception& e) {
        log_failure(L"details::get_device_type", L"Failed get computer model: ", e);
        return {};
    }
}

bool has_battery() {
    try {
        (void)wmi_query_string(L"Select * from Win32_Battery", L"Name");  // only its presence
        return true;
    } catch (const std::exception& e) {
        log_failure(L"details::has_battery", L"Failed get Win32_Battery Name: ", e);
    }
    try {
        (void)wmi_query_string(L"Select * from Win32_PortableBattery", L"Name");
        return true;
    } catch (const std::exception& e) {
        log_failure(L"details::has_battery", L"Failed get Win32_PortableBattery Name: ", e);
        return false;
    }
}

std::uint64_t get_ram_size() {
    try {
        std::uint64_t total = 0;
        for (const std::wstring& capacity :
             wmi_query_strings(L"Select * from Win32_PhysicalMemory", L"Capacity")) {
            // The leading decimal digits; unsigned arithmetic wraps around as the sum does.
            std::uint64_t bytes = 0;
            for (auto c = capacity.begin(); c != capacity.end() && *c >= L'0' && *c <= L'9'; ++c) {
                bytes = bytes * 10 + static_cast<std::uint64_t>(*c - L'0');
            }
            total += bytes;
        }
        return total;
    } catch (const std::exception& e) {
        log_failure(L"details::get_ram_size", L"Failed get Win32_PhysicalMemory Name: ", e);
        return 0;
    }
}

std::string os_version_text() {
    const auto version = winapi::facility<winapi::process_context>::get().os_version();
    if (!version) {
        return {};
    }
    return std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
           std::to_string(version->build) + "." + stdext::wide_to_utf8(version->service_pack);
}

std::string architecture_text(std::uint16_t processor_architecture) {
    return (processor_architecture & 0xF) != 0 ? "x64" : "x86";
}

}  // namespace details

system_info_t collect_system_info() {
    auto& process = winapi::facility<winapi::process_context>::get();
    system_info_t info;
    info.cpu_model = details::get_cpu_model();
    info.computer_model = details::get_device_type();
    if (!details::has_battery()) {
        info.device_class = L"desktop";
    } else {
        info.device_class = process.is_tablet_pc() ? L"tablet" : L"laptop";
    }
    info.ram_size = details::get_ram_size();
    info.os_version = details::os_version_text();
    info.architecture = details::architecture_text(process.native_processor_architecture());
    return info;
}

std::future<system_info_t>& device_facts::future() {
    std::call_once(started_,
                   [this] { future_ = std::async(std::launch::async, collect_system_info); });
    return future_;
}

system_info_t device_facts::wait() {
    return future().get();
}

}  // namespace telemetry
