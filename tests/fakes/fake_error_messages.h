// System messages for a few error numbers, as Windows words them (with the line break).
#pragma once

#include <map>

#include "fakes/kit.h"
#include "winapi/error_messages.h"

namespace fakes {

class fake_error_messages final : public fake_base, public winapi::error_messages {
public:
    using fake_base::fake_base;

    stdext::expected<std::string> system_message(std::uint32_t code) override {
        auto e = check("system_message");
        if (!e && texts.count(code) != 0) {
            return texts.at(code);
        }
        return stdext::unexpected(e.value_or(winapi::win_failure(317, "FormatMessage")));
    }

    std::map<std::uint32_t, std::string> texts{
        {2, "The system cannot find the file specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {258, "The wait operation timed out.\r\n"},
    };
};

}  // namespace fakes
