// System messages for a few error numbers, as Windows words them (with the line break).
#pragma once

#include <map>

#include "winapi/error_messages.h"
#include "winapi/win_error_category.h"

namespace fakes {

class fake_error_messages final : public winapi::error_messages {
public:
    std::optional<std::string> system_message(std::uint32_t code) override {
        auto it = texts.find(code);
        if (it == texts.end()) {
            return std::nullopt;
        }
        return it->second;
    }

    std::map<std::uint32_t, std::string> texts{
        {2, "The system cannot find the file specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {258, "The wait operation timed out.\r\n"},
    };
};

}  // namespace fakes
