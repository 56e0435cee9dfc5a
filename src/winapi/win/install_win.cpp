#include "winapi/facility.h"
#include "winapi/win/system_facilities.h"
#include "winapi/win_error_category.h"

namespace winapi {

void install_windows_facilities() {
    facility<clock>::install(&windows_clock_instance());
    facility<error_messages>::install(&windows_error_messages_instance());
    facility<registry>::install(&windows_registry_instance());
    facility<modules>::install(&windows_modules_instance());
    facility<file_system>::install(&windows_file_system_instance());
    facility<processes>::install(&windows_processes_instance());
    facility<service_manager>::install(&windows_service_manager_instance());
    facility<process_context>::install(&windows_process_context_instance());
    facility<file_identity>::install(&windows_file_identity_instance());
    facility<task_scheduler>::install(&windows_task_scheduler_instance());
    facility<trust>::install(&windows_trust_instance());
    facility<device_identity>::install(&windows_device_identity_instance());
    facility<wmi>::install(&windows_wmi_instance());
    facility<event_log>::install(&windows_event_log_instance());
    facility<diagnostics>::install(&windows_diagnostics_instance());
    facility<http>::install(&windows_http_instance());
    facility<temp_files>::install(&windows_temp_files_instance());
    facility<access_control>::install(&windows_access_control_instance());
    facility<library_paths>::install(&windows_library_paths_instance());
    facility<append_file>::install(&windows_append_file_instance());
}

}  // namespace winapi
