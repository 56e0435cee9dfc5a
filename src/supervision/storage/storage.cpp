#include "supervision/storage/storage.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/win_error_category.h"

namespace supervision::storage {
namespace {

using nlohmann::json;

constexpr wchar_t storage_file[] = L".\\storage\\wardex.json";
constexpr wchar_t version_file[] = L".\\version.json";
constexpr wchar_t update_file[] = L".\\update.json";

stdext::unexpected<stdext::error> fail(std::uint32_t code, std::string text) {
    return stdext::unexpected(stdext::error{winapi::make_win_error(code), std::move(text)});
}

// Content that parsed as JSON but does not have the expected shape.
class shape_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The library's message without its "[json.exception.<kind>.<id>] " label.
std::string library_message(const json::exception& e) {
    std::string_view text = e.what();
    constexpr std::string_view label = "[json.exception.";
    if (text.substr(0, label.size()) == label) {
        const auto end = text.find("] ");
        if (end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
    }
    return std::string(text);
}

// A fraction is cut off toward zero; beyond the 64-bit range the value saturates.
template <class T>
T truncated(double value) {
    const double whole = std::trunc(value);
    if (whole >= 0) {
        return whole < 18446744073709551616.0 ? static_cast<T>(static_cast<std::uint64_t>(whole))
                                              : std::numeric_limits<T>::max();
    }
    return whole >= -9223372036854775808.0
               ? static_cast<T>(static_cast<std::int64_t>(whole))
               : static_cast<T>(std::numeric_limits<std::int64_t>::min());
}

// Any JSON number: integers are taken as they are (negative ones wrap as unsigned numbers do).
template <class T>
T number_member(const json& object, const char* key) {
    const json& value = object.at(key);
    switch (value.type()) {
        case json::value_t::number_unsigned:
            return static_cast<T>(value.get<std::uint64_t>());
        case json::value_t::number_integer:
            return static_cast<T>(value.get<std::int64_t>());
        case json::value_t::number_float:
            return truncated<T>(value.get<double>());
        default:
            throw shape_error(std::string("type must be number, but is ") + value.type_name());
    }
}

std::string string_member(const json& object, const char* key) {
    const json& value = object.at(key);
    if (!value.is_string()) {
        throw shape_error(std::string("type must be string, but is ") + value.type_name());
    }
    return value.get<std::string>();
}

template <class F>
auto convert(F&& f) -> stdext::expected<decltype(f())> {
    try {
        return f();
    } catch (const json::exception& e) {
        return fail(winapi::error_invalid_data, library_message(e));
    } catch (const shape_error& e) {
        return fail(winapi::error_invalid_data, e.what());
    }
}

stdext::expected<version_record> read_record(const std::wstring& folder, const wchar_t* name) {
    return read_json_file(stdext::path::join(folder, name)).and_then([](const json& value) {
        return convert([&] {
            return version_record{string_member(value, "version"), string_member(value, "path")};
        });
    });
}

// Read the whole storage, change one section (or start from defaults when the file cannot be
// read), write it back.
template <class Change>
stdext::expected<void> write_section(Change&& change) {
    auto current = wardex_storage::read_storage();
    storage_data data = current ? std::move(*current) : storage_data{};
    change(data);
    return wardex_storage::write_storage(data);
}

template <class Section, class Pick>
stdext::expected<Section> read_section(Pick&& pick) {
    return wardex_storage::read_storage().transform(std::forward<Pick>(pick));
}

}  // namespace

stdext::expected<std::string> read_text_file(const std::wstring& path) {
    auto content = winapi::facility<winapi::file_system>::get().read_file(path);
    if (!content) {
        return fail(winapi::error_gen_failure, content.error().failed_at(winapi::file_step::read)
                                                   ? "failed read from file"
                                                   : "failed open file");
    }
    return content;
}

stdext::expected<json> read_json_file(const std::wstring& path) {
    return read_text_file(path).and_then([](const std::string& text) -> stdext::expected<json> {
        try {
            return json::parse(text, nullptr, true, false);
        } catch (const json::exception& e) {
            return fail(winapi::error_invalid_data, "invalid json from file:" + library_message(e));
        }
    });
}

stdext::expected<void> write_text_file(const std::wstring& path, std::string_view text) {
    auto& fs = winapi::facility<winapi::file_system>::get();
    const std::wstring folder = stdext::path::parent(path);
    if (!folder.empty()) {
        if (auto made = fs.create_folder_tree(folder); !made) {
            return stdext::unexpected(
                stdext::error{made.error().code, "failed create parent folder"});
        }
    }
    // The new content goes to a temporary file that then takes the file's place. The file cannot
    // be opened for writing when no temporary file can be created or it cannot replace the file.
    if (auto written = winapi::write_file_replacing(path, text); !written) {
        const stdext::error& failure = written.error();
        return fail(winapi::error_gen_failure, failure.failed_at(winapi::file_step::write) ||
                                                       failure.failed_at(winapi::file_step::flush)
                                                   ? "failed write in file"
                                                   : "failed open file");
    }
    return {};
}

json storage_to_json(const storage_data& data) {
    json value = json::object();
    value["repair"] = {{"count", data.repair.count}, {"time", data.repair.time}};
    value["start_service"] = {{"count", data.start_service.count},
                              {"time", data.start_service.time}};
    value["local_update"] = {{"count", data.local_update.count},
                             {"time", data.local_update.time},
                             {"version", data.local_update.version}};
    value["tolvar_report"] = {{"last_report_time", data.tolvar_report.last_report_time}};
    return value;
}

stdext::expected<storage_data> storage_from_json(const json& value) {
    return convert([&] {
        storage_data data;
        const json& repair = value.at("repair");
        data.repair.count = number_member<std::uint32_t>(repair, "count");
        data.repair.time = number_member<std::uint64_t>(repair, "time");
        // Files of older supervisors have no "start_service" section.
        if (value.contains("start_service")) {
            const json& start = value.at("start_service");
            data.start_service.count = number_member<std::uint32_t>(start, "count");
            data.start_service.time = number_member<std::uint64_t>(start, "time");
        }
        const json& update = value.at("local_update");
        data.local_update.count = number_member<std::uint32_t>(update, "count");
        data.local_update.time = number_member<std::uint64_t>(update, "time");
        data.local_update.version = string_member(update, "version");
        const json& report = value.at("tolvar_report");
        data.tolvar_report.last_report_time =
            number_member<std::uint64_t>(report, "last_report_time");
        return data;
    });
}

std::string serialize(const storage_data& data) {
    // The object type keeps its keys in ascending byte order, so the text is stable. A version
    // that is not valid UTF-8 is written with replacement characters rather than failing.
    return storage_to_json(data).dump(-1, ' ', false, json::error_handler_t::replace);
}

stdext::expected<std::wstring> wardex_storage::path() {
    auto current = winapi::facility<winapi::file_system>::get().current_directory();
    if (!current) {
        return stdext::unexpected(stdext::error{current.error().code, ""});
    }
    return stdext::path::join(*current, storage_file);
}

stdext::expected<storage_data> wardex_storage::read_storage() {
    return path().and_then(read_json_file).and_then(storage_from_json);
}

stdext::expected<void> wardex_storage::write_storage(const storage_data& data) {
    return path().and_then(
        [&data](const std::wstring& file) { return write_text_file(file, serialize(data)); });
}

stdext::expected<repair_data> wardex_storage::read_repair_data() {
    return read_section<repair_data>([](const storage_data& d) { return d.repair; });
}

stdext::expected<start_service_data> wardex_storage::read_start_service_data() {
    return read_section<start_service_data>([](const storage_data& d) { return d.start_service; });
}

stdext::expected<local_update_data> wardex_storage::read_local_update_data() {
    return read_section<local_update_data>(
        [](storage_data&& d) { return std::move(d.local_update); });
}

stdext::expected<tolvar_report_data> wardex_storage::read_tolvar_report_data() {
    return read_section<tolvar_report_data>([](const storage_data& d) { return d.tolvar_report; });
}

stdext::expected<void> wardex_storage::write_repair_data(const repair_data& data) {
    return write_section([&](storage_data& d) { d.repair = data; });
}

stdext::expected<void> wardex_storage::write_start_service_data(const start_service_data& data) {
    return write_section([&](storage_data& d) { d.start_service = data; });
}

stdext::expected<void> wardex_storage::write_local_update_data(const local_update_data& data) {
    return write_section([&](storage_data& d) { d.local_update = data; });
}

stdext::expected<void> wardex_storage::write_tolvar_report_data(const tolvar_report_data& data) {
    return write_section([&](storage_data& d) { d.tolvar_report = data; });
}

stdext::expected<version_record> version_json_storage::read(const std::wstring& folder) {
    return read_record(folder, version_file);
}

stdext::expected<update_record> update_json_storage::read(const std::wstring& folder) {
    return read_record(folder, update_file);
}

}  // namespace supervision::storage
