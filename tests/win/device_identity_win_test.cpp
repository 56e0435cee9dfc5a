// The device id's Windows sources under Wine: the digest of known inputs (values from an
// independent SHA-1), the machine GUID, COM set-up and the Windows folder.
#include <gtest/gtest.h>

#include "stdext/utf.h"
#include "telemetry/device_id.h"
#include "telemetry/wmi.h"
#include "winapi/device_identity.h"
#include "winapi/facility.h"

namespace {

TEST(DeviceIdentityWin, DigestsAreLowercaseSha1OfTheUtf16Bytes) {
    EXPECT_EQ(telemetry::get_hash_string({}).value(), L"da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(telemetry::get_hash_string({L"war", L"", L"dex"}).value(),
              L"8a2aab6c8ebb8d6406417e2241959985f2172cc1");
}

TEST(DeviceIdentityWin, MachineGuidComAndWindowsFolder) {
    auto& identity = winapi::facility<winapi::device_identity>::get();
    const auto guid = identity.machine_guid();
    ASSERT_TRUE(guid) << guid.error().text;
    EXPECT_EQ(guid->size, 74u);
    EXPECT_EQ(telemetry::get_machine_guid(), guid->text);
    EXPECT_EQ(guid->text.size(), 36u);

    ASSERT_TRUE(identity.com_initialize());
    identity.com_uninitialize();
    EXPECT_EQ(identity.windows_folder().value().substr(0, 3), L"C:\\");
}

// Wine's WMI gives a system UUID and one disk, "WINEHDISK", but no associations: the id covers
// the GUID, the UUID and the first disk's serial number.
TEST(DeviceIdentityWin, DeviceIdDigestsGuidUuidAndTheFirstDiskSerial) {
    const std::wstring guid = telemetry::get_machine_guid();
    ASSERT_TRUE(winapi::facility<winapi::device_identity>::get().com_initialize());
    std::wstring uuid, serial;
    {
        const auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2");
        ASSERT_TRUE(connection) << connection.error().text;
        uuid = telemetry::get_system_uuid(*connection);
        serial = telemetry::search_disks(*connection, L"C:");
        EXPECT_FALSE(
            telemetry::search_diskdrives_partitions(*connection, L"\\\\.\\PHYSICALDRIVE0", L"C:"));
    }
    winapi::facility<winapi::device_identity>::get().com_uninitialize();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(serial, L"WINEHDISK");
    EXPECT_EQ(telemetry::generate_deviceid(),
              telemetry::get_hash_string({guid, uuid, serial}).value());
}

}  // namespace
