// A whole fake machine: one fake of every facility, installed for the test's lifetime, and one
// fault plan that every fake's calls count in, so a test can fail the n-th call of anything.
#pragma once

#include <gtest/gtest.h>

#include "fakes/fake_access_control.h"
#include "fakes/fake_append_file.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_device_identity.h"
#include "fakes/fake_diagnostics.h"
#include "fakes/fake_error_messages.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_file_identity.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_http.h"
#include "fakes/fake_interception.h"
#include "fakes/fake_library_paths.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_process_context.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_registry.h"
#include "fakes/fake_service_manager.h"
#include "fakes/fake_task_scheduler.h"
#include "fakes/fake_temp_files.h"
#include "fakes/fake_trust.h"
#include "fakes/fake_wmi.h"
#include "fakes/kit.h"
#include "winapi/facility.h"

namespace fakes {

struct fake_machine {
    fault_plan faults;
    fake_clock clock{faults};
    fake_device_identity identity{faults};
    fake_error_messages messages{faults};
    fake_file_identity identities;
    fake_file_system files;
    fake_modules modules{faults};
    fake_process_context process{faults};
    fake_processes processes{faults};
    fake_registry registry{faults};
    fake_service_manager services{faults};
    fake_task_scheduler tasks;
    fake_trust trust{faults};
    fake_wmi wmi{faults};
    fake_event_log events{faults};
    fake_diagnostics diagnostics{faults};
    fake_http http{faults};
    fake_temp_files temp{faults};
    fake_access_control acl{faults};
    fake_library_paths libraries{faults};
    fake_append_file appends{faults};
    fake_interception interception;

private:
    winapi::scoped_facility<winapi::clock> use_clock_{clock};
    winapi::scoped_facility<winapi::device_identity> use_identity_{identity};
    winapi::scoped_facility<winapi::error_messages> use_messages_{messages};
    winapi::scoped_facility<winapi::file_identity> use_identities_{identities};
    winapi::scoped_facility<winapi::file_system> use_files_{files};
    winapi::scoped_facility<winapi::modules> use_modules_{modules};
    winapi::scoped_facility<winapi::process_context> use_process_{process};
    winapi::scoped_facility<winapi::processes> use_processes_{processes};
    winapi::scoped_facility<winapi::registry> use_registry_{registry};
    winapi::scoped_facility<winapi::service_manager> use_services_{services};
    winapi::scoped_facility<winapi::task_scheduler> use_tasks_{tasks};
    winapi::scoped_facility<winapi::trust> use_trust_{trust};
    winapi::scoped_facility<winapi::wmi> use_wmi_{wmi};
    winapi::scoped_facility<winapi::event_log> use_events_{events};
    winapi::scoped_facility<winapi::diagnostics> use_diagnostics_{diagnostics};
    winapi::scoped_facility<winapi::http> use_http_{http};
    winapi::scoped_facility<winapi::temp_files> use_temp_{temp};
    winapi::scoped_facility<winapi::access_control> use_acl_{acl};
    winapi::scoped_facility<winapi::library_paths> use_libraries_{libraries};
    winapi::scoped_facility<winapi::append_file> use_appends_{appends};
    winapi::scoped_facility<dllprotect::interception> use_interception_{interception};
};

// The fixture of tests that run logic against the whole fake machine.
class machine_test : public ::testing::Test {
protected:
    fake_machine machine;
};

}  // namespace fakes
