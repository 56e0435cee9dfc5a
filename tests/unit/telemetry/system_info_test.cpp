// The WMI readers and the device description against a fake WMI.
#include <gtest/gtest.h>

#include <future>

#include "fakes/log_messages.h"
#include "fakes/raised.h"
#include "telemetry/system_info.h"
#include "telemetry/wmi.h"

namespace {

using fakes::fake_wmi;
using telemetry::system_info_t;
using winapi::wmi_value;
const std::wstring processors = L"Select * from Win32_Processor";
const std::wstring memory = L"Select * from Win32_PhysicalMemory";

using fakes::raised;

class Wmi : public fakes::logged_machine_test {
protected:
    std::string query_string() {
        return raised([&] { (void)telemetry::wmi_query_string(processors, L"Name"); });
    }
};

TEST_F(Wmi, QueryStringRaisesWithTheFailedStep) {
    EXPECT_EQ(query_string(), "runtime: Property not found");
    machine.wmi.results[processors] = {{{L"Name", wmi_value{winapi::vt_null}}}};
    EXPECT_EQ(query_string(), "runtime: IEnumWbemClassObject::Next the property isn't VT_BSTR");
    machine.faults.fail("next", 3, 0x80041003u);
    EXPECT_EQ(query_string().substr(0, 47), "system -2147217405: IEnumWbemClassObject::Next ");
    machine.faults.fail("next", 4, 0);
    EXPECT_EQ(query_string().substr(0, 57),
              "system 0: IEnumWbemClassObject::Next return empty objects");
    machine.faults.fail("open_cimv2", 5, 0x80010106u);
    EXPECT_EQ(query_string().substr(0, 37), "system -2147417850: open_cimv2 failed");
    machine.faults.fail("exec_query", 5, 0);  // a success without the enumerator
    EXPECT_EQ(query_string(), "runtime: exec_query failed");
}

TEST_F(Wmi, QueriesTakeTheObjectsWhoseGetSucceeds) {
    machine.wmi.results[processors] = {
        {{L"Name", fake_wmi::text(L"A")}}, {}, {{L"Name", fake_wmi::text(L"C")}}};
    machine.faults.fail("get", 1);
    EXPECT_EQ(telemetry::wmi_query_string(processors, L"Name"), L"C");
    const wmi_value gib = fake_wmi::text(L"1073741824");
    machine.wmi.results[memory] = {
        {{L"Capacity", gib}}, {}, {{L"Capacity", gib}}, {{L"Capacity", gib}}};
    machine.faults.fail("get", 6);
    EXPECT_EQ(telemetry::wmi_query_strings(memory, L"Capacity"),
              (std::vector<std::wstring>{L"1073741824", L"1073741824"}));
    machine.wmi.results[memory].push_back({{L"Capacity", wmi_value{winapi::vt_i4}}});
    EXPECT_EQ(raised([&] { (void)telemetry::wmi_query_strings(memory, L"Capacity"); }),
              "runtime: IEnumWbemClassObject::Next the property isn't VT_BSTR");
}

TEST_F(Wmi, HeldConnectionWalksObjectsAndLogsPropertiesItCannotUse) {
    machine.wmi.results[L"disks"] = {{{L"Id", wmi_value{winapi::vt_i4}}},
                                     {{L"Id", fake_wmi::text(L"D")}}};
    const auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2");
    auto it = connection->exec_query(L"disks");
    EXPECT_EQ(telemetry::get_property(it, L"Id").error().code.value(), 1608);
    EXPECT_EQ(telemetry::get_property(it, L"Serial").error().code.value(),
              winapi::wbem_e_not_found);
    EXPECT_EQ(*telemetry::get_property(++it, L"Id"), L"D");
    EXPECT_TRUE((++it).at_end());
    EXPECT_TRUE(
        log.contains(logging::level_error, L"get_property", L"obect get Serial err=-2147217406"));
    machine.faults.fail("next", 4, 5);
    EXPECT_EQ(raised([&] { (void)connection->exec_query(L"disks"); }).substr(0, 44),
              "system 5: objects_iterator::increment failed");
}

TEST_F(Wmi, CollectsTheDeviceDescription) {
    machine.wmi.results = {
        {processors,
         {{{L"Name", fake_wmi::text(L"Cpu")}, {L"Description", fake_wmi::text(L"Family")}}}},
        {L"Select * from Win32_ComputerSystem", {{{L"Model", fake_wmi::text(L"Box")}}}},
        {L"Select * from Win32_PortableBattery", {{{L"Name", fake_wmi::text(L"B")}}}},
        {memory,
         {{{L"Capacity", fake_wmi::text(L"8589934592")}},
          {{L"Capacity", fake_wmi::text(L"8589934592x")}}}}};
    machine.process.version = {6, 1, 7601, L"Service Pack 1"};
    EXPECT_EQ(telemetry::collect_system_info(),
              (system_info_t{L"Cpu | Family", L"Box", L"laptop", 16ull << 30,
                             "6.1.7601.Service Pack 1", "x64"}));
    machine.process.tablet = true;
    EXPECT_EQ(telemetry::collect_system_info().device_class, L"tablet");

    // A run's facts are collected on a worker thread and can be taken once.
    telemetry::device_facts facts;
    EXPECT_EQ(facts.wait().device_class, L"tablet");
    EXPECT_THROW(static_cast<void>(facts.wait()), std::future_error);
}

TEST_F(Wmi, EveryCollectorFallsBackAndLogsWhy) {
    machine.process.architecture = winapi::processor_architecture_intel;
    machine.faults.fail("os_version", 1);
    EXPECT_EQ(telemetry::collect_system_info(),
              (system_info_t{L" | ", L"", L"desktop", 0, "", "x86"}));
    EXPECT_EQ(
        logged(),
        (std::vector<std::wstring>{
            L"8 details::get_cpu_model Failed get processor name: Property not found",
            L"8 details::get_cpu_model Failed get processor description: Property not found",
            L"8 details::get_device_type Failed get computer model: Property not found",
            L"8 details::has_battery Failed get Win32_Battery Name: Property not found",
            L"8 details::has_battery Failed get Win32_PortableBattery Name: Property not found"}));
    machine.faults.fail("open_cimv2", 7, 5);
    machine.messages.texts[5] = "Zugriff verweigert \xe2\x80\x93 \xc3\xa4\r\n";
    EXPECT_EQ(telemetry::details::get_ram_size(), 0u);
    EXPECT_EQ(log.lines().back().text,
              L"Failed get Win32_PhysicalMemory Name: open_cimv2 failed: Zugriff verweigert "
              L"\u2013 \u00e4\r\n");
    EXPECT_EQ(telemetry::details::os_version_text(), "10.0.19045.");
}

TEST(Architecture, AnyLowBitMeansX64) {
    using telemetry::details::architecture_text;
    EXPECT_EQ(architecture_text(0) + architecture_text(9) + architecture_text(6) +
                  architecture_text(12) + architecture_text(16),
              "x86x64x64x64x86");
}

}  // namespace
