// The event client binding and the repair event against a fake "vdec.dll".
#include <gtest/gtest.h>

#include "fakes/fake_vdec.h"
#include "fakes/log_messages.h"
#include "telemetry/m_agent_repaired.h"

namespace {

using strings = std::vector<std::string>;
const std::wstring folder = L"C:\\Agent";
const std::wstring path = L"C:\\Agent\\vdec.dll";

TEST(VdecErrorText, NamesEveryStatusAndUnknownOnes) {
    std::string names;  // of the statuses from 2 down to -9
    for (int status = 2; status >= -9; --status) {
        names += telemetry::vdec_error_text(status) + std::string(",");
    }
    EXPECT_EQ(
        names,
        "UNKNOWN VDEC ERRROR,memory alloc error,VDEC_ERROR_SUCCESS,VDEC_ERROR_INVALID_PARAMETER,"
        "VDEC_ERROR_INVALID_EVENT_NAME,VDEC_ERROR_RESERVED_KEY,VDEC_ERROR_DEPRECATED_KEY,"
        "VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT,VDEC_NOT_READY,VDEC_ERROR_CREATE_JSON,"
        "VDEC_ERROR_LOAD_VDNC,UNKNOWN VDEC ERRROR,");
}

using VdecLoad = fakes::machine_test;

TEST_F(VdecLoad, EveryExportIsRequiredAndNothingIsCalledWithoutOne) {
    for (const auto name : telemetry::vdec_export_names) {
        fakes::fake_vdec vdec(machine, path, name);
        const auto api = telemetry::open_vdec(folder);
        ASSERT_FALSE(api) << name;
        EXPECT_EQ(api.error().text, "GetProcAddress " + std::string(name) + " failed");
        EXPECT_TRUE(vdec.calls.empty()) << name;
    }
}

TEST_F(VdecLoad, OnlyTheFolderIsSearchedAndAFailingInitUnloadsWithoutUninit) {
    fakes::fake_vdec vdec(machine, L"vdec.dll");
    EXPECT_FALSE(telemetry::open_vdec(folder));
    vdec.faults().fail("Init", 1, 1);
    EXPECT_THROW((void)telemetry::LoadVdec(L""), std::runtime_error);
    EXPECT_EQ(vdec.calls, strings{"Init"});
}

// The fields of the repair event in order, as the library is called for them, and whether the
// event is still sent when the library refuses the field.
const std::pair<std::string, bool> fields[] = {
    {"AddKeyValueEventW anon_id=stored-id", false},
    {"AddKeyValueEventW calculated_anon_id=calculated-id", false},
    {"OverWriteReservedKeyStringA vd_locale=pt-BR", false},
    {"AddKeyValueEventW cpu_model=Cpu | Family", true},
    {"AddKeyValueEventW device_type=Wine", true},
    {"AddKeyValueEventW device_class=desktop", true},
    {"AddKeyValueEventInt64W ram_size=16", true},
    {"AddKeyValueEventA machine_architecture=x64", true},
    {"AddKeyValueEventA os_type=windows", true},
    {"AddKeyValueEventA os_version=10.0.19045.", true},
    {"AddKeyValueEventW trigger=wardex", false},
    {"AddKeyValueEventW reason=service_stopped", false},
    {"AddKeyValueEventW action=start_service", false}};

class RepairEvent : public fakes::logged_machine_test {
protected:
    bool submit() {
        telemetry::m_agent_repaired report(
            folder, {[this] {
                         raise(settings_failure);
                         return telemetry::client_settings{"wardex-app", "pt_BR", "2.1.0"};
                     },
                     [this] {
                         raise(anon_id_failure);
                         return std::wstring(L"stored-id");
                     },
                     [] { return std::wstring(L"calculated-id"); }, [this] { return info; }});
        return report.submit(L"service_stopped", L"start_service");
    }
    static void raise(const std::string& failure) {
        if (!failure.empty()) {
            throw std::runtime_error(failure);
        }
    }

    std::string settings_failure;  // raised by the settings source when not empty
    std::string anon_id_failure;   // raised by the anonymous id source when not empty
    fakes::fake_vdec vdec{machine, path};
    telemetry::system_info_t info{
        L"Cpu | Family", L"Wine", L"desktop", (std::uint64_t{16} << 30) + 5, "10.0.19045.", "x64"};
};

TEST_F(RepairEvent, CarriesEveryFieldInOrderAndToleratesRefusedOptions) {
    machine.faults.fail("SetOptionA", 1, static_cast<std::uint32_t>(-6));
    machine.faults.fail("SetOptionVarLenA", 1, static_cast<std::uint32_t>(-1));
    ASSERT_TRUE(submit());
    strings expected{"Init", "SetOptionA 0 3 1 0", "SetOptionVarLenA 0 8 wardex-app 10",
                     "CreateEcEventA m_agent_repaired 1.0 wardex-app"};
    for (const auto& field : fields) {
        expected.push_back(field.first);
    }
    expected.insert(expected.end(), {"GetEventTextA", "FreeEventTextA", "SubmitEvent 16 0",
                                     "DestroyEvent", "Uninit"});
    EXPECT_EQ(vdec.calls, expected);
    EXPECT_EQ(logged(), (std::vector<std::wstring>{
                            L"8 vdec_factory::init failed set_option submit_use_vdnc_cloud err=-6",
                            L"8 vdec_factory::init failed set_option app_name err=-1",
                            L"16 m_agent_repaired::submit {\"event\":1}"}));
    vdec.calls.clear();
    info.ram_size = (std::uint64_t{1} << 30) - 1;
    ASSERT_TRUE(submit());
    EXPECT_EQ(vdec.calls[10], "AddKeyValueEventInt64W ram_size=0");
}

// Each failure or refused field is logged once and nothing is sent, but for a refused field that
// only describes the device.
TEST_F(RepairEvent, OnlyTheDeviceFieldsMayBeRefused) {
    const std::wstring sent = L"16 m_agent_repaired::submit {\"event\":1}";
    std::vector<std::tuple<std::string, int, std::wstring>> cases{
        {"load", 126,
         L"4 m_agent_repaired::m_agent_repaired create vdec_factory instance has failed: LoadVdec "
         L"failed"},
        {"CreateEcEventA", 1, L"4 m_agent_repaired::submit error: create_event failed"},
        {"GetEventTextA", -7, L"4 m_agent_repaired::submit error: VDEC_ERROR_CREATE_JSON"},
        {"SubmitEvent", -5,
         L"4 m_agent_repaired::submit error: VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT"}};
    for (const auto& [call, device] : fields) {
        cases.emplace_back(call.substr(call.find(' ') + 1, call.find('=') - call.find(' ') - 1), -3,
                           device ? sent
                                  : L"4 m_agent_repaired::submit error: "
                                    L"VDEC_ERROR_RESERVED_KEY");
    }
    for (const auto& [key, status, line] : cases) {
        machine.faults.clear();
        machine.faults.fail_always(key, static_cast<std::uint32_t>(status));
        vdec.calls.clear();
        EXPECT_EQ(submit(), line == sent) << key;
        // A refused submission is the one call of SubmitEvent that sends nothing.
        EXPECT_EQ(std::ranges::count(vdec.calls, "SubmitEvent 16 0"),
                  line == sent || key == "SubmitEvent")
            << key;
        EXPECT_EQ(logged().back(), line) << key;
    }
    EXPECT_EQ(logged().size(), cases.size() + 1);  // and the text of the refused submission
}

// The event text and the texts of caught errors are UTF-8, not one character per byte.
TEST_F(RepairEvent, NarrowTextsAreLoggedFromUtf8) {
    vdec.event_text = "{\"reason\":\"arr\xc3\xaat \xe2\x82\xac\"}";
    ASSERT_TRUE(submit());
    anon_id_failure = "cl\xc3\xa9 absente";
    EXPECT_FALSE(submit());
    settings_failure = "r\xc3\xa9glage illisible";
    EXPECT_FALSE(submit());
    EXPECT_EQ(logged(), (std::vector<std::wstring>{
                            L"16 m_agent_repaired::submit {\"reason\":\"arr\u00eat \u20ac\"}",
                            L"4 m_agent_repaired::submit error: cl\u00e9 absente",
                            L"4 m_agent_repaired::m_agent_repaired create vdec_factory instance "
                            L"has failed: r\u00e9glage illisible"}));
}

}  // namespace
