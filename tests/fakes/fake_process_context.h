// The running process as a test wants it: administrator or not, the machine's architecture and
// the command line.
#pragma once

#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "winapi/process_context.h"

namespace fakes {

class fake_process_context final : public winapi::process_context {
public:
    bool administrator = true;
    std::uint16_t architecture = winapi::processor_architecture_amd64;
    std::wstring line = L"\"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe\" repair";
    std::optional<std::uint32_t> fail_split;  // CommandLineToArgvW fails with this error

    bool is_administrator() override { return administrator; }
    std::uint16_t native_processor_architecture() override { return architecture; }
    std::wstring command_line() override { return line; }

    // Splits at blanks; a double-quoted part may contain blanks and backslashes.
    bool split_command_line(const std::wstring& text, std::vector<std::wstring>& args,
                            std::uint32_t& error) override {
        error = fail_split.value_or(0);
        args.clear();
        std::wistringstream in(text);
        for (std::wstring word; !fail_split && in >> std::quoted(word, L'"', L'\0');) {
            args.push_back(word);
        }
        return !fail_split;
    }
};

}  // namespace fakes
