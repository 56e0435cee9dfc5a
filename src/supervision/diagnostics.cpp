#include "supervision/diagnostics.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <variant>

#include "logging/log.h"
#include "logging/prefixed_ostream.h"
#include "platform/config/product_settings.h"
#include "stdext/final_path.h"
#include "stdext/path.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "supervision/storage/storage.h"
#include "winapi/clock.h"
#include "winapi/diagnostics.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/registry.h"
#include "winapi/version.h"

namespace supervision {
namespace {

constexpr std::int64_t max_event_window_hours = 720;
constexpr wchar_t default_product_key[] = L"SOFTWARE\\Valdrin Agent";

// "<name> err=<code> <the system's text for the code>".
void log_code(logging::log_level level, const wchar_t* function, const std::wstring& name,
              const std::error_code& code) {
    logging::logger_stream(level, function)
        << name << L" err=" << static_cast<std::uint32_t>(code.value()) << L' '
        << stdext::utf8_to_wide(code.message());
}

std::unique_ptr<std::wostream> closed_stream() {
    return std::make_unique<std::wostream>(nullptr);  // no buffer: failed, drops every write
}

std::wstring repair_log_folder() {
    auto common = winapi::facility<winapi::diagnostics>::get().common_app_data_folder();
    if (!common) {
        return fallback_log_folder;
    }
    return stdext::path::ending_in_backslash(*common) + L"VDLogging\\Wardex\\repair\\";
}

void write_value(std::wostream& out, const std::variant<std::wstring, std::int64_t>& value) {
    if (const auto* text = std::get_if<std::wstring>(&value)) {
        out << L'"' << *text << L'"';
    } else {
        out << std::get<std::int64_t>(value);
    }
}

void write_event(std::wostream& out, const eventlog::system_win_event_data& event) {
    out << L"{\"id\": " << event.id << L", \"time\": " << event.time;
    const std::pair<const wchar_t*, const eventlog::event_value*> params[] = {
        {L"param2", &event.param2}, {L"param3", &event.param3}, {L"param4", &event.param4}};
    for (const auto& [name, value] : params) {
        if (*value) {
            out << L", \"" << name << L"\": ";
            write_value(out, **value);
        }
    }
    out << L'}';
}

void write_event(std::wostream& out, const eventlog::app_win_event_data& event) {
    out << L"{\"id\": " << event.id << L", \"time\": " << event.time << L", \"data\": [";
    for (std::size_t i = 0; i < event.data.size(); ++i) {
        out << (i == 0 ? L"\"" : L", \"") << event.data[i] << L'"';
    }
    out << L"]}";
}

}  // namespace

std::unique_ptr<std::wostream> get_log_file() {
    const std::wstring folder = repair_log_folder();
    const auto created = winapi::facility<winapi::file_system>::get().create_folder_tree(folder);
    if (!created) {
        log_code(logging::level_error, L"get_log_file", L"create_directory failed",
                 created.error().code);
        return closed_stream();
    }
    std::wstring name = logging::now_string();
    std::replace(name.begin(), name.end(), L':', L'.');
    // Whoever may create the folder could have made it a junction to another place; this
    // program must not write there with its rights.
    const std::wstring path = folder + name + L".log";
    auto file = winapi::facility<winapi::diagnostics>::get().open_log_file(
        path, [&path](const std::wstring& final_path) {
            return stdext::path::is_final_path_of(final_path, path);
        });
    if (!file || !*file) {
        return closed_stream();
    }
    return std::move(*file);
}

void log_installed_files(std::wostream& out) {
    out << L"START enum files" << std::endl;
    auto& files = winapi::facility<winapi::diagnostics>::get();
    const auto folder =
        stdext::value_or_raise(winapi::facility<winapi::file_system>::get().current_directory(),
                               stdext::raised::file_system);
    const auto walked = files.walk_files(folder, [&](const std::wstring& path) {
        out << L'\t' << path;
        const auto info = winapi::version::get_file_info(path);
        if (!info) {
            log_code(logging::level_error, L"log_installed_files",
                     L"winapi::version::get_file_info for " + path, info.error().code);
        } else if (const auto version = winapi::version::get_fixed_file_version(*info)) {
            out << L" version=" << winapi::version::to_wstring(*version);
        }
        if (const auto size = files.file_size(path)) {
            out << L" size=" << *size;
        }
        if (const auto md5 = get_file_md5(path)) {
            out << L" md5=" << stdext::utf8_to_wide(*md5);
        }
        out << std::endl;
    });
    stdext::value_or_raise(walked, stdext::raised::file_system);
    out << L"END enum files" << std::endl;
}

stdext::expected<std::string> get_file_md5(const std::wstring& path) {
    return winapi::facility<winapi::diagnostics>::get().file_md5(path).transform(
        [](const auto& digest) {
            static constexpr char hex[] = "0123456789abcdef";
            std::string text;
            text.reserve(digest.size() * 2);
            for (const std::uint8_t byte : digest) {
                text += hex[byte >> 4];
                text += hex[byte & 0x0F];
            }
            return text;
        });
}

std::wstring read_service_stages() {
    namespace config = platform::config;
    const std::wstring* configured = config::get_wide_setting(config::setting::regpath_product);
    const std::wstring key =
        configured != nullptr && !configured->empty() ? *configured : default_product_key;
    auto stages = winapi::facility<winapi::registry>::get().get_string(winapi::hkey_local_machine,
                                                                       key, L"ServiceStages");
    return stages ? std::move(*stages) : std::wstring();
}

std::int64_t event_window_ms(std::uint64_t now, std::uint64_t last_report_time) {
    constexpr std::int64_t max_seconds = max_event_window_hours * 3600;
    // Both are seconds since 1970, far below the signed range.
    const std::int64_t elapsed =
        static_cast<std::int64_t>(now) - static_cast<std::int64_t>(last_report_time);
    return elapsed >= 0 && elapsed < max_seconds ? elapsed * 1000 : max_seconds * 1000;
}

std::wstring get_service_win_events_log() {
    constexpr const wchar_t* function = L"get_service_win_events_log";
    std::uint64_t last_report_time = 0;
    if (const auto report = storage::wardex_storage::read_tolvar_report_data()) {
        last_report_time = report->last_report_time;
    } else {
        logging::log_failure(logging::level_info, function, L"read_tolvar_report_data",
                             report.error());
    }
    const std::int64_t window =
        event_window_ms(winapi::facility<winapi::clock>::get().unix_time(), last_report_time);
    logging::logger_stream(logging::level_info, function)
        << L"max logs elapsed time: " << window << L"ms";

    const auto events = eventlog::get_corvelservice_win_events(window);
    if (!events) {
        logging::log_failure(logging::level_error, function, L"get_corvelservice_win_events",
                             events.error());
        return L"[]";
    }
    return win_events_json(*events);
}

std::wstring win_events_json(const std::vector<eventlog::win_event>& events) {
    std::wostringstream out;
    out << L'[';
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i != 0) {
            out << L", ";
        }
        std::visit([&](const auto& event) { write_event(out, event); }, events[i]);
    }
    out << L']';
    return out.str();
}

}  // namespace supervision
