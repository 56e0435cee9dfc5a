// The Windows implementations of the facilities (Windows targets only).
#pragma once

#include "winapi/access_control.h"
#include "winapi/append_file.h"
#include "winapi/clock.h"
#include "winapi/device_identity.h"
#include "winapi/diagnostics.h"
#include "winapi/error_messages.h"
#include "winapi/event_log.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/http.h"
#include "winapi/library_paths.h"
#include "winapi/modules.h"
#include "winapi/process_context.h"
#include "winapi/processes.h"
#include "winapi/registry.h"
#include "winapi/service_manager.h"
#include "winapi/task_scheduler.h"
#include "winapi/temp_files.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"
#include "winapi/wmi.h"

namespace winapi {

[[nodiscard]] clock& windows_clock_instance();
[[nodiscard]] error_messages& windows_error_messages_instance();
[[nodiscard]] registry& windows_registry_instance();
[[nodiscard]] modules& windows_modules_instance();
[[nodiscard]] file_system& windows_file_system_instance();
[[nodiscard]] processes& windows_processes_instance();
[[nodiscard]] service_manager& windows_service_manager_instance();
[[nodiscard]] process_context& windows_process_context_instance();
[[nodiscard]] file_identity& windows_file_identity_instance();
[[nodiscard]] task_scheduler& windows_task_scheduler_instance();
[[nodiscard]] trust& windows_trust_instance();
[[nodiscard]] device_identity& windows_device_identity_instance();
[[nodiscard]] wmi& windows_wmi_instance();
[[nodiscard]] event_log& windows_event_log_instance();
[[nodiscard]] diagnostics& windows_diagnostics_instance();
[[nodiscard]] http& windows_http_instance();
[[nodiscard]] temp_files& windows_temp_files_instance();
[[nodiscard]] access_control& windows_access_control_instance();
[[nodiscard]] library_paths& windows_library_paths_instance();
[[nodiscard]] append_file& windows_append_file_instance();

// The LoadLibraryExW entry the library-path facility's loads go through; null restores the
// system's own. The load protection sets the entry that bypasses its interception.
void use_library_loader(void* load_library_ex_w) noexcept;

// Installs the Windows implementation of every facility; the entry point and the Windows test
// programs call it first.
void install_windows_facilities();

}  // namespace winapi
