// The trace settings file "dbg_trace.ini": lines of at most 511 characters (longer ones are read
// in pieces, each piece taken as a line), of which two kinds count:
//   DLLPROTECT=<n> or *=<n>   the digits after "=" become the flags; the last such line wins
//   key=<4 bytes>             XORed into the key while the key is not zero
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace logging::dbg_trace {

class host;

enum class ini_location : int { drive_root = 0, executable_folder = 1, not_found = 2 };

inline constexpr std::array<std::uint8_t, 4> initial_key = {'Q', 'Z', 'V', 'K'};

struct trace_settings {
    std::uint32_t flags = 0;
    std::array<std::uint8_t, 4> key = initial_key;
    ini_location location = ini_location::not_found;
};

// Takes the file's bytes in any pieces and cuts them into lines as a text-mode reader with a
// 512-character buffer does ("\r\n" reads as "\n").
class settings_parser {
public:
    static constexpr std::size_t line_limit = 511;

    void feed(const char* bytes, std::size_t size) noexcept;
    // Takes the last line when the file does not end with a line feed.
    void finish() noexcept;
    [[nodiscard]] const trace_settings& settings() const noexcept { return settings_; }

private:
    void put(char c) noexcept;
    void take_line() noexcept;

    trace_settings settings_;
    std::array<char, line_limit> line_{};
    std::size_t length_ = 0;
    bool pending_cr_ = false;
};

// Applies one line (without its line feed) to `settings`.
void apply_settings_line(trace_settings& settings, std::string_view line) noexcept;

// "<folder of exe>dbg_trace.ini" into `out` (260 characters with terminator); false when the
// executable's path has no "\" or the result does not fit.
[[nodiscard]] bool settings_path_beside(const char* exe_path, char (&out)[260]) noexcept;

// Reads "\dbg_trace.ini" (the current drive's root), else the file beside the executable.
[[nodiscard]] trace_settings load_settings(host& system) noexcept;

// The byte every character is XORed with when the key is not zero.
[[nodiscard]] std::uint8_t scramble_byte(const std::array<std::uint8_t, 4>& key) noexcept;

[[nodiscard]] inline bool key_is_zero(const std::array<std::uint8_t, 4>& key) noexcept {
    return (key[0] | key[1] | key[2] | key[3]) == 0;
}

}  // namespace logging::dbg_trace
