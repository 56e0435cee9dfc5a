// The device id and the stored anonymous id against the fake machine.
#include "telemetry/device_id.h"

#include <gtest/gtest.h>

#include "fakes/log_messages.h"
#include "stdext/utf.h"
#include "telemetry/wmi.h"

namespace {

using strings = std::vector<std::wstring>;
const std::wstring product_key = L"SOFTWARE\\Valdrin Agent";

using fakes::fake_wmi;

class DeviceId : public fakes::logged_machine_test {
protected:
    DeviceId() {
        wmi.results[L"SELECT UUID FROM Win32_ComputerSystemProduct"] = {
            {{L"UUID", fake_wmi::text(L"UU")}}};
        // Two disks; the second holds drive D through its second partition.
        wmi.results[disks] = {disk(L"", L"PD0"), disk(L"SN1", L"PD1"), disk(L"SN2", L"PD2")};
        wmi.results[telemetry::disk_partitions_query(L"PD2")] = {
            {{L"DeviceID", fake_wmi::text(L"P2#0")}}, {{L"DeviceID", fake_wmi::text(L"P2#1")}}};
        wmi.results[telemetry::logical_disks_query(L"P2#1")] = {
            {{L"DeviceID", {winapi::vt_null, {}}},
             {L"Name", fake_wmi::text(L"X:")},
             {L"Caption", fake_wmi::text(L"d:")}}};
    }
    static fake_wmi::object disk(const std::wstring& serial, const std::wstring& id) {
        return {{L"SerialNumber", fake_wmi::text(serial)}, {L"DeviceID", fake_wmi::text(id)}};
    }
    std::wstring generate() { return telemetry::generate_deviceid(); }

    const std::wstring disks = L"SELECT SerialNumber, DeviceID FROM Win32_DiskDrive";
    fakes::fake_device_identity& identity = machine.identity;
    fake_wmi& wmi = machine.wmi;
};

TEST_F(DeviceId, DigestsGuidUuidAndSerialOfTheWindowsDriveInOrder) {
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_EQ(identity.hashed.back(), stdext::wide_to_utf16le(identity.guid.text + L"UUSN2"));
    EXPECT_EQ(identity.com_balance, 0);
    EXPECT_EQ(
        logged(),
        (strings{L"16 generate_deviceid machine guid=" + identity.guid.text,
                 L"16 generate_deviceid system uuid=UU", L"16 search_disks search for partitionD:",
                 L"16 search_diskdrives_partitions devid=PD0",
                 L"16 search_diskdrives_partitions devid=PD1",
                 L"16 search_diskdrives_partitions devid=PD2", L"16 search_logicaldisks devid=P2#0",
                 L"16 search_logicaldisks devid=P2#1",
                 L"4 get_property obect get type=1 expected=8", L"16 search_logicaldisks found it",
                 L"16 generate_deviceid hdd sn=SN2"}));
    EXPECT_TRUE(log.contains(logging::level_trace, L"get_hdd_sn", L"-> get_hdd_sn()"));

    // No disk holds the drive: the first non-empty serial number. A missing Windows folder
    // means drive C.
    machine.faults.fail("windows_folder", machine.faults.calls("windows_folder") + 1);
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_EQ(identity.hashed.back(), stdext::wide_to_utf16le(identity.guid.text + L"UUSN1"));
    EXPECT_TRUE(log.contains(logging::level_info, L"search_disks", L"search for partitionC:"));

    // Without WMI the GUID alone.
    machine.faults.fail("connect", machine.faults.calls("connect") + 1);
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_EQ(identity.hashed.back(), stdext::wide_to_utf16le(identity.guid.text));
    EXPECT_EQ(identity.com_balance, 0);
}

TEST_F(DeviceId, WmiFailuresEndOnlyTheirOwnSearch) {
    const auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2").value();
    // A failed query is logged with its message and code and gives what was found so far.
    machine.faults.fail("exec_query", 1, 0x80041017);
    machine.messages.texts[0x80041017] = "Requ\xc3\xaate non valide.\r\n";
    EXPECT_EQ(telemetry::get_system_uuid(connection), L"");
    EXPECT_EQ(logged().back(),
              L"4 get_system_uuid err=exec_query failed: Requ\u00eate non "
              L"valide.\r\n 2147749911");
    // The UUID must be a text; a failing read of it is an error of the search.
    wmi.results[L"SELECT UUID FROM Win32_ComputerSystemProduct"] = {
        {{L"UUID", {winapi::vt_i4, {}}}}};
    EXPECT_EQ(telemetry::get_system_uuid(connection), L"");
    wmi.results[L"SELECT UUID FROM Win32_ComputerSystemProduct"] = {{}};
    EXPECT_EQ(telemetry::get_system_uuid(connection), L"");
    EXPECT_EQ(log.lines().back().function, L"get_system_uuid");
    wmi.results[L"SELECT UUID FROM Win32_ComputerSystemProduct"] = {};
    EXPECT_EQ(telemetry::get_system_uuid(connection), L"");

    // The disk walk fails on its third step: the serial of the first disk with one is kept.
    machine.faults.fail("next", machine.faults.calls("next") + 5, 0x80041010);
    EXPECT_EQ(telemetry::search_disks(connection, L"D:"), L"SN1");
    EXPECT_EQ(logged().back().substr(0, 53),
              L"4 search_disks err=objects_iterator::increment failed");
    // A failing association query ends that disk's search only.
    machine.faults.fail("exec_query", machine.faults.calls("exec_query") + 2, 0x80041017);
    EXPECT_EQ(telemetry::search_disks(connection, L"D:"), L"SN2");
    EXPECT_FALSE(telemetry::search_diskdrives_partitions(connection, L"PD1", L"D:"));
    // Only ASCII letters fold.
    EXPECT_FALSE(telemetry::search_logicaldisks(connection, L"P2#1", L"D;"));
    wmi.results[telemetry::logical_disks_query(L"P3")] = {{{L"Name", fake_wmi::text(L"\u00e9:")}}};
    EXPECT_FALSE(telemetry::search_logicaldisks(connection, L"P3", L"\u00c9:"));
}

TEST_F(DeviceId, OnlyAFailedDigestGivesTheZeroIdAndComIsBalanced) {
    machine.faults.fail("com_initialize", 1);
    machine.faults.fail("com_initialize_security", 1, 0x80010119);
    machine.faults.fail("sha1_hex", 1, 0x80090008);
    machine.faults.fail("connect", 1);
    machine.messages.texts[0x80090008] = "Ung\xc3\xbcltiger Algorithmus.\r\n";
    EXPECT_EQ(generate(), telemetry::zero_deviceid);
    EXPECT_EQ(identity.com_balance, 0);
    EXPECT_TRUE(log.contains(logging::level_error, L"initialize_security",
                             L"initialize_security err=-2147417831"));
    // The failed step with the system's message, read as UTF-8.
    EXPECT_TRUE(log.contains(logging::level_error, L"get_hash_string",
                             L"get_hash_string err=2148073480 sha1_hex failed: "
                             L"Ung\u00fcltiger Algorithmus.\r\n"));
    identity.digest.clear();
    EXPECT_EQ(generate(), telemetry::zero_deviceid);
    // Empty sources still give a digest, of nothing.
    identity.digest = L"da39a3ee5e6b4b0d3255bfef95601890afd80709";
    identity.guid = {0, L""};
    wmi.results.clear();
    EXPECT_EQ(generate(), identity.digest);
    EXPECT_TRUE(identity.hashed.back().empty());

    identity.out_of_memory = true;
    const auto hash = telemetry::get_hash_string({L"x"});
    ASSERT_FALSE(hash);
    EXPECT_EQ(hash.error().code.value(), 8);
    EXPECT_EQ(logged().back(), L"4 get_hash_string failed with std::bad_alloc");
}

TEST_F(DeviceId, MachineGuidFailuresGiveAnEmptyText) {
    machine.faults.fail("machine_guid", 1, 2);
    EXPECT_EQ(telemetry::get_machine_guid(), L"");
    EXPECT_EQ(logged().back(), L"4 get_machine_guid machine_guid failed err=2");
    identity.guid.size = 75;
    EXPECT_EQ(telemetry::get_machine_guid(), L"");
    EXPECT_EQ(logged().back(), L"4 get_machine_guid unexpected size=75");
    identity.guid.size = 74;
    EXPECT_EQ(telemetry::get_machine_guid(), identity.guid.text);
}

TEST_F(DeviceId, CalculatedIdIsKeptForTheProcess) {
    telemetry::calculated_device_id device_id;
    const std::wstring first = device_id.get();
    identity.digest = L"changed";
    EXPECT_EQ(device_id.get(), first);
}

TEST_F(DeviceId, AnonIdIsStoredOnceAndNeverReplaced) {
    machine.faults.fail("create_key", 1, 5);
    EXPECT_EQ(telemetry::GetAnonId(product_key), identity.digest);
    EXPECT_TRUE(
        log.contains(logging::level_info, L"GetAnonId", L"LoadAnonId failed, try to generate it"));

    EXPECT_EQ(telemetry::GetAnonId(product_key), identity.digest);
    EXPECT_EQ(
        machine.registry.get_string(winapi::hkey_local_machine, product_key, L"AnonId").value(),
        identity.digest);
    identity.digest = L"another";
    EXPECT_NE(telemetry::GetAnonId(product_key), identity.digest);
    EXPECT_EQ(machine.faults.calls("set_string"), 1);
}

}  // namespace
