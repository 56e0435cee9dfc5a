// The WMI readers and the device description against Wine's WMI.
#include <windows.h>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "telemetry/system_info.h"
#include "telemetry/wmi.h"

namespace {

TEST(WmiWin, OneShotQueriesReadWineAnswers) {
    EXPECT_EQ(telemetry::wmi_query_string(L"Select * from Win32_ComputerSystem", L"Model"),
              L"Wine");
    EXPECT_FALSE(telemetry::wmi_query_string(L"Select * from Win32_Processor", L"Name").empty());
    EXPECT_THAT([] { (void)telemetry::wmi_query_string(L"Select * from Win32_Battery", L"Name"); },
                testing::ThrowsMessage<std::runtime_error>(testing::StrEq("Property not found")));
    const auto capacities =
        telemetry::wmi_query_strings(L"Select * from Win32_PhysicalMemory", L"Capacity");
    ASSERT_FALSE(capacities.empty());
    EXPECT_EQ(capacities[0].find_first_not_of(L"0123456789"), std::wstring::npos);
}

TEST(WmiWin, HeldConnectionReadsTheDiskSerial) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        const auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2");
        ASSERT_TRUE(connection);
        const auto disk = connection->exec_query(L"Select * from Win32_DiskDrive");
        ASSERT_FALSE(disk.at_end());
        EXPECT_EQ(*telemetry::get_property(disk, L"SerialNumber"), L"WINEHDISK");
        EXPECT_EQ(telemetry::get_property(disk, L"Index").error().code.value(), 1608);
    }
    ::CoUninitialize();
}

TEST(WmiWin, DeviceDescriptionOfWine) {
    telemetry::device_facts facts;
    const telemetry::system_info_t info = facts.wait();
    EXPECT_NE(info.cpu_model.find(L" | "), 0u);
    EXPECT_EQ(info.computer_model, L"Wine");
    EXPECT_EQ(info.device_class, L"desktop");
    EXPECT_GT(info.ram_size, 0u);
    EXPECT_THAT(info.os_version, testing::MatchesRegex("\\d+\\.\\d+\\.\\d+\\..*"));
    EXPECT_EQ(info.architecture, "x64");
}

}  // namespace
