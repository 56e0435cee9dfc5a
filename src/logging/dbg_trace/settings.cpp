#include "logging/dbg_trace/settings.h"

#include <cstring>

#include "logging/dbg_trace/host.h"

namespace logging::dbg_trace {

namespace {

constexpr std::string_view module_name = "DLLPROTECT";
constexpr char settings_file_name[] = "dbg_trace.ini";

// The decimal number at the start of `text`, up to the first non-digit; saturates rather than
// wrapping, as strtoul does.
std::uint32_t leading_number(std::string_view text) noexcept {
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) {
            return 0xFFFFFFFFu;
        }
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

void apply_settings_line(trace_settings& settings, std::string_view line) noexcept {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    const auto value = line.substr(equals + 1);
    if (line.starts_with(module_name) || line.starts_with('*')) {
        settings.flags = leading_number(value);
    } else if (line.starts_with("key")) {
        if (key_is_zero(settings.key)) {
            return;
        }
        // The four bytes after "=", as far as the line goes; a shorter value leaves the rest.
        for (std::size_t i = 0; i < settings.key.size() && i < value.size(); ++i) {
            settings.key[i] ^= static_cast<std::uint8_t>(value[i]);
        }
    }
}

void settings_parser::feed(const char* bytes, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (pending_cr_) {
            pending_cr_ = false;
            if (c != '\n') {
                put('\r');
            }
        }
        if (c == '\r') {
            pending_cr_ = true;
        } else {
            put(c);
        }
    }
}

void settings_parser::finish() noexcept {
    if (pending_cr_) {
        pending_cr_ = false;
        put('\r');
    }
    if (length_ > 0) {
        take_line();
    }
}

void settings_parser::put(char c) noexcept {
    if (c == '\n') {
        take_line();
        return;
    }
    line_[length_++] = c;
    if (length_ == line_limit) {
        take_line();
    }
}

void settings_parser::take_line() noexcept {
    apply_settings_line(settings_, std::string_view(line_.data(), length_));
    length_ = 0;
}

bool settings_path_beside(const char* exe_path, char (&out)[260]) noexcept {
    const char* slash = std::strrchr(exe_path, '\\');
    if (slash == nullptr) {
        return false;
    }
    const std::size_t folder = static_cast<std::size_t>(slash - exe_path) + 1;
    if (folder + sizeof settings_file_name > sizeof out) {
        return false;
    }
    std::memcpy(out, exe_path, folder);
    std::memcpy(out + folder, settings_file_name, sizeof settings_file_name);
    return true;
}

trace_settings load_settings(host& system) noexcept {
    {
        settings_parser parser;
        if (system.read_settings("\\dbg_trace.ini", parser)) {
            parser.finish();
            trace_settings found = parser.settings();
            found.location = ini_location::drive_root;
            return found;
        }
    }
    char exe[260];
    char path[260];
    if (system.executable_path(exe, sizeof exe) && settings_path_beside(exe, path)) {
        settings_parser parser;
        if (system.read_settings(path, parser)) {
            parser.finish();
            trace_settings found = parser.settings();
            found.location = ini_location::executable_folder;
            return found;
        }
    }
    return trace_settings{};
}

std::uint8_t scramble_byte(const std::array<std::uint8_t, 4>& key) noexcept {
    const auto difference = static_cast<std::uint8_t>(key[1] - key[3]);
    return static_cast<std::uint8_t>(difference - key[2] + key[0]);
}

}  // namespace logging::dbg_trace
