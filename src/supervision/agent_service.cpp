#include "supervision/agent_service.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "logging/log.h"
#include "platform/process_utils.h"
#include "stdext/path.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/registry.h"
#include "winapi/win_error_category.h"

namespace supervision {
namespace {

winapi::service_manager& scm() {
    return winapi::facility<winapi::service_manager>::get();
}

std::string signed_text(std::uint32_t number) {
    return std::to_string(static_cast<std::int32_t>(number));
}

// The error record of a failure: the Windows error number and the text the start reports.
stdext::unexpected<stdext::error> failure(std::uint32_t code, std::string text) {
    return stdext::unexpected(winapi::win_failure(code, std::move(text)));
}
stdext::unexpected<stdext::error> failure(const std::error_code& code, std::string text) {
    return stdext::unexpected(stdext::error{code, std::move(text)});
}

// The service's status; a failure is reported as "service::query_status err=" and the number.
stdext::expected<winapi::service_status> query_status(winapi::sc_handle service) {
    auto status = scm().query_status(service);
    if (!status) {
        const auto& code = status.error().code;
        return failure(code, "service::query_status err=" +
                                 signed_text(static_cast<std::uint32_t>(code.value())));
    }
    return status;
}

void append_part(std::string& text, const std::string& part) {
    if (!text.empty()) {
        text += "; ";
    }
    text += part;
}

// The supervisor's folder, ending with "\".
std::wstring supervisor_folder() {
    return stdext::value_or_raise(winapi::this_process::get_foldername(),
                                  "this_process::get_foldername failed");
}

// Terminates every process of the agent executable that runs from the supervisor's folder.
void terminate_agent_processes() {
    const agent_image image{stdext::path::join(supervisor_folder(), agent_executable_name)};
    platform::for_each_process([&](const winapi::process_entry& entry) {
        if (entry == image) {
            // A process that cannot be opened or ended is left for the next pass, which comes
            // while the stop stays pending.
            (void)winapi::facility<winapi::processes>::get().terminate(entry.process_id);
        }
    });
}

// Waits while a stop is pending; once the wait has lasted longer than timeout_ms, every further
// status that is not yet stopped terminates the agent's processes again. The first status that
// is no longer stop pending, or the failure to read one.
stdext::expected<winapi::service_status> wait_for_stop(winapi::sc_handle service,
                                                       const winapi::service_status& current,
                                                       std::uint32_t timeout_ms) {
    auto& clock = winapi::facility<winapi::clock>::get();
    stdext::expected<winapi::service_status> status = current;
    const std::uint64_t begin = clock.monotonic_ms();
    while (status && status->current_state == winapi::service_stop_pending) {
        clock.sleep_ms(service::pending_pause(status->wait_hint));
        status = query_status(service);
        if (status && status->current_state != winapi::service_stopped &&
            clock.monotonic_ms() - begin > timeout_ms) {
            try {
                terminate_agent_processes();
            } catch (const std::exception& e) {
                logging::logger_stream(logging::level_warning, L"start_service")
                    << L"timeout wait service to stop => kill him err=" << e.what();
            }
        }
    }
    return status;
}

// Asks for the start and waits while it is pending.
status_result start_and_wait(winapi::sc_handle service, std::uint32_t timeout_ms) {
    auto& clock = winapi::facility<winapi::clock>::get();
    if (const auto started = scm().start(service); !started) {
        const auto& code = started.error().code;
        return failure(
            code, "start service err=" + std::to_string(static_cast<std::uint32_t>(code.value())));
    }
    auto status = query_status(service);
    const std::uint64_t begin = clock.monotonic_ms();
    while (status && status->current_state == winapi::service_start_pending) {
        clock.sleep_ms(service::pending_pause(status->wait_hint));
        status = query_status(service);
        if (status && status->current_state != winapi::service_running &&
            clock.monotonic_ms() - begin > timeout_ms) {
            return failure(winapi::wait_timeout, "timeout wait for service to start");
        }
    }
    return status.and_then([](const winapi::service_status& last) -> status_result {
        if (last.current_state == winapi::service_running) {
            return {};
        }
        return failure(winapi::error_gen_failure, "service not started");
    });
}

}  // namespace

agent_service::agent_service() {
    manager_ = stdext::value_or_raise(scm().open_manager());
}

bool agent_service::is_running() const noexcept {
    try {
        const auto status = service::open(manager_.get(), winapi::service_query_status)
                                .and_then([](const winapi::unique_sc_handle& service) {
                                    return scm().query_status(service.get());
                                });
        if (status) {
            return status->current_state != winapi::service_stopped;
        }
        logging::logger_stream(logging::level_info, L"agent_service::is_running")
            << stdext::failure_text(status.error()).c_str();
    } catch (...) {
        // Nothing is left to report the failure with.
    }
    return false;
}

status_result agent_service::start_agent_service() const {
    const auto install = run_agent_command(L"install");
    const auto enable = run_agent_command(L"enable");

    std::string text;
    if (!install) {
        text = "install service error:" + install.error().text;
    }
    if (!enable) {
        append_part(text, "enable service error:" + enable.error().text);
    }
    auto service = service::open(manager_.get(), winapi::service_all_access);
    if (!service) {
        const auto& code = service.error().code;
        append_part(text,
                    "service::open err=" + signed_text(static_cast<std::uint32_t>(code.value())));
        return failure(code, text);
    }
    auto started = service::start_service(service->get(), agent_timeout_ms);
    if (!started) {
        append_part(text, started.error().text);
        return failure(started.error().code, text);
    }
    return {};
}

namespace service {

stdext::expected<winapi::unique_sc_handle> open(winapi::sc_handle manager, std::uint32_t access) {
    return scm().open_service(manager, agent_service_name, access);
}

std::uint32_t pending_pause(std::uint32_t wait_hint) {
    return std::clamp<std::uint32_t>(wait_hint / 10, 1000, 10000);
}

status_result start_service(winapi::sc_handle service, std::uint32_t timeout_ms) {
    return query_status(service).and_then([&](const winapi::service_status& status) {
        // Running, starting or paused: nothing to do.
        if (status.current_state != winapi::service_stopped &&
            status.current_state != winapi::service_stop_pending) {
            return status_result();
        }
        return wait_for_stop(service, status, timeout_ms)
            .and_then(
                [&](const winapi::service_status&) { return start_and_wait(service, timeout_ms); });
    });
}

}  // namespace service

status_result run_agent_command(const std::wstring& word) {
    const auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        return failure(folder.error().code, "this_process::get_foldername err=" +
                                                std::to_string(folder.error().code.value()));
    }
    const std::wstring executable =
        stdext::path::join(stdext::path::parent(*folder), agent_executable_name);
    const std::wstring command_line = L"\"" + executable + L"\" " + word;

    const auto process = create_process(command_line, 0);
    if (!process) {
        const auto& code = process.error().code;
        return failure(code, "create process [" + stdext::wide_to_utf8(command_line) + "] err=" +
                                 std::to_string(static_cast<std::uint32_t>(code.value())) + " " +
                                 code.message());
    }
    const std::uint32_t result = wait_process(process->get(), agent_timeout_ms);
    if (result != winapi::wait_object_0) {
        return failure(result, "wait for process result=" + signed_text(result));
    }
    return {};
}

stdext::expected<service_reg_values> read_agent_reg_values() {
    auto& reg = winapi::facility<winapi::registry>::get();
    const auto key = reg.open_key(winapi::hkey_local_machine, agent_service_key, winapi::key_read);
    if (!key) {
        const auto code = static_cast<std::uint32_t>(key.error().code.value());
        return failure(code, "open regkey err=" + signed_text(code));
    }
    auto value_error = [](const stdext::error& error) {
        const auto code = static_cast<std::uint32_t>(error.code.value());
        return failure(code, "get value err=" + signed_text(code));
    };

    service_reg_values values;
    auto image_path = reg.get_string(key->get(), L"", L"ImagePath");
    if (!image_path) {
        return value_error(image_path.error());
    }
    values.image_path = std::move(*image_path);
    const auto start = reg.get_dword(key->get(), L"", L"Start");
    if (!start) {
        return value_error(start.error());
    }
    values.start = std::to_wstring(*start);
    const auto type = reg.get_dword(key->get(), L"", L"Type");
    if (!type) {
        return value_error(type.error());
    }
    values.type = std::to_wstring(*type);
    return values;
}

stdext::expected<winapi::unique_sys_handle> create_process(const std::wstring& command_line,
                                                           std::uint32_t flags) {
    return winapi::facility<winapi::processes>::get().start(command_line, flags);
}

std::uint32_t wait_process(winapi::sys_handle process, std::uint32_t timeout_ms) {
    return stdext::value_or_raise(
        winapi::facility<winapi::processes>::get().wait(process, timeout_ms));
}

bool operator==(const winapi::process_entry& entry, const agent_image& image) {
    if (!stdext::iequals(entry.exe_file, agent_executable_name, stdext::case_rule::latin1)) {
        return false;
    }
    const auto path = winapi::facility<winapi::processes>::get().image_path(
        entry.process_id, winapi::process_query_information);
    if (!path) {
        logging::logger_stream(logging::level_error, L"operator ==")
            << L"failed get_module_file_name for pid=" << entry.process_id << L" error:"
            << stdext::failure_text(path.error()).c_str();
        return false;
    }
    return stdext::iequals(*path, image.path, stdext::case_rule::latin1);
}

}  // namespace supervision
