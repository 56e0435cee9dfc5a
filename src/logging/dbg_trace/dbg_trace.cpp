#include "logging/dbg_trace/dbg_trace.h"

#include <cstdarg>
#include <thread>

#include "logging/dbg_trace/core.h"
#include "logging/dbg_trace/line.h"
#include "logging/dbg_trace/outputs.h"

namespace logging::dbg_trace {

namespace detail {
std::atomic<std::uint32_t> flags_word{flags_not_read};
}  // namespace detail

namespace {

enum : int { settings_unread = 0, settings_reading = 1, settings_ready = 2 };

// Everything here is written once, by the thread that reads the settings, before it publishes
// settings_ready with release order; readers acquire it before looking.
struct trace_state {
    std::atomic<int> settings_state{settings_unread};
    std::atomic<std::uint32_t> reader_thread{0};
    std::atomic<host*> current{nullptr};
    output_settings outputs_settings{};
    std::int64_t frequency = 1;
    output_set outputs{};
};

constinit trace_state state{};

host& current_host() noexcept {
    host* h = state.current.load(std::memory_order_acquire);
    return h != nullptr ? *h : system_host();
}

void publish(host& system, const trace_settings& settings) noexcept {
    state.outputs_settings.flags = settings.flags;
    state.outputs_settings.location = settings.location;
    state.outputs_settings.scrambled = !key_is_zero(settings.key);
    state.outputs_settings.scramble = scramble_byte(settings.key);
    const std::int64_t frequency = system.performance_frequency();
    state.frequency = frequency != 0 ? frequency : 1;
    state.settings_state.store(settings_ready, std::memory_order_release);
    detail::flags_word.store(detail::stored_flags(settings.flags), std::memory_order_release);
}

// Closes the log file, with its end banner, when the process ends.
struct closer {
    constexpr closer() = default;
    closer(const closer&) = delete;
    closer& operator=(const closer&) = delete;
    ~closer() {
        if (state.settings_state.load(std::memory_order_acquire) == settings_ready) {
            state.outputs.file.close(current_host(), state.outputs_settings);
        }
    }
};
constinit closer close_at_exit;

// True, with the settings visible, when a line is to be written at all.
bool ready() noexcept {
    return on() && state.settings_state.load(std::memory_order_acquire) == settings_ready;
}

void write_narrow(log_level level, const detail::tag_parts& tag, const char* format,
                  va_list args) noexcept {
    host& system = current_host();
    narrow_line line;
    build_line(line, static_cast<std::uint32_t>(system.tick_count()), system.thread_id(), tag,
               format, args);
    dispatch(system, state.outputs, state.outputs_settings, level, line);
}

void write_wide(log_level level, const detail::tag_parts& tag, const wchar_t* format,
                va_list args) noexcept {
    host& system = current_host();
    wide_line line;
    build_line(line, static_cast<std::uint32_t>(system.tick_count()), system.thread_id(), tag,
               format, args);
    dispatch(system, state.outputs, state.outputs_settings, level, line);
}

void write_narrow(log_level level, const detail::tag_parts& tag, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    write_narrow(level, tag, format, args);
    va_end(args);
}

}  // namespace

namespace detail {

bool read_settings_once() noexcept {
    int expected = settings_unread;
    if (state.settings_state.compare_exchange_strong(expected, settings_reading)) {
        host& system = current_host();
        state.reader_thread.store(system.thread_id());
        publish(system, load_settings(system));
        return flags_word.load(std::memory_order_relaxed) != 0;
    }
    // A line traced while this same thread reads the settings (a library loaded on the way)
    // is dropped rather than waited for.
    if (expected == settings_reading && state.reader_thread.load() == current_host().thread_id()) {
        return false;
    }
    while (state.settings_state.load(std::memory_order_acquire) != settings_ready) {
        std::this_thread::yield();
    }
    return flags_word.load(std::memory_order_relaxed) != 0;
}

void engine_message(log_level level, const char* function, const char* format, ...) noexcept {
    if (!ready()) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_narrow(level, tag_parts{engine_tag, function, "() - "}, format, args);
    va_end(args);
}

void engine_wmessage(log_level level, const char* function, const wchar_t* format, ...) noexcept {
    if (!ready()) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_wide(level, tag_parts{engine_tag, function, "() - "}, format, args);
    va_end(args);
}

void install(host& system, const trace_settings& settings) noexcept {
    state.outputs.reset();
    state.current.store(&system, std::memory_order_release);
    state.settings_state.store(settings_reading);
    publish(system, settings);
}

void uninstall() noexcept {
    if (state.settings_state.load(std::memory_order_acquire) == settings_ready) {
        state.outputs.file.close(current_host(), state.outputs_settings);
    }
    flags_word.store(flags_not_read);
    state.settings_state.store(settings_unread);
    state.current.store(nullptr, std::memory_order_release);
    state.outputs.reset();
}

}  // namespace detail

void message(log_level level, const char* tag, const char* format, ...) noexcept {
    if (!ready()) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_narrow(level, detail::tag_parts{tag}, format, args);
    va_end(args);
}

void wmessage(log_level level, const char* tag, const wchar_t* format, ...) noexcept {
    if (!ready()) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_wide(level, detail::tag_parts{tag}, format, args);
    va_end(args);
}

void trace_scope::begin(detail::tag_parts enter, detail::tag_parts leave) noexcept {
    if (state.settings_state.load(std::memory_order_acquire) != settings_ready) {
        return;
    }
    active_ = true;
    leave_ = leave;
    start_ = current_host().performance_counter();
    write_narrow(level_, detail::tag_parts{}, "%s%s%s%s", enter.first, enter.second, enter.third,
                 "");
}

void trace_scope::end() noexcept {
    if (!ready()) {
        return;
    }
    const std::int64_t now = current_host().performance_counter();
    const float seconds = static_cast<float>(now - start_) / static_cast<float>(state.frequency);
    write_narrow(level_, leave_, "%s\n[> %.6f <]", extra_ != nullptr ? extra_ : "",
                 static_cast<double>(seconds));
}

}  // namespace logging::dbg_trace
