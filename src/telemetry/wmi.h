// Reading facts from WMI, in two styles.
//
// One-shot queries initialise COM on the calling thread, connect to "ROOT\CIMV2", run one query,
// read one property and tear everything down again; they raise on failure:
//
//     const std::wstring model = telemetry::wmi_query_string(
//         L"Select * from Win32_ComputerSystem", L"Model");
//
// A held connection serves several queries on a thread whose COM the caller has initialised:
//
//     auto connection = telemetry::wmi_connection::connect(L"ROOT\\CIMV2");
//     for (auto it = connection->exec_query(query); !it.at_end(); ++it) {
//         auto serial = telemetry::get_property(it, L"SerialNumber");
//     }
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "winapi/wmi.h"

namespace telemetry {

// The error code get_property gives for a value that is not a text.
inline constexpr std::uint32_t error_unknown_property = 1608;

// The property of the first object of the query that has it; raises std::runtime_error
// "Property not found" when no object has it, or when the property is not a text, and
// std::system_error (with the HRESULT) when a step of the query fails.
[[nodiscard]] std::wstring wmi_query_string(const std::wstring& query,
                                            const std::wstring& property);
// The property of every object that has it, in enumeration order; possibly none. Raises as
// wmi_query_string does, except for objects without the property.
[[nodiscard]] std::vector<std::wstring> wmi_query_strings(const std::wstring& query,
                                                          const std::wstring& property);

// The objects of a query, one at a time; at the end it holds none.
class objects_iterator {
public:
    objects_iterator() = default;
    // Positioned on the first object of objects, or at the end.
    explicit objects_iterator(std::unique_ptr<winapi::wmi_objects> objects);

    // Moves to the next object; raises std::system_error "objects_iterator::increment failed".
    objects_iterator& operator++();
    [[nodiscard]] bool at_end() const noexcept { return objects_ == nullptr; }
    // The current object's property; the error's code is the HRESULT of the failed get.
    [[nodiscard]] stdext::expected<winapi::wmi_value> get(const std::wstring& name) const;

private:
    std::unique_ptr<winapi::wmi_objects> objects_;
};

class wmi_connection {
public:
    // Connects to name_space; the error's code is the failed step's HRESULT.
    [[nodiscard]] static stdext::expected<wmi_connection> connect(const std::wstring& name_space);

    // The query's objects; raises std::system_error "IWbemServices::ExecQuery failed".
    [[nodiscard]] objects_iterator exec_query(const std::wstring& query) const;

private:
    explicit wmi_connection(std::unique_ptr<winapi::wmi_connection> held)
        : held_(std::move(held)) {}
    std::unique_ptr<winapi::wmi_connection> held_;
};

// The current object's property; raises std::system_error "wmi get object property failed".
[[nodiscard]] winapi::wmi_value get_object_property(const objects_iterator& object,
                                                    const std::wstring& name);
// The current object's text property. A failed get is logged (level 4, "get_property") as
// "obect get <name> err=<code>" and returned; a value of another type is logged as
// "obect get type=<type> expected=8" and gives error_unknown_property.
[[nodiscard]] stdext::expected<std::wstring> get_property(const objects_iterator& object,
                                                          const std::wstring& name);

// The partitions of a disk drive and the logical disks of a partition; the id is used as read.
[[nodiscard]] std::wstring disk_partitions_query(const std::wstring& disk_id);
[[nodiscard]] std::wstring logical_disks_query(const std::wstring& partition_id);

}  // namespace telemetry
