// A test seam for code that traces: while a capture lives, tracing is on with the chosen flags
// and key, and every line is collected in memory instead of reaching any real output. Lines carry
// a fixed tick count and thread id (settable), so whole lines can be compared.
//
//     logging::dbg_trace::testing::capture trace;
//     run_the_code();
//     EXPECT_TRUE(trace.contains("[DLLPROTECT] :: check() - refused"));
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logging/dbg_trace/dbg_trace.h"

namespace logging::dbg_trace::testing {

struct captured_line {
    log_level level{};
    // The outputs the line was sent to (the flags, plus the file for warnings when `ini_found`).
    std::uint32_t outputs = 0;
    bool wide = false;
    // The whole line with its line feed: narrow lines as written, wide lines in UTF-8; when a key
    // scrambles the output, the scrambled bytes.
    std::string text;
};

class capture {
public:
    // `key` is the effective key (zero: plain output). `ini_found` makes warning lines go to the
    // file as well, as when a settings file was found.
    explicit capture(std::uint32_t flags = output_debugger, std::array<std::uint8_t, 4> key = {},
                     bool ini_found = true);
    ~capture();
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;

    [[nodiscard]] std::vector<captured_line> lines() const;
    // Only the texts of the lines.
    [[nodiscard]] std::vector<std::string> texts() const;
    // True when some line contains `part`.
    [[nodiscard]] bool contains(std::string_view part) const;
    // The bytes written to the in-memory log file (banner first), empty when none was opened.
    [[nodiscard]] std::string file_bytes() const;

    // The tick count (default 0) and thread id (default 1) of the following lines, and the
    // performance counter (frequency 1000000) that trace scopes read.
    void set_tick(std::uint64_t tick);
    void set_thread(std::uint32_t thread);
    void set_counter(std::int64_t counter);

    class recorder;

private:
    std::unique_ptr<recorder> recorder_;
};

}  // namespace logging::dbg_trace::testing
