#include "supervision/agent_service.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "logging/log.h"
#include "platform/process_utils.h"
#include "stdext/expected.h"
#include "stdext/utf.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/registry.h"
#include "winapi/win_error_category.h"

namespace supervision {
namespace {

constexpr std::uint32_t module_path_chars = 32767;

std::wstring signed_text(std::uint32_t number) {
    return std::to_wstring(static_cast<std::int32_t>(number));
}

std::wstring query_error(std::uint32_t error) {
    return L"service::query_status err=" + signed_text(error);
}

void append_part(std::wstring& text, const std::wstring& part) {
    if (!text.empty()) {
        text += L"; ";
    }
    text += part;
}

// The supervisor's folder, ending with "\".
std::wstring supervisor_folder() {
    auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        throw std::system_error(folder.error(), "this_process::get_foldername failed");
    }
    return *folder;
}

// Terminates every process of the agent executable that runs from the supervisor's folder.
void terminate_agent_processes() {
    auto& procs = winapi::facility<winapi::processes>::get();
    const agent_image image{supervisor_folder() + agent_executable_name};
    for (const auto& entry : platform::process_snapshot()) {
        if (!(entry == image)) {
            continue;
        }
        winapi::sys_handle raw = winapi::sys_handle::null;
        if (procs.open_process(winapi::process_terminate, entry.process_id, raw) != 0) {
            continue;
        }
        winapi::unique_sys_handle process(raw);
        procs.terminate(process.get(), 0);
    }
}

}  // namespace

agent_service::agent_service() {
    winapi::sc_handle raw = 0;
    const std::uint32_t error = winapi::facility<winapi::service_manager>::get().open_manager(
        winapi::sc_manager_all_access, raw);
    if (error != 0 || raw == 0) {
        winapi::throw_win_error(error, "OpenSCManager failed");
    }
    manager_.reset(raw);
}

bool agent_service::is_running() const noexcept {
    try {
        auto service = service::open(manager_.get(), winapi::service_query_status);
        if (!service) {
            winapi::throw_win_error(service.error(), "OpenService failed");
        }
        auto status = service::query_status(service->get());
        if (!status) {
            winapi::throw_win_error(status.error(), "QueryServiceStatus failed");
        }
        return status->current_state != winapi::service_stopped;
    } catch (const std::exception& e) {
        try {
            logging::logger_stream(logging::level_info, L"agent_service::is_running") << e.what();
        } catch (...) {
        }
        return false;
    }
}

status_result agent_service::start_agent_service() const {
    const auto install = run_agent_command(L"install");
    const auto enable = run_agent_command(L"enable");

    std::wstring text;
    if (!install) {
        text = L"install service error:" + install.error();
    }
    if (!enable) {
        append_part(text, L"enable service error:" + enable.error());
    }
    auto service = service::open(manager_.get(), winapi::service_all_access);
    if (!service) {
        append_part(text, L"service::open err=" + signed_text(service.error()));
        return stdext::unexpected(text);
    }
    auto started = service::start_service(service->get(), agent_timeout_ms);
    if (!started) {
        append_part(text, started.error());
        return stdext::unexpected(text);
    }
    return {};
}

namespace service {

stdext::expected<winapi::unique_sc_handle, std::uint32_t> open(winapi::sc_handle manager,
                                                               std::uint32_t access) {
    winapi::sc_handle raw = 0;
    const std::uint32_t error = winapi::facility<winapi::service_manager>::get().open_service(
        manager, agent_service_name, access, raw);
    if (error != 0) {
        return stdext::unexpected(error);
    }
    return winapi::unique_sc_handle(raw);
}

stdext::expected<winapi::service_status, std::uint32_t> query_status(winapi::sc_handle service) {
    winapi::service_status status;
    const std::uint32_t error =
        winapi::facility<winapi::service_manager>::get().query_status(service, status);
    if (error != 0) {
        return stdext::unexpected(error);
    }
    return status;
}

std::uint32_t pending_pause(std::uint32_t wait_hint) {
    return std::clamp<std::uint32_t>(wait_hint / 10, 1000, 10000);
}

status_result start_service(winapi::sc_handle service, std::uint32_t timeout_ms) {
    auto& clock = winapi::facility<winapi::clock>::get();
    auto status = query_status(service);
    if (!status) {
        return stdext::unexpected(query_error(status.error()));
    }
    if (status->current_state != winapi::service_stopped &&
        status->current_state != winapi::service_stop_pending) {
        return {};
    }

    if (status->current_state == winapi::service_stop_pending) {
        const std::uint64_t begin = clock.monotonic_ms();
        for (;;) {
            clock.sleep_ms(pending_pause(status->wait_hint));
            status = query_status(service);
            if (!status) {
                return stdext::unexpected(query_error(status.error()));
            }
            if (status->current_state == winapi::service_stopped) {
                break;
            }
            if (clock.monotonic_ms() - begin > timeout_ms) {
                try {
                    terminate_agent_processes();
                } catch (const std::exception& e) {
                    logging::logger_stream(logging::level_warning, L"start_service")
                        << L"timeout wait service to stop => kill him err=" << e.what();
                }
            }
            if (status->current_state != winapi::service_stop_pending) {
                break;
            }
        }
    }

    if (const auto error = winapi::facility<winapi::service_manager>::get().start(service);
        error != 0) {
        return stdext::unexpected(L"start service err=" + std::to_wstring(error));
    }
    status = query_status(service);
    if (!status) {
        return stdext::unexpected(query_error(status.error()));
    }
    const std::uint64_t begin = clock.monotonic_ms();
    while (status->current_state == winapi::service_start_pending) {
        clock.sleep_ms(pending_pause(status->wait_hint));
        status = query_status(service);
        if (!status) {
            return stdext::unexpected(query_error(status.error()));
        }
        if (status->current_state == winapi::service_running) {
            return {};
        }
        if (clock.monotonic_ms() - begin > timeout_ms) {
            return stdext::unexpected(std::wstring(L"timeout wait for service to start"));
        }
    }
    if (status->current_state == winapi::service_running) {
        return {};
    }
    return stdext::unexpected(std::wstring(L"service not started"));
}

}  // namespace service

status_result run_agent_command(const std::wstring& word) {
    auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        return stdext::unexpected(L"this_process::get_foldername err=" +
                                  std::to_wstring(folder.error().value()));
    }
    std::wstring parent = *folder;
    if (!parent.empty() && parent.back() == L'\\') {
        parent.pop_back();
    }
    if (const auto pos = parent.rfind(L'\\'); pos != std::wstring::npos) {
        parent.resize(pos);
    }
    const std::wstring executable = parent + L"\\" + agent_executable_name;
    std::wstring command_line = L"\"" + executable + L"\" " + word;

    auto process = create_process(command_line, 0);
    if (!process) {
        const std::uint32_t error = process.error();
        return stdext::unexpected(L"create process [" + command_line + L"] err=" +
                                  std::to_wstring(error) + L" " +
                                  stdext::utf8_to_wide(winapi::make_win_error(error).message()));
    }
    const std::uint32_t result = wait_process(process->process.get(), agent_timeout_ms);
    if (result != winapi::wait_object_0) {
        return stdext::unexpected(L"wait for process result=" + signed_text(result));
    }
    return {};
}

stdext::expected<service_reg_values, std::wstring> read_agent_reg_values() {
    auto& reg = winapi::facility<winapi::registry>::get();
    const auto key = reg.open_key(winapi::hkey_local_machine, agent_service_key, winapi::key_read);
    if (!key) {
        return stdext::unexpected(L"open regkey err=" + signed_text(static_cast<std::uint32_t>(
                                                            key.error().code.value())));
    }
    auto value_error = [](const stdext::error& error) {
        return stdext::unexpected(L"get value err=" +
                                  signed_text(static_cast<std::uint32_t>(error.code.value())));
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

stdext::expected<process_information, std::uint32_t> create_process(std::wstring& command_line,
                                                                    std::uint32_t flags) {
    winapi::created_process created;
    const std::uint32_t error =
        winapi::facility<winapi::processes>::get().create_process(command_line, flags, created);
    if (error != 0) {
        return stdext::unexpected(error);
    }
    process_information info;
    info.process.reset(created.process);
    info.thread.reset(created.thread);
    info.process_id = created.process_id;
    info.thread_id = created.thread_id;
    return info;
}

std::uint32_t wait_process(winapi::sys_handle process, std::uint32_t timeout_ms) {
    std::uint32_t result = 0;
    const std::uint32_t error =
        winapi::facility<winapi::processes>::get().wait(process, timeout_ms, result);
    if (result == winapi::wait_failed) {
        winapi::throw_win_error(error, "WaitForSingleObject failed");
    }
    return result;
}

bool operator==(const winapi::process_entry& entry, const agent_image& image) {
    if (!stdext::iequals(entry.exe_file, agent_executable_name)) {
        return false;
    }
    try {
        auto& procs = winapi::facility<winapi::processes>::get();
        winapi::sys_handle raw = winapi::sys_handle::null;
        if (const auto error =
                procs.open_process(winapi::process_query_information, entry.process_id, raw);
            error != 0) {
            winapi::throw_win_error(error, "OpenProcess failed");
        }
        winapi::unique_sys_handle process(raw);
        std::wstring path;
        std::uint32_t error = 0;
        if (procs.module_file_name(process.get(), 0, module_path_chars, path, error) == 0) {
            winapi::throw_win_error(error, "GetModuleFileNameEx failed");
        }
        return stdext::iequals(path, image.path);
    } catch (const std::exception& e) {
        logging::logger_stream(logging::level_error, L"operator ==")
            << L"failed get_module_file_name for pid=" << entry.process_id << L" error:"
            << e.what();
        return false;
    }
}

}  // namespace supervision
