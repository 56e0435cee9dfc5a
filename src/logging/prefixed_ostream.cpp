#include "logging/prefixed_ostream.h"

#include <iomanip>
#include <sstream>

#include "winapi/clock.h"
#include "winapi/facility.h"

namespace logging {

std::wstring now_string() {
    auto* clock = winapi::facility<winapi::clock>::find();
    if (clock == nullptr) {
        return {};
    }
    const auto now = clock->now_local();
    if (!now) {
        return {};
    }
    std::wostringstream out;
    out << std::setfill(L'0') << now->year << L'-' << std::setw(2) << now->month << L'-'
        << std::setw(2) << now->day << L' ' << std::setw(2) << now->hour << L':' << std::setw(2)
        << now->minute << L':' << std::setw(2) << now->second << L'.' << std::setw(3)
        << now->milliseconds << L' ';
    return out.str();
}

}  // namespace logging
