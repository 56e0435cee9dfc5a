// The running process as a test wants it: administrator or not, the machine's architecture, the
// command line, and a record of every current-directory change.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sys/process_context.h"

namespace fakes {

class fake_process_context final : public winapi::process_context {
public:
    bool administrator = true;
    std::uint16_t architecture = winapi::processor_architecture_amd64;
    std::wstring line = L"\"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe\" repair";
    std::optional<std::uint32_t> fail_split;  // CommandLineToArgvW fails with this error
    std::vector<std::wstring> current_directories;

    bool is_administrator() override { return administrator; }
    std::uint16_t native_processor_architecture() override { return architecture; }
    std::wstring command_line() override { return line; }

    // Splits at blanks; a double-quoted part may contain blanks. Enough for the lines tests use.
    bool split_command_line(const std::wstring& text, std::vector<std::wstring>& args,
                            std::uint32_t& error) override {
        if (fail_split) {
            error = *fail_split;
            return false;
        }
        args.clear();
        std::wstring current;
        bool quoted = false;
        bool any = false;
        for (wchar_t c : text) {
            if (c == L'"') {
                quoted = !quoted;
                any = true;
            } else if (c == L' ' && !quoted) {
                if (any) {
                    args.push_back(current);
                }
                current.clear();
                any = false;
            } else {
                current += c;
                any = true;
            }
        }
        if (any) {
            args.push_back(current);
        }
        error = 0;
        return true;
    }

    std::uint32_t set_current_directory(const std::wstring& path) override {
        current_directories.push_back(path);
        return 0;
    }
};

}  // namespace fakes
