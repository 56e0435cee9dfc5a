// The device id's Windows sources under Wine: the digest of known inputs (values from an
// independent SHA-1), the machine GUID, COM set-up and the Windows folder.
#include <gtest/gtest.h>

#include "stdext/utf.h"
#include "telemetry/device_id.h"
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
    // Without WMI the id is the digest of the machine GUID alone.
    EXPECT_EQ(telemetry::generate_deviceid(telemetry::no_wmi_identity),
              telemetry::get_hash_string({guid->text}).value());
}

}  // namespace
