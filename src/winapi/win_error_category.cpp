#include "winapi/win_error_category.h"

#include "winapi/error_messages.h"
#include "winapi/facility.h"

namespace winapi {
namespace details {

const char* win_error_category::name() const noexcept {
    return "win_error";
}

std::string win_error_category::message(int code) const {
    const auto number = static_cast<std::uint32_t>(code);
    if (auto* messages = facility<error_messages>::find()) {
        if (auto text = messages->system_message(number)) {
            return *text;
        }
    }
    return "unknown error " + std::to_string(number);
}

}  // namespace details

const std::error_category& win_error_category() noexcept {
    static const details::win_error_category instance;
    return instance;
}

}  // namespace winapi
