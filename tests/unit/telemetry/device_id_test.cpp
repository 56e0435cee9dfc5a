// The device id and the stored anonymous id against the fake machine.
#include "telemetry/device_id.h"

#include <gtest/gtest.h>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "logging/log.h"
#include "stdext/utf.h"

namespace {

using strings = std::vector<std::wstring>;
const std::wstring product_key = L"SOFTWARE\\Valdrin Agent";

struct fake_wmi final : telemetry::wmi_identity {
    std::wstring* drive_asked;
    explicit fake_wmi(std::wstring* asked) : drive_asked(asked) {}
    std::wstring system_uuid() override { return L"UU"; }
    std::wstring disk_serial(const std::wstring& drive) override {
        *drive_asked = drive;
        return L"SN";
    }
};

class DeviceId : public fakes::machine_test {
protected:
    std::wstring generate(bool wmi = true) {
        return telemetry::generate_deviceid(
            [this, wmi]() -> std::unique_ptr<telemetry::wmi_identity> {
                return wmi ? std::make_unique<fake_wmi>(&drive) : nullptr;
            });
    }
    // The messages logged, traces left out.
    strings messages() const {
        strings out;
        for (const auto& line : log.lines()) {
            if (line.level != logging::level_trace) {
                out.push_back(std::to_wstring(line.level) + L" " + line.function + L" " +
                              line.text);
            }
        }
        return out;
    }
    std::vector<std::uint8_t> utf16le(const std::wstring& text) const {
        return stdext::wide_to_utf16le(text);
    }

    fakes::fake_device_identity& identity = machine.identity;
    fakes::fake_log_library log{machine.modules};
    const logging::scopped_log_init hold;
    std::wstring drive;
};

TEST_F(DeviceId, DigestsGuidUuidAndSerialOfTheWindowsDriveInOrder) {
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_EQ(identity.hashed.back(), utf16le(identity.guid.text + L"UUSN"));
    EXPECT_EQ(drive, L"D:");
    EXPECT_EQ(identity.com_balance, 0);
    EXPECT_EQ(messages(),
              (strings{L"16 generate_deviceid machine guid=" + identity.guid.text,
                       L"16 generate_deviceid system uuid=UU", L"16 generate_deviceid hdd sn=SN"}));
    EXPECT_TRUE(log.contains(logging::level_trace, L"get_hdd_sn", L"-> get_hdd_sn()"));

    // Without WMI the GUID alone; a missing Windows folder means drive C.
    EXPECT_EQ(generate(false), identity.digest);
    EXPECT_EQ(identity.hashed.back(), utf16le(identity.guid.text));
    machine.faults.fail("windows_folder", 2);
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_EQ(drive, L"C:");
}

TEST_F(DeviceId, OnlyAFailedDigestGivesTheZeroIdAndComIsBalanced) {
    machine.faults.fail("com_initialize", 1);
    machine.faults.fail("com_initialize_security", 1, 0x80010119);
    machine.faults.fail("sha1_hex", 1, 0x80090008);
    EXPECT_EQ(generate(), telemetry::zero_deviceid);
    EXPECT_EQ(identity.com_balance, 0);
    EXPECT_TRUE(log.contains(4, L"initialize_security", L"initialize_security err=-2147417831"));
    EXPECT_TRUE(
        log.contains(4, L"get_hash_string", L"get_hash_string err=2148073480 sha1_hex failed"));
    identity.digest.clear();
    EXPECT_EQ(generate(), telemetry::zero_deviceid);
    // Empty sources still give a digest, of nothing.
    identity.digest = L"da39a3ee5e6b4b0d3255bfef95601890afd80709";
    identity.guid = {0, L""};
    EXPECT_EQ(generate(false), identity.digest);
    EXPECT_TRUE(identity.hashed.back().empty());

    identity.out_of_memory = true;
    const auto hash = telemetry::get_hash_string({L"x"});
    ASSERT_FALSE(hash);
    EXPECT_EQ(hash.error().code.value(), 8);
    EXPECT_EQ(messages().back(), L"4 get_hash_string failed with std::bad_alloc");
}

TEST_F(DeviceId, MachineGuidFailuresGiveAnEmptyText) {
    machine.faults.fail("machine_guid", 1, 2);
    EXPECT_EQ(telemetry::get_machine_guid(), L"");
    EXPECT_EQ(messages().back(), L"4 get_machine_guid machine_guid failed err=2");
    identity.guid.size = 75;
    EXPECT_EQ(telemetry::get_machine_guid(), L"");
    EXPECT_EQ(messages().back(), L"4 get_machine_guid unexpected size=75");
    identity.guid.size = 74;
    EXPECT_EQ(telemetry::get_machine_guid(), identity.guid.text);
}

TEST_F(DeviceId, CalculatedIdIsKeptForTheProcess) {
    const auto connect = [] { return telemetry::no_wmi_identity(); };
    const std::wstring first = telemetry::calculated_deviceid(connect);
    identity.digest = L"changed";
    EXPECT_EQ(telemetry::calculated_deviceid(connect), first);
}

TEST_F(DeviceId, AnonIdIsStoredOnceAndNeverReplaced) {
    const auto connect = [] { return telemetry::no_wmi_identity(); };
    machine.faults.fail("create_key", 1, 5);
    EXPECT_EQ(telemetry::GetAnonId(product_key, connect), identity.digest);
    EXPECT_TRUE(log.contains(16, L"GetAnonId", L"LoadAnonId failed, try to generate it"));
    EXPECT_TRUE(
        log.contains(4, L"SetRegKeyValue", L"RegCreateKeyEx " + product_key + L" failed 5"));

    EXPECT_EQ(telemetry::GetAnonId(product_key, connect), identity.digest);
    EXPECT_EQ(
        machine.registry.get_string(winapi::hkey_local_machine, product_key, L"AnonId").value(),
        identity.digest);
    identity.digest = L"another";
    EXPECT_NE(telemetry::GetAnonId(product_key, connect), identity.digest);
    EXPECT_EQ(machine.faults.calls("set_string"), 1);
}

}  // namespace
