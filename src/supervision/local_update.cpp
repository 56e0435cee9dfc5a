#include "supervision/local_update.h"

#include <utility>

#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "supervision/agent_service.h"
#include "supervision/repair_actions.h"
#include "supervision/repair_run.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/process_context.h"
#include "winapi/processes.h"
#include "winapi/win_error_category.h"

namespace supervision {
namespace {

using logging::level_error;
using logging::level_info;
using logging::level_warning;
using storage::wardex_storage;

constexpr wchar_t update_json_name[] = L".\\update.json";
constexpr wchar_t update_ready_word[] = L"update_ready";

std::uint32_t number(const stdext::error& error) {
    return static_cast<std::uint32_t>(error.code.value());
}

std::uint64_t now() {
    return winapi::facility<winapi::clock>::get().unix_time();
}

// The product folder, the parent of the current directory; a failure is logged under function.
std::optional<std::wstring> product_folder(const wchar_t* function) {
    const auto program = winapi::facility<winapi::file_system>::get().current_directory();
    if (!program) {
        logging::logger_stream(level_warning, function)
            << L"filesystem::current_path err=" << number(program.error());
        return std::nullopt;
    }
    return stdext::path::parent(*program);
}

storage::local_update_data fresh_attempts(const storage::update_record& record) {
    return {0, 0, record.version};
}

// The attempt record to go on with for record, or nothing when the attempt is held back: the
// same version has failed three times, the last time less than three hours ago.
std::optional<storage::local_update_data> attempts_for(const storage::update_record& record) {
    auto read = wardex_storage::read_local_update_data();
    if (!read) {
        logging::log_failure(level_info, L"try_local_update", L"read_local_update_data",
                             read.error());
        return fresh_attempts(record);
    }
    if (read->version != record.version) {
        return fresh_attempts(record);
    }
    if (read->count >= local_update_attempts) {
        // Signed: a last attempt ahead of the clock (the clock was set back) starts a new series.
        const std::int64_t elapsed =
            static_cast<std::int64_t>(now()) - static_cast<std::int64_t>(read->time);
        if (elapsed >= 0 && elapsed < local_update_window) {
            return std::nullopt;
        }
        return fresh_attempts(record);
    }
    return std::move(*read);
}

void write_attempts(const storage::local_update_data& attempts) {
    if (const auto written = wardex_storage::write_local_update_data(attempts); !written) {
        logging::log_failure(level_warning, L"try_local_update", L"storage::wardex_storage::write",
                             written.error());
    }
}

}  // namespace

std::optional<storage::update_record> need_local_update() {
    constexpr const wchar_t* function = L"need_local_update";
    const auto product = product_folder(function);
    if (!product) {
        return std::nullopt;
    }
    const auto version = storage::version_json_storage::read(*product);
    if (!version) {
        logging::log_failure(level_warning, function, L"version_json_storage::read",
                             version.error());
    }
    auto update = storage::update_json_storage::read(*product);
    if (!update) {
        // The normal case: nothing is staged.
        logging::log_failure(level_info, function, L"update_json_storage::read", update.error());
        return std::nullopt;
    }
    if (version && version->version == update->version && version->path == update->path) {
        return std::nullopt;
    }
    return std::move(*update);
}

bool run_update(const storage::update_record& record) {
    constexpr const wchar_t* function = L"run_update";
    const logging::function_scope_trace trace(function);
    const auto product = product_folder(function);
    if (!product) {
        return false;
    }
    const std::wstring folder =
        winapi::facility<winapi::process_context>::get().ansi_to_wide(record.path);
    const std::wstring executable =
        stdext::path::join(stdext::path::join(*product, folder), agent_executable_name);
    const std::wstring command_line = L"\"" + executable + L"\" " + std::wstring(update_ready_word);

    const auto process = create_process(command_line, 0);
    if (!process) {
        logging::logger_stream(level_error, function)
            << L"create process [" << command_line << L"] err=" << number(process.error()) << L' '
            << stdext::utf8_to_wide(process.error().code.message());
        return false;
    }
    auto& processes = winapi::facility<winapi::processes>::get();
    const auto waited = processes.wait(process->get(), winapi::infinite);
    if (!waited) {
        logging::logger_stream(level_error, function)
            << L"wait for CorvelService.exe update_ready err=" << number(waited.error());
        return false;
    }
    if (*waited != winapi::wait_object_0) {
        logging::logger_stream(level_error, function)
            << L"wait for CorvelService.exe update_ready result=" << *waited;
        return false;
    }
    const auto code = processes.exit_code(process->get());
    if (!code) {
        logging::logger_stream(level_error, function)
            << L"GetExitCodeProcess err=" << number(code.error());
        return false;
    }
    if (*code != 0) {
        logging::logger_stream(level_error, function)
            << L"run CorvelService.exe update_ready result=" << *code;
        return false;
    }
    return true;
}

void delete_update_json() {
    constexpr const wchar_t* function = L"delete_update_json";
    const auto product = product_folder(function);
    if (!product) {
        return;
    }
    const std::wstring path = stdext::path::join(*product, update_json_name);
    const auto removed = winapi::facility<winapi::file_system>::get().remove(path);
    if (removed) {
        return;
    }
    // A missing file is nothing removed without an error.
    const std::uint32_t code = number(removed.error());
    logging::logger_stream(level_warning, function) << L"failed remove " << path;
    if (code != winapi::error_file_not_found && code != winapi::error_path_not_found) {
        logging::logger_stream(level_warning, function) << L"remove " << path << L" err=" << code;
    }
}

std::wstring local_update_run_record(const storage::update_record& record) {
    return L"{\"reason\": \"found update.json\", \"update.json\": {\"path\": \"" +
           stdext::utf8_to_wide(record.path) + L"\", \"version\": \"" +
           stdext::utf8_to_wide(record.version) + L"\"}}";
}

bool try_local_update(const telemetry::repair_event_sources& sources) {
    constexpr const wchar_t* function = L"try_local_update";
    const logging::function_scope_trace trace(function);
    if (agent_kit::is_updating()) {
        logging::logger_stream(level_info, function) << L"agent_kit::is_updating";
        return false;
    }
    const auto record = need_local_update();
    if (!record) {
        return false;
    }
    auto attempts = attempts_for(*record);
    if (!attempts) {
        return false;  // held back until three hours after the last failed attempt
    }
    report_agent_repair(local_update_run_record(*record), L"local_update", sources);

    if (run_update(*record)) {
        logging::logger_stream(level_info, function) << L"update success";
        write_attempts({});
        delete_update_json();
        return true;
    }
    // The update record stays: the next run tries again, within the pacing.
    ++attempts->count;
    attempts->time = now();
    write_attempts(*attempts);
    return false;
}

}  // namespace supervision
