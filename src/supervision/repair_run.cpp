#include "supervision/repair_run.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "logging/log.h"
#include "logging/prefixed_ostream.h"
#include "platform/process_utils.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "supervision/diagnostics.h"
#include "supervision/repair_actions.h"
#include "supervision/storage/storage.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/folders.h"

namespace supervision {
namespace {

using storage::wardex_storage;

constexpr const wchar_t* run_name = L"repair";
// The least size of a checksum companion, and the longest checksum line read from it.
constexpr std::size_t companion_least_size = 32;
constexpr std::size_t checksum_line_max = 63;

const wchar_t* text(bool value) {
    return value ? L"true" : L"false";
}

const wchar_t* text(const std::optional<bool>& value) {
    return value ? text(*value) : L"null";
}

std::uint64_t now() {
    return winapi::facility<winapi::clock>::get().unix_time();
}

logging::logger_stream progress(const wchar_t* function = run_name) {
    return logging::logger_stream(logging::level_info, function);
}

// A stored record that cannot be read counts as its default, after a line saying why.
template <class T>
T read_or_default(stdext::expected<T> read, const wchar_t* function, std::wstring_view name) {
    if (!read) {
        logging::log_failure(logging::level_info, function, name, read.error());
        return T{};
    }
    return std::move(*read);
}

// A failed write is logged; the run goes on as if it had been kept.
void write_or_log(const stdext::expected<void>& written, logging::log_level level,
                  const wchar_t* function, std::wstring_view name) {
    if (!written) {
        logging::log_failure(level, function, name, written.error());
    }
}

void clear_start_service_data() {
    write_or_log(wardex_storage::write_start_service_data({}), logging::level_warning, run_name,
                 L"write start_service data");
}

// The links and the UI executable, both tried whatever the other gave.
std::pair<bool, bool> restore_links_and_ui() {
    symlinks links;
    const bool links_restored = links.restore();
    const bool ui_restored = restore_corvelui();
    return {links_restored, ui_restored};
}

// Starts the discovery component when it does not run; the start is tried even when its install
// command failed.
void check_discovery_component() {
    if (!is_upnp_srv_started()) {
        progress() << L"upnp srv not started => start it";
        (void)install_upnp_component();  // logged by the command; the start decides
        (void)start_upnp_srv();          // logged when it fails; the next run tries again
    }
}

// The record of the run; a stopped service's record has the diagnostics too.
std::wstring run_record(const check_results& results) {
    if (results.service_running) {
        return compose_run_record(results, stdext::unexpected(stdext::error{}), {}, {});
    }
    return compose_run_record(results, read_agent_reg_values(), read_service_stages(),
                              get_service_win_events_log());
}

// The start attempt of a stopped service with intact settings; true when the service runs again
// and the small fixes took, which ends the run.
bool start_service(const std::wstring& record, const telemetry::repair_event_sources& sources) {
    auto start = read_or_default(wardex_storage::read_start_service_data(), run_name,
                                 L"read start_service_data");
    if (start.count >= starts_before_repair) {
        return false;
    }
    const agent_service service;  // raises when the manager cannot be opened
    if (const auto started = service.start_agent_service(); !started) {
        logging::logger_stream(logging::level_error, run_name)
            << L"start service: " << stdext::utf8_to_wide(started.error().text);
        return false;
    }
    ++start.count;
    start.time = now();
    write_or_log(wardex_storage::write_start_service_data(start), logging::level_warning, run_name,
                 L"write start_service data");
    progress() << L"success start service";

    const auto [links_restored, ui_restored] = restore_links_and_ui();
    if (!links_restored || !ui_restored) {
        return false;
    }
    check_discovery_component();
    report_agent_repair(record, action_start_service, sources);
    return true;
}

// Reinstalls the agent through its installer in the user's session, without waiting for it.
void reinstall(storage::repair_data repair, const std::wstring& record, std::wostream& repair_log,
               const telemetry::repair_event_sources& sources) {
    repair_log << L"TRY REPAIR" << L'\n';
    progress() << L"MUST REPAIR";
    ++repair.count;
    repair.time = now();
    write_or_log(wardex_storage::write_repair_data(repair), logging::level_warning, run_name,
                 L"write repair data");
    clear_start_service_data();
    report_agent_repair(record, action_repair, sources);

    const std::wstring installer = std::wstring(stdext::path::without_trailing_separator(
                                       winapi::this_process::get_foldername().value())) +
                                   L"\\installer\\installer.exe";
    progress(L"agent_kit::agent_kit") << L"repair path : " << installer;
    const std::uint32_t session = platform::get_target_session();
    progress(L"agent_kit::reinstall") << L"session = " << session;
    if (const std::uint32_t failed =
            platform::ExecuteProcessInSession(installer, session, L"/source:wardex_repair");
        failed != 0) {
        logging::logger_stream(logging::level_warning, L"agent_kit::reinstall")
            << L"ExecuteProcessInSession err = " << failed;
        throw std::runtime_error("ExecuteProcessInSession failed");
    }
    // Without a marker path the empty path fails, and that is logged like any other failure.
    if (const std::uint32_t failed = SetIsRepaired(repaired_marker_path().value_or(L""));
        failed != 0) {
        logging::logger_stream(logging::level_warning, run_name)
            << L"SetIsRepaired failed err = " << failed;
    }
}

}  // namespace

bool is_service_running() {
    try {
        const agent_service service;
        return service.is_running();
    } catch (const std::exception& e) {
        logging::logger_stream(logging::level_warning, L"is_service_running") << e.what();
        return false;
    }
}

bool has_valid_checksum(const std::wstring& file) {
    const auto companion = winapi::facility<winapi::file_system>::get().read_file(file + L".md5");
    if (!companion || companion->size() < companion_least_size) {
        return false;
    }
    // The companion is text: a line written with CR LF reads as one ending in LF, as a text-mode
    // read gives it.
    std::string text;
    text.reserve(companion->size());
    for (std::size_t i = 0; i < companion->size(); ++i) {
        const char c = (*companion)[i];
        if (c != '\r' || i + 1 == companion->size() || (*companion)[i + 1] != '\n') {
            text += c;
        }
    }
    std::istringstream in(text);
    std::string line(checksum_line_max + 1, '\0');
    in.getline(line.data(), static_cast<std::streamsize>(line.size()));
    line.resize(line.find('\0'));
    if (line.empty()) {
        return false;
    }
    const auto digest = get_file_md5(file);
    return digest && stdext::iequals(line, *digest);
}

std::wstring escape_reg_text(const std::wstring& text) {
    std::wstring doubled;
    for (const wchar_t c : text) {
        doubled += c;
        if (c == L'\\') {
            doubled += c;
        }
    }
    std::wstring escaped;
    for (const wchar_t c : doubled) {
        if (c == L'"') {
            escaped += L'\\';
        }
        escaped += c;
    }
    return escaped;
}

std::wstring compose_run_record(const check_results& results,
                                const stdext::expected<service_reg_values>& reg_values,
                                const std::wstring& service_stages,
                                const std::wstring& win_events_log) {
    std::wostringstream out;
    out << L"{\"has_valid_settings\": " << text(results.valid_settings)
        << L", \"is_service_running\": " << text(results.service_running)
        << L", \"symlinks_restore_result\": " << text(results.symlinks)
        << L", \"restore_agentui_result\": " << text(results.agent_ui);
    if (!results.service_running) {
        out << L", \"service_reg_values\": ";
        if (reg_values) {
            out << L"{\"image_path\": \"" << escape_reg_text(reg_values->image_path)
                << L"\", \"start\": \"" << escape_reg_text(reg_values->start) << L"\", \"type\": \""
                << escape_reg_text(reg_values->type) << L"\"}";
        } else {
            out << L'"' << stdext::utf8_to_wide(reg_values.error().text) << L'"';
        }
        out << L", \"service_stages\": \"" << service_stages << L"\", \"win_events_log\": "
            << win_events_log;
    }
    out << L'}';
    return out.str();
}

void report_agent_repair(const std::wstring& record, const std::wstring& action,
                         const telemetry::repair_event_sources& sources) {
    constexpr const wchar_t* name = L"report_agent_repair";
    logging::function_scope_trace trace(name);
    const std::uint64_t last =
        read_or_default(wardex_storage::read_tolvar_report_data(), name, L"read_tolvar_report_data")
            .last_report_time;
    const std::uint64_t current = now();
    // A last report time ahead of the clock does not hold reports back.
    const std::uint64_t elapsed = current >= last ? current - last : report_elapsed_when_ahead;
    progress(name) << L"now=" << current << L" last_report_time=" << last << L" elapsed_time="
                   << elapsed << L" sec";
    if (elapsed < report_interval) {
        progress(name) << L"don't send tolvar event, too soon";
        return;
    }
    const auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        logging::logger_stream(logging::level_error, name)
            << L"winapi::this_process::get_foldername err="
            << static_cast<std::uint32_t>(folder.error().code.value());
        return;
    }
    {
        telemetry::m_agent_repaired report(*folder, sources);
        if (!report.submit(record, action)) {
            return;  // the time is kept, so the next run may report
        }
    }
    write_or_log(wardex_storage::write_tolvar_report_data({now()}), logging::level_error, name,
                 L"storage::wardex_storage::write");
}

void check_and_repair(const remote_update& update, const telemetry::repair_event_sources& sources) {
    logging::function_scope_trace trace(run_name);
    if (agent_kit::is_updating()) {
        progress() << L"is updating";
        return;
    }
    progress() << L"not updating";

    check_results results;
    results.valid_settings =
        std::all_of(std::begin(settings_files), std::end(settings_files), has_valid_checksum);
    results.service_running = is_service_running();
    if (results.service_running && results.valid_settings) {
        progress() << L"is running & valid settings, check symlinks";
        std::tie(results.symlinks, results.agent_ui) = restore_links_and_ui();
        if (*results.symlinks && *results.agent_ui) {
            check_discovery_component();
            return;
        }
    }
    progress() << L"running=" << text(results.service_running) << L" valid settings="
               << text(results.valid_settings);

    const std::unique_ptr<std::wostream> file = get_log_file();
    logging::prefixed_wostream repair_log(*file);
    repair_log << L"service is running: " << text(results.service_running) << std::endl;
    repair_log << L"has valid settings: " << text(results.valid_settings) << std::endl;
    log_installed_files(repair_log);

    auto repair =
        read_or_default(wardex_storage::read_repair_data(), run_name, L"read_repair_data");
    const std::wstring record = run_record(results);

    if (repair.count >= repairs_before_update) {
        // Unsigned: a repair time ahead of the clock gives a huge value, so no update.
        const std::uint64_t elapsed = now() - repair.time;
        if (elapsed < remote_update_window) {
            progress() << L"TRY UPDATE";
            repair_log << L"TRY UPDATE" << std::endl;
            if (update && update()) {
                report_agent_repair(record, action_json_update, sources);
                repair_log << L"UPDATE SUCCESS" << std::endl;
                write_or_log(wardex_storage::write_repair_data({}), logging::level_warning,
                             run_name, L"write repair data");
                clear_start_service_data();
                return;
            }
            repair_log << L"UPDATE FAILED" << std::endl;
            logging::logger_stream(logging::level_warning, run_name) << L"UPDATE FAILED";
        } else {
            repair = {};  // kept in memory only; the reinstall below writes it
        }
    }

    if (!results.service_running && results.valid_settings && start_service(record, sources)) {
        return;
    }
    reinstall(repair, record, repair_log, sources);
}

}  // namespace supervision
