#include "telemetry/wmi.h"

#include <stdexcept>
#include <string>

#include "logging/log.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace telemetry {
namespace {

constexpr const char* not_found = "Property not found";
constexpr const char* not_text = "IEnumWbemClassObject::Next the property isn't VT_BSTR";
constexpr const char* next_failed = "IEnumWbemClassObject::Next failed";

// A failed step raises a system error with its HRESULT; a success that lacked its interface
// (code 0) raises a runtime error with the text alone.
[[noreturn]] void raise(const stdext::error& failure) {
    if (failure.code.value() == 0) {
        throw std::runtime_error(failure.text);
    }
    winapi::throw_win_error(static_cast<std::uint32_t>(failure.code.value()), failure.text);
}

template <class T>
T take(stdext::expected<T> result) {
    if (!result) {
        raise(result.error());
    }
    return std::move(*result);
}

bool is_text(const winapi::wmi_value& value) {
    return value.type == winapi::vt_bstr && value.text.has_value();
}

// Runs the query on a connection of its own and hands its objects to read.
template <class Read>
auto one_shot(const std::wstring& query, Read read) {
    const auto connection = take(winapi::facility<winapi::wmi>::get().open_cimv2());
    const auto objects = take(connection->exec_query(query));
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
                winapi::throw_win_error(static_cast<std::uint32_t>(step.result), next_failed);
            }
            if (!step.has_object) {
                winapi::throw_win_error(0, "IEnumWbemClassObject::Next return empty objects");
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
                winapi::throw_win_error(static_cast<std::uint32_t>(step.result), next_failed);
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
        winapi::throw_win_error(static_cast<std::uint32_t>(step.result),
                                "objects_iterator::increment failed");
    }
    return *this;
}

stdext::expected<winapi::wmi_value> objects_iterator::get(const std::wstring& name) const {
    return objects_->get(name);
}

stdext::expected<wmi_connection> wmi_connection::connect(const std::wstring& name_space) {
    auto held = winapi::facility<winapi::wmi>::get().connect(name_space);
    if (!held) {
        return stdext::unexpected(held.error());
    }
    return wmi_connection(std::move(*held));
}

objects_iterator wmi_connection::exec_query(const std::wstring& query) const {
    return objects_iterator(take(held_->exec_query(query)));
}

winapi::wmi_value get_object_property(const objects_iterator& object, const std::wstring& name) {
    auto value = object.get(name);
    if (!value) {
        winapi::throw_win_error(static_cast<std::uint32_t>(value.error().code.value()),
                                "wmi get object property failed");
    }
    return std::move(*value);
}

stdext::expected<std::wstring> get_property(const objects_iterator& object,
                                            const std::wstring& name) {
    auto value = object.get(name);
    if (!value) {
        logging::logger_stream(logging::level_error, L"get_property")
            << L"obect get " << name << L" err=" << value.error().code.value();
        return stdext::unexpected(value.error());
    }
    if (value->type != winapi::vt_bstr) {
        logging::logger_stream(logging::level_error, L"get_property")
            << L"obect get type=" << value->type << L" expected=" << winapi::vt_bstr;
        return stdext::unexpected(winapi::win_failure(error_unknown_property, "get_property type"));
    }
    return value->text.value_or(std::wstring());
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
