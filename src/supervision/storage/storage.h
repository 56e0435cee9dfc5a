// The supervisor's JSON files: its own state file ".\storage\wardex.json" with the counters of the
// check-and-repair run, the local update attempt and the last telemetry report, and the agent's
// version and update records. Also the generic whole-file text and JSON operations whose error
// texts every caller logs. Nothing here throws: every failure is an error record with a number
// in the win_error category and a narrow text.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "stdext/expected.h"

namespace supervision::storage {

// The whole content of the file as narrow text. Errors: 31 "failed open file", 31 "failed read
// from file".
[[nodiscard]] stdext::expected<std::string> read_text_file(const std::wstring& path);

// The file parsed as one strict JSON value. Errors: those of read_text_file, and 13 "invalid json
// from file:" followed by the parser's message.
[[nodiscard]] stdext::expected<nlohmann::json> read_json_file(const std::wstring& path);

// Replaces the file's content with text, creating its folder (and the folders above) when
// missing. The file holds either the old or the new content, never a part of it. Errors: the
// system's number with "failed create parent folder", 31 "failed open file", 31 "failed write in
// file".
[[nodiscard]] stdext::expected<void> write_text_file(const std::wstring& path,
                                                     std::string_view text);

struct repair_data {
    std::uint32_t count = 0;
    std::uint64_t time = 0;  // seconds since 1970-01-01 UTC
    bool operator==(const repair_data&) const = default;
};

struct start_service_data {
    std::uint32_t count = 0;
    std::uint64_t time = 0;
    bool operator==(const start_service_data&) const = default;
};

struct local_update_data {
    std::uint32_t count = 0;
    std::uint64_t time = 0;
    std::string version;  // UTF-8
    bool operator==(const local_update_data&) const = default;
};

struct tolvar_report_data {
    std::uint64_t last_report_time = 0;
    bool operator==(const tolvar_report_data&) const = default;
};

struct storage_data {
    repair_data repair;
    start_service_data start_service;
    local_update_data local_update;
    tolvar_report_data tolvar_report;
    bool operator==(const storage_data&) const = default;
};

// The supervisor's state file in the current directory. A read fails on a missing, unreadable or
// malformed file (13 with the JSON library's message when the content does not fit); a section
// write replaces such a file by a fresh one that holds the new section and defaults elsewhere.
class wardex_storage {
public:
    // The current directory joined with ".\storage\wardex.json". A failure of the current
    // directory carries the system's number and an empty text.
    [[nodiscard]] static stdext::expected<std::wstring> path();

    [[nodiscard]] static stdext::expected<storage_data> read_storage();
    [[nodiscard]] static stdext::expected<void> write_storage(const storage_data& data);

    [[nodiscard]] static stdext::expected<repair_data> read_repair_data();
    [[nodiscard]] static stdext::expected<start_service_data> read_start_service_data();
    [[nodiscard]] static stdext::expected<local_update_data> read_local_update_data();
    [[nodiscard]] static stdext::expected<tolvar_report_data> read_tolvar_report_data();

    [[nodiscard]] static stdext::expected<void> write_repair_data(const repair_data& data);
    [[nodiscard]] static stdext::expected<void> write_start_service_data(
        const start_service_data& data);
    [[nodiscard]] static stdext::expected<void> write_local_update_data(
        const local_update_data& data);
    [[nodiscard]] static stdext::expected<void> write_tolvar_report_data(
        const tolvar_report_data& data);
};

// The storage record as JSON and back, by the rules of the state file: "start_service" may be
// missing, other sections and their members are required, numbers of any JSON number type are
// accepted (fractions truncated), other members are ignored. A conversion error's text is the
// JSON library's message.
[[nodiscard]] nlohmann::json storage_to_json(const storage_data& data);
[[nodiscard]] stdext::expected<storage_data> storage_from_json(const nlohmann::json& value);

// The compact, key-ordered text of the state file.
[[nodiscard]] std::string serialize(const storage_data& data);

// The agent's version record ".\version.json" and update record ".\update.json": the string
// members "version" and "path" (UTF-8), both required.
struct version_record {
    std::string version;
    std::string path;
    bool operator==(const version_record&) const = default;
};
using update_record = version_record;

class version_json_storage {
public:
    // folder joined with ".\version.json".
    [[nodiscard]] static stdext::expected<version_record> read(const std::wstring& folder);
};

class update_json_storage {
public:
    // folder joined with ".\update.json".
    [[nodiscard]] static stdext::expected<update_record> read(const std::wstring& folder);
};

}  // namespace supervision::storage
