// The device id's Windows sources and the WMI readers under Wine: the digest of known inputs
// (values from an independent SHA-1), the machine GUID, COM set-up, the Windows folder, and the
// device description.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "telemetry/device_id.h"
#include "telemetry/system_info.h"
#include "telemetry/wmi.h"
#include "winapi/device_identity.h"
#include "winapi/facility.h"

namespace {

TEST(DeviceIdentityWin, DigestsAreLowercaseSha1OfTheUtf16Bytes) {
    EXPECT_EQ(telemetry::get_hash_string({}).value(), L"da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(telemetry::get_hash_string({L"war", L"", L"dex"}).value(),
              L"8a2aab6c8ebb8d6406417e2241959985f2172cc1");
}

// Wine's WMI gives a system UUID and one disk, "WINEHDISK", but no associations: the id covers
// the GUID, the UUID and the first disk's serial number.
TEST(DeviceIdentityWin, DeviceIdDigestsGuidUuidAndTheFirstDiskSerial) {
    auto& identity = winapi::facility<winapi::device_identity>::get();
    const auto guid = identity.machine_guid();
    ASSERT_TRUE(guid) << guid.error().text;
    EXPECT_EQ(guid->size, 74u);
    EXPECT_EQ(guid->text.size(), 36u);
    EXPECT_EQ(telemetry::get_machine_guid(), guid->text);
    EXPECT_EQ(identity.windows_folder().value().substr(0, 3), L"C:\\");

    ASSERT_TRUE(identity.com_initialize());
    std::wstring uuid, serial;
    {
        const auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2");
        ASSERT_TRUE(connection) << connection.error().text;
        uuid = telemetry::get_system_uuid(*connection);
        serial = telemetry::search_disks(*connection, L"C:");
        EXPECT_FALSE(
            telemetry::search_diskdrives_partitions(*connection, L"\\\\.\\PHYSICALDRIVE0", L"C:"));
        // A property that is not text is refused.
        const auto disk = connection->exec_query(L"Select * from Win32_DiskDrive");
        ASSERT_FALSE(disk.at_end());
        EXPECT_EQ(telemetry::get_property(disk, L"Index").error().code.value(), 1608);
    }
    identity.com_uninitialize();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(serial, L"WINEHDISK");
    EXPECT_EQ(telemetry::generate_deviceid(),
              telemetry::get_hash_string({guid->text, uuid, serial}).value());
}

// Wine's WMI has no battery: the query for one finds nothing, and the device is a desktop.
TEST(WmiWin, DeviceDescriptionOfWine) {
    EXPECT_THAT([] { (void)telemetry::wmi_query_string(L"Select * from Win32_Battery", L"Name"); },
                testing::ThrowsMessage<std::runtime_error>(testing::StrEq("Property not found")));
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
