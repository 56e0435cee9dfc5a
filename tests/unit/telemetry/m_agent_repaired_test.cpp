// The repair event against the event client library's test functions.
#include <gtest/gtest.h>

#include <future>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_vdec.h"
#include "logging/log.h"
#include "telemetry/m_agent_repaired.h"

namespace {

using strings = std::vector<std::string>;

class RepairEvent : public fakes::machine_test {
protected:
    RepairEvent() { machine.modules.add_library(L"C:\\Agent\\vdec.dll", vdec.exports()); }

    bool submit() {
        telemetry::m_agent_repaired report(
            L"C:\\Agent", {[this] {
                               if (!settings_error.empty()) {
                                   throw std::runtime_error(settings_error);
                               }
                               return telemetry::client_settings{"wardex-app", "pt_BR", "2.1.0"};
                           },
                           [] { return std::wstring(L"stored-id"); },
                           [] { return std::wstring(L"calculated-id"); },
                           [this] {
                               if (facts_taken) {
                                   throw std::future_error(std::future_errc::no_state);
                               }
                               return info;
                           }});
        return report.submit(L"service_stopped", L"start_service");
    }
    // The lines logged at a level other than function traces.
    strings messages() const {
        strings out;
        for (const auto& line : log.lines()) {
            if (line.level != 32) {
                out.push_back(std::to_string(line.level) + " " +
                              stdext::wide_to_utf8(line.function) + " " +
                              stdext::wide_to_utf8(line.text));
            }
        }
        return out;
    }

    fakes::fake_vdec vdec;
    fakes::fake_log_library log{machine.modules};
    logging::scopped_log_init logging_on;
    std::string settings_error;
    bool facts_taken = false;
    telemetry::system_info_t info{
        L"Cpu | Family", L"Wine", L"desktop", (std::uint64_t{16} << 30) + 5, "10.0.19045.", "x64"};
};

TEST_F(RepairEvent, CarriesEveryFieldInOrderAndIsSubmitted) {
    ASSERT_TRUE(submit());
    EXPECT_EQ(vdec.calls, (strings{"Init",
                                   "SetOptionA 0 3 1 0",
                                   "SetOptionVarLenA 0 8 wardex-app 10",
                                   "CreateEcEventA m_agent_repaired 1.0 wardex-app",
                                   "AddKeyValueEventW anon_id=stored-id",
                                   "AddKeyValueEventW calculated_anon_id=calculated-id",
                                   "OverWriteReservedKeyStringA vd_locale=pt-BR",
                                   "AddKeyValueEventW cpu_model=Cpu | Family",
                                   "AddKeyValueEventW device_type=Wine",
                                   "AddKeyValueEventW device_class=desktop",
                                   "AddKeyValueEventInt64W ram_size=16",
                                   "AddKeyValueEventA machine_architecture=x64",
                                   "AddKeyValueEventA os_type=windows",
                                   "AddKeyValueEventA os_version=10.0.19045.",
                                   "AddKeyValueEventW trigger=wardex",
                                   "AddKeyValueEventW reason=service_stopped",
                                   "AddKeyValueEventW action=start_service",
                                   "GetEventTextA",
                                   "FreeEventTextA",
                                   "SubmitEvent 16 0",
                                   "DestroyEvent",
                                   "Uninit"}));
    EXPECT_EQ(messages(), strings{"16 m_agent_repaired::submit {\"event\":1}"});

    vdec.calls.clear();
    info.ram_size = (std::uint64_t{1} << 30) - 1;
    ASSERT_TRUE(submit());
    EXPECT_EQ(vdec.calls[10], "AddKeyValueEventInt64W ram_size=0");
}

TEST_F(RepairEvent, WithoutALibraryOrSettingsNothingIsSent) {
    machine.modules.remove_library(L"C:\\Agent\\vdec.dll");
    EXPECT_FALSE(submit());
    machine.modules.add_library(L"C:\\Agent\\vdec.dll", vdec.exports());
    settings_error = "RegOpenKeyEx failed";
    EXPECT_FALSE(submit());
    EXPECT_EQ(messages(),
              (strings{"4 m_agent_repaired::m_agent_repaired create vdec_factory instance has "
                       "failed: LoadVdec failed",
                       "4 m_agent_repaired::m_agent_repaired create vdec_factory instance has "
                       "failed: RegOpenKeyEx failed"}));
    EXPECT_TRUE(vdec.calls.empty());
}

TEST_F(RepairEvent, OnlyTheDeviceFieldsMayBeRefused) {
    const std::pair<const char*, bool> keys[] = {
        {"anon_id", false},    {"calculated_anon_id", false},
        {"vd_locale", false},  {"cpu_model", true},
        {"device_type", true}, {"device_class", true},
        {"ram_size", true},    {"machine_architecture", true},
        {"os_type", true},     {"os_version", true},
        {"trigger", false},    {"reason", false},
        {"action", false}};
    for (const auto& [key, sent] : keys) {
        vdec.key_status = {{key, -3}};
        vdec.calls.clear();
        EXPECT_EQ(submit(), sent) << key;
        EXPECT_EQ(std::count(vdec.calls.begin(), vdec.calls.end(), "SubmitEvent 16 0"), sent);
        EXPECT_EQ(vdec.events.open_count(), 0u) << key;
    }
    const strings logged = messages();
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         "4 m_agent_repaired::submit error: VDEC_ERROR_RESERVED_KEY"),
              6);
    EXPECT_EQ(logged.size(),
              6u + 7u);  // one error for each refused identifier, a text for each sent event
}

TEST_F(RepairEvent, EveryFailureIsLoggedOnceAndDestroysTheEvent) {
    const std::pair<const char*, telemetry::vdec_status> calls[] = {
        {"CreateEcEventA", 1}, {"GetEventTextA", -7}, {"SubmitEvent", -5}, {nullptr, 0}};
    for (const auto& [call, status] : calls) {
        vdec.faults().clear();
        facts_taken = call == nullptr;
        if (call != nullptr) {
            vdec.faults().fail_always(call, static_cast<std::uint32_t>(status));
        }
        EXPECT_FALSE(submit());
        EXPECT_EQ(vdec.events.open_count(), 0u);
    }
    const std::string future = std::future_error(std::future_errc::no_state).what();
    EXPECT_EQ(messages(),
              (strings{"4 m_agent_repaired::submit error: create_event failed",
                       "4 m_agent_repaired::submit error: VDEC_ERROR_CREATE_JSON",
                       "16 m_agent_repaired::submit {\"event\":1}",
                       "4 m_agent_repaired::submit error: VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT",
                       "4 m_agent_repaired::submit error: " + future}));
}

}  // namespace
