#include "dllprotect/trust_decisions.h"

#include <fmt/format.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "dllprotect/thread_state.h"
#include "dllprotect/write_permission.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/unique_handle.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/library_paths.h"
#include "winapi/modules.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"

namespace dllprotect {
namespace {

constexpr std::wstring_view extended_prefix = L"\\\\?\\";
constexpr std::wstring_view extended_unc_prefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view global_root = L"\\\\?\\GLOBALROOT";
constexpr std::size_t extended_path_threshold = 200;

winapi::library_paths& libraries() {
    return winapi::facility<winapi::library_paths>::get();
}

// "err:0x" and a Windows error in lower-case hexadecimal.
std::string error_text(std::uint32_t code) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "err:0x%x", static_cast<unsigned>(code));
    return text.data();
}

std::uint32_t code_of(const stdext::error& e) {
    return static_cast<std::uint32_t>(e.code.value());
}

// The data-file mapping of a library, released on every way out of the checks.
struct datafile_traits {
    using handle_type = winapi::hmodule;
    [[nodiscard]] static constexpr winapi::hmodule empty() noexcept { return 0; }
    static void close(winapi::hmodule module) noexcept {
        if (auto* impl = winapi::facility<winapi::library_paths>::find()) {
            impl->free_library(module);
        }
    }
};
using unique_datafile = stdext::unique_handle<datafile_traits>;

// The path elements: what lies between separators, empty ones dropped.
std::vector<std::wstring_view> elements(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || stdext::path::is_separator(path[i])) {
            if (i > start) {
                parts.push_back(path.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return parts;
}

// The first `count` elements of a path written as a path again: a UNC or device path keeps its
// leading "\\", a lone drive gets its root separator.
std::wstring rebuild(std::wstring_view original, const std::vector<std::wstring_view>& parts,
                     std::size_t count) {
    std::wstring path;
    if (original.size() >= 2 && stdext::path::is_separator(original[0]) &&
        stdext::path::is_separator(original[1])) {
        path = L"\\\\";
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            path += L'\\';
        }
        path += parts[i];
    }
    if (count == 1 && !path.empty() && path.back() == L':') {
        path += L'\\';
    }
    return path;
}

// The canonical spelling of a file or folder: its final path with the "\\?\" prefix of a drive
// path removed and "\\?\UNC\" turned into "\\"; a path with only an NT form is reached through
// the global root.
stdext::expected<std::wstring> canonical(const std::wstring& path) {
    auto final = libraries().final_path(path, winapi::final_path_form::dos);
    if (!final) {
        if (code_of(final.error()) != winapi::error_path_not_found) {
            return final;
        }
        auto nt = libraries().final_path(path, winapi::final_path_form::nt);
        if (!nt) {
            return nt;
        }
        return std::wstring(global_root) + *nt;
    }
    std::wstring_view text = *final;
    if (text.starts_with(extended_unc_prefix)) {
        return L"\\\\" + std::wstring(text.substr(extended_unc_prefix.size()));
    }
    if (text.starts_with(extended_prefix)) {
        return std::wstring(text.substr(extended_prefix.size()));
    }
    return *final;
}

// The document of the blacklist file is kept for the life of the process.
nlohmann::json& blacklist_document() {
    static nlohmann::json document;
    return document;
}

// The blacklist is an object holding an array of strings: three levels. Arrays and objects
// nested deeper are dropped while parsing, so that no recursive walk of the document (a copy, a
// comparison, a dump) can be driven into a stack overflow by the file. The entry that held them
// stays, as an array or object, and is skipped like any other entry that is not a string.
constexpr int blacklist_max_depth = 16;

nlohmann::json parse_blacklist(const std::string& text) {
    const nlohmann::json::parser_callback_t bounded =
        [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            return depth <= blacklist_max_depth ||
                   (event != nlohmann::json::parse_event_t::object_start &&
                    event != nlohmann::json::parse_event_t::array_start);
        };
    return nlohmann::json::parse(text, bounded, false);
}

// What a skipped entry was, without serialising a structure: a scalar as JSON text, an array
// or object by its kind and size.
std::string describe_entry(const nlohmann::json& entry) {
    if (entry.is_structured()) {
        return fmt::format("{} of {} element(s)", entry.type_name(), entry.size());
    }
    return entry.dump();
}

// The canonical form, element count and identity of an existing folder; nothing when the path
// names no directory.
stdext::expected<std::optional<known_folder>> find_folder(const std::wstring& folder) {
    using found = std::optional<known_folder>;
    return winapi::facility<winapi::file_system>::get().status(folder).and_then(
        [&folder](winapi::file_type type) -> stdext::expected<found> {
            if (type != winapi::file_type::directory) {
                return found();
            }
            return canonical(folder).and_then([&folder](std::wstring&& canonical_folder) {
                return winapi::facility<winapi::file_identity>::get()
                    .identify(canonical_folder)
                    .transform([&](const winapi::file_id& id) {
                        const std::size_t count = elements(canonical_folder).size();
                        return found(known_folder{folder, std::move(canonical_folder), count, id});
                    });
            });
        });
}

std::optional<known_folder> known(const std::wstring& folder) {
    for (const known_folder& k : decisions().known_folders) {
        if (k.path == folder) {
            return k;
        }
    }
    return std::nullopt;
}

bool is_absolute_name(const std::wstring& name) {
    return stdext::path::is_absolute(name);
}

}  // namespace

decision_state& decisions() noexcept {
    static decision_state state;
    return state;
}

void capture_trusted_dirs() {
    trusted_dirs& dirs = decisions().dirs;
    dirs.system_dir = libraries().system_folder().value_or(L"");
    dirs.windows_dir = libraries().windows_folder().value_or(L"");
    dirs.program_files_dir = libraries().environment_variable(L"ProgramFiles").value_or(L"");
    auto& modules = winapi::facility<winapi::modules>::get();
    auto exe = winapi::module_file_name(modules.self());
    dirs.exe_dir = exe ? std::wstring(stdext::path::split(*exe).folder) : std::wstring();

    std::vector<known_folder>& known_folders = decisions().known_folders;
    known_folders.clear();
    for (const std::wstring* folder :
         {&dirs.system_dir, &dirs.windows_dir, &dirs.program_files_dir, &dirs.exe_dir}) {
        if (auto facts = find_folder(*folder).value_or(std::nullopt)) {
            known_folders.push_back(std::move(*facts));
        }
    }
}

void build_nt_device_table() {
    std::vector<nt_device>& devices = decisions().devices;
    devices.clear();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        auto device = libraries().dos_device(letter);
        if (!device || device->empty()) {
            continue;
        }
        devices.push_back({stdext::path::ending_in_backslash(*device), letter});
    }
}

void readBlacklistJson() {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    std::set<std::wstring>& blacklist = decisions().blacklist;
    blacklist.clear();
    const std::wstring path = decisions().dirs.exe_dir + L"dllblacklist.json";
    auto text = winapi::facility<winapi::file_system>::get().read_file(path);
    if (!text) {
        return;
    }
    nlohmann::json& document = blacklist_document();
    document = parse_blacklist(*text);
    if (document.is_discarded() || !document.is_object()) {
        return;
    }
    auto list = document.find("blacklist");
    if (list == document.end() || !list->is_array()) {
        return;
    }
    for (const nlohmann::json& entry : *list) {
        // One entry of another type must not cost the whole list or the engine's start.
        if (!entry.is_string()) {
            DLLPROTECT_TRACE(logging::level_warning, "black list entry ignored: %s",
                             describe_entry(entry).c_str());
            continue;
        }
        const std::string& name = entry.get_ref<const std::string&>();
        DLLPROTECT_TRACE(logging::level_info, "%s",
                         fmt::format("black listed file: {}", name).c_str());
        blacklist.insert(stdext::utf8_to_wide(name));
    }
}

std::wstring to_extended_path(const std::wstring& path) {
    if (path.size() >= extended_path_threshold && !path.starts_with(extended_prefix)) {
        return std::wstring(extended_prefix) + path;
    }
    return path;
}

namespace {

// The file's side of is_inside_dir, found once however many folders it is compared with.
struct file_facts {
    std::wstring path;  // in its extended form
    stdext::expected<winapi::file_type> type;
    std::optional<stdext::expected<std::wstring>> canonical;  // found when first needed
};

file_facts facts_of(const std::wstring& file) {
    std::wstring path = to_extended_path(file);
    auto type = winapi::facility<winapi::file_system>::get().status(path);
    return {std::move(path), std::move(type), std::nullopt};
}

// Whether the canonical file lies in the folder: the file's folder cut to as many elements as the
// folder has must be the folder itself.
stdext::expected<bool> inside_known(const std::wstring& canonical_file,
                                    const known_folder& folder) {
    auto file_parts = elements(canonical_file);
    file_parts.pop_back();  // the file's own name: what remains is its folder
    if (file_parts.size() < folder.elements) {
        return false;
    }
    const std::wstring prefix = rebuild(canonical_file, file_parts, folder.elements);
    // One spelling names one object; other spellings are compared by identity.
    if (prefix == folder.canonical) {
        return true;
    }
    return winapi::facility<winapi::file_identity>::get().identify(prefix).transform(
        [&folder](const winapi::file_id& id) { return id == folder.id; });
}

// The body of is_inside_dir, traced under that name for every folder it is asked about.
stdext::expected<bool> inside(file_facts& file, const std::wstring& folder) {
    DLLPROTECT_TRACE_SCOPE_FOR("is_inside_dir", logging::level_trace);
    return file.type.and_then([&](winapi::file_type type) {
        const auto known_facts = known(folder);
        const auto folder_facts = known_facts
                                      ? stdext::expected<std::optional<known_folder>>(known_facts)
                                      : find_folder(to_extended_path(folder));
        return folder_facts.and_then(
            [&](const std::optional<known_folder>& facts) -> stdext::expected<bool> {
                if (!facts || type != winapi::file_type::regular) {
                    return false;
                }
                if (!file.canonical) {
                    file.canonical = canonical(file.path);
                }
                return file.canonical->and_then([&](const std::wstring& canonical_file) {
                    return inside_known(canonical_file, *facts);
                });
            });
    });
}

}  // namespace

stdext::expected<bool> is_inside_dir(const std::wstring& file, const std::wstring& folder) {
    file_facts facts = facts_of(file);
    return inside(facts, folder);
}

namespace helpers {

bool is_trusted_path(const std::wstring& path) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    const trusted_dirs& dirs = decisions().dirs;
    // The file is looked at once for the four folders; errors count as "not inside".
    file_facts file = facts_of(path);
    const auto is_inside = [&file](const std::wstring& folder) {
        return inside(file, folder).value_or(false);
    };
    if (is_inside(dirs.system_dir) || is_inside(dirs.windows_dir)) {
        DLLPROTECT_TRACEW(logging::level_info,
                          L"path: %ls is TRUSTED. Reason: is in system32 or in windows dir",
                          path.c_str());
        return true;
    }
    if (is_inside(dirs.exe_dir) && is_inside(dirs.program_files_dir)) {
        DLLPROTECT_TRACEW(
            logging::level_info,
            L"path: %ls is TRUSTED. Reason: is in exe_dir and file is in programmfiles_dir",
            path.c_str());
        return true;
    }
    DLLPROTECT_TRACEW(logging::level_info, L"path: %ls is UNTRUSTED", path.c_str());
    return false;
}

}  // namespace helpers

bool is_blacklisted(std::wstring path) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    path = stdext::to_lower(path, stdext::case_rule::ascii);
    bool listed = false;
    for (const std::wstring& entry : decisions().blacklist) {
        if (path.ends_with(entry)) {
            listed = true;
            break;
        }
    }
    DLLPROTECT_TRACEW(logging::level_info, L"path %ls is %ls", path.c_str(),
                      listed ? L"BLACKLISTED" : L"NOT blacklisted");
    return listed;
}

bool VerifyEmbeddedSignature(const std::wstring& path) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    const std::int32_t result =
        winapi::facility<winapi::trust>::get().verify_embedded_with_state(path);
    DLLPROTECT_TRACEW(logging::level_info, L"VerifyEmbeddedSignature for file %ls returned %d",
                      path.c_str(), static_cast<int>(result));
    return result == 0;
}

stdext::expected<std::wstring> get_module_path_extended(const std::wstring& nt_path) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (auto direct = libraries().final_path_of_nt_path(nt_path)) {
        return *direct;
    }
    for (const nt_device& device : decisions().devices) {
        if (!nt_path.starts_with(device.device)) {
            continue;
        }
        std::wstring dos{device.letter, L':', L'\\'};
        dos += nt_path.substr(device.device.size());
        return libraries().long_path(dos);
    }
    return stdext::unexpected(
        winapi::win_failure(winapi::error_path_not_found, "no drive letter for the device"));
}

ProtectResult PerformSecurityChecks(const std::wstring& requested_name, std::uint32_t flags,
                                    std::wstring& load_path, std::string& error_info) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    const decision_state& state = decisions();
    load_path = requested_name;

    // The loader resolves the name exactly as the real load would, without running its code.
    auto mapped =
        libraries().load_library(requested_name, flags | winapi::load_library_as_datafile);
    if (!mapped) {
        error_info = error_text(code_of(mapped.error()));
        DLLPROTECT_TRACEW(logging::level_info, L"path %ls couldn't be found",
                          requested_name.c_str());
        return LOAD_FAILED;
    }
    const unique_datafile datafile(*mapped);

    auto nt_path = libraries().mapped_file_name(datafile.get());
    if (!nt_path) {
        error_info = error_text(code_of(nt_path.error()));
        DLLPROTECT_TRACE(logging::level_warning, "GETMAPPEDFILE_FAILED %s", error_info.c_str());
        return GETMAPPEDFILE_FAILED;
    }
    DLLPROTECT_TRACEW(logging::level_info, L"nt path is %ls", nt_path->c_str());

    const auto converted = get_module_path_extended(*nt_path);
    if (!converted) {
        if (is_absolute_name(requested_name) && (state.options & OPT_CHECK_SIGNATURE) != 0) {
            if (winverifytrust_depth > 0) {
                return IN_WINVERIFYTRUST_CALL;
            }
            if (VerifyEmbeddedSignature(requested_name)) {
                return PROTECT_SUCCESS;
            }
        }
        // The conversion's own code is not what is reported: the thread's last error is.
        error_info = error_text(libraries().last_error());
        DLLPROTECT_TRACE(logging::level_warning, "GETPATH_FAILED failed: %s", error_info.c_str());
        return GETPATH_FAILED;
    }
    const std::wstring& dos_path = *converted;
    DLLPROTECT_TRACEW(logging::level_info, L"dllpath is %ls", dos_path.c_str());
    load_path = dos_path;

    // The blacklist wins over every trust rule.
    if ((state.options & OPT_USE_BLACKLIST) != 0 && is_blacklisted(dos_path)) {
        return DLL_BLOCKED;
    }
    if (helpers::is_trusted_path(dos_path)) {
        return PROTECT_SUCCESS;
    }
    error_info = "paths: exe: " + stdext::wide_to_utf8(state.dirs.exe_dir) +
                 " prog: " + stdext::wide_to_utf8(state.dirs.program_files_dir);

    // The cheap permission test comes before the slow signature test.
    if ((state.options & OPT_CHECK_WRITE_ACCESS) != 0 &&
        !CanUserWrite(stdext::path::parent(dos_path))) {
        return PROTECT_SUCCESS;
    }
    if ((state.options & OPT_CHECK_SIGNATURE) != 0) {
        // Libraries loaded by a trust provider while it verifies are not verified in turn.
        if (winverifytrust_depth > 0) {
            DLLPROTECT_TRACE(logging::level_info, "in winverify trust value %d",
                             static_cast<int>(winverifytrust_depth));
            return IN_WINVERIFYTRUST_CALL;
        }
        if (VerifyEmbeddedSignature(dos_path)) {
            return PROTECT_SUCCESS;
        }
    }
    DLLPROTECT_TRACEW(logging::level_info, L"%ls is a VULNERABLE_PATH", dos_path.c_str());
    return VULNERABLE_PATH;
}

}  // namespace dllprotect
