// The running process as a test wants it: administrator or not, the machine's architecture and
// the command line.
#pragma once

#include <iomanip>
#include <sstream>

#include "fakes/kit.h"
#include "winapi/process_context.h"

namespace fakes {

class fake_process_context final : public fake_base, public winapi::process_context {
public:
    using fake_base::fake_base;

    bool administrator = true;
    std::uint16_t architecture = winapi::processor_architecture_amd64;
    std::wstring line = L"\"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe\" repair";

    stdext::expected<bool> is_administrator() override {
        return answer("is_administrator", [&] { return administrator; });
    }
    std::uint16_t native_processor_architecture() override { return architecture; }
    winapi::os_version_info version{10, 0, 19045, L""};
    bool tablet = false;

    stdext::expected<winapi::os_version_info> os_version() override {
        return answer("os_version", [&] { return version; });
    }
    bool is_tablet_pc() override { return tablet; }
    std::wstring command_line() override { return line; }
    // Splits at blanks; a double-quoted part may contain blanks and backslashes.
    stdext::expected<std::vector<std::wstring>> split_command_line(
        const std::wstring& text) override {
        return answer("split_command_line", [&] {
            std::vector<std::wstring> args;
            std::wistringstream in(text);
            for (std::wstring word; in >> std::quoted(word, L'"', L'\0');) {
                args.push_back(word);
            }
            return args;
        });
    }
    // The code page of the fake is Latin-1: every byte is the character of the same number.
    std::wstring ansi_to_wide(std::string_view text) override {
        std::wstring wide;
        for (const char c : text) {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
        }
        return wide;
    }
};

}  // namespace fakes
