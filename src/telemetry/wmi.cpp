#include "telemetry/wmi.h"

#include <stdexcept>
#include <string>

#include "logging/log.h"
#include "stdext/raise.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace telemetry {
namespace {

constexpr const char* not_found = "Property not found";
constexpr const char* not_text = "IEnumWbemClassObject::Next the property isn't VT_BSTR";
constexpr const char* next_failed = "IEnumWbemClassObject::Next failed";

// A failed step raises a system error with its HRESULT; a success that lacked its interface
// (code 0) raises a runtime error with the text alone.
constexpr auto numbered = stdext::raised::numbered;

bool is_text(const winapi::wmi_value& value) {
    return value.type == winapi::vt_bstr && value.text.has_value();
}

// Runs the query on a connection of its own and hands its objects to read.
template <class Read>
auto one_shot(const std::wstring& query, Read read) {
    const auto connection =
        stdext::value_or_raise(winapi::facility<winapi::wmi>::get().open_cimv2(), numbered);
    const auto objects = stdext::value_or_raise(connection->exec_query(query), numbered);
    return read(*objects);
}

}  // namespace

std::wstring wmi_query_string(const std::wstring& query, const std::wstring& property) {
    return one_shot(query, [&](winapi::wmi_objects& objects) {
        for (;;) {
            const winapi::wmi_step step = objects.next();
            if (step.result == winapi::wbem_s_false) {
                throw std::runtime_error(not_found);
            }
            if (step.result != 0) {
                stdext::raise(
                    winapi::win_failure(static_cast<std::uint32_t>(step.result), next_failed));
            }
            if (!step.has_object) {
                stdext::raise(
                    winapi::win_failure(0, "IEnumWbemClassObject::Next return empty objects"));
            }
            // An object without the property is passed over.
            if (const auto value = objects.get(property)) {
                if (!is_text(*value)) {
                    throw std::runtime_error(not_text);
                }
                return *value->text;
            }
        }
    });
}

std::vector<std::wstring> wmi_query_strings(const std::wstring& query,
                                            const std::wstring& property) {
    return one_shot(query, [&](winapi::wmi_objects& objects) {
        std::vector<std::wstring> texts;
        for (;;) {
            const winapi::wmi_step step = objects.next();
            if (step.result == winapi::wbem_s_false || (step.result == 0 && !step.has_object)) {
                return texts;
            }
            if (step.result != 0) {
                stdext::raise(
                    winapi::win_failure(static_cast<std::uint32_t>(step.result), next_failed));
            }
            if (const auto value = objects.get(property)) {
                if (!is_text(*value)) {
                    throw std::runtime_error(not_text);
                }
                texts.push_back(*value->text);
            }
        }
    });
}

objects_iterator::objects_iterator(std::unique_ptr<winapi::wmi_objects> objects)
    : objects_(std::move(objects)) {
    ++*this;
}

objects_iterator& objects_iterator::operator++() {
    const winapi::wmi_step step = objects_->next();
    if (step.result == winapi::wbem_s_false) {
        objects_.reset();
    } else if (step.result != 0) {
        stdext::raise(winapi::win_failure(static_cast<std::uint32_t>(step.result),
                                          "objects_iterator::increment failed"));
    }
    return *this;
}

stdext::expected<winapi::wmi_value> objects_iterator::get(const std::wstring& name) const {
    return objects_->get(name);
}

stdext::expected<wmi_connection> wmi_connection::connect(const std::wstring& name_space) {
    return winapi::facility<winapi::wmi>::get().connect(name_space).transform([](auto&& held) {
        return wmi_connection(std::move(held));
    });
}

objects_iterator wmi_connection::exec_query(const std::wstring& query) const {
    return objects_iterator(stdext::value_or_raise(held_->exec_query(query), numbered));
}

winapi::wmi_value get_object_property(const objects_iterator& object, const std::wstring& name) {
    return stdext::value_or_raise(object.get(name), "wmi get object property failed");
}

stdext::expected<std::wstring> get_property(const objects_iterator& object,
                                            const std::wstring& name) {
    const auto value = object.get(name);
    if (!value) {
        logging::logger_stream(logging::level_error, L"get_property")
            << L"obect get " << name << L" err=" << value.error().code.value();
    }
    return value.and_then([](const winapi::wmi_value& got) -> stdext::expected<std::wstring> {
        if (got.type != winapi::vt_bstr) {
            logging::logger_stream(logging::level_error, L"get_property")
                << L"obect get type=" << got.type << L" expected=" << winapi::vt_bstr;
            return stdext::unexpected(
                winapi::win_failure(error_unknown_property, "get_property type"));
        }
        return got.text.value_or(std::wstring());
    });
}

std::wstring disk_partitions_query(const std::wstring& disk_id) {
    return L"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='" + disk_id +
           L"'} where AssocClass = Win32_DiskDriveToDiskPartition";
}

std::wstring logical_disks_query(const std::wstring& partition_id) {
    return L"ASSOCIATORS OF {Win32_DiskPartition.DeviceID='" + partition_id +
           L"'} where AssocClass = Win32_LogicalDiskToPartition";
}

}  // namespace telemetry
