#include "winapi/file_system.h"

#include <vector>

#include "stdext/error.h"
#include "winapi/facility.h"

namespace winapi {
namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "C:\" or "\" or "/": a root has no parent.
bool is_root(std::wstring_view path) {
    if (path.size() == 1 && is_separator(path[0])) {
        return true;
    }
    return (path.size() == 2 || path.size() == 3) && path[1] == L':' &&
           (path.size() == 2 || is_separator(path[2]));
}

}  // namespace

std::wstring join_path(std::wstring_view folder, std::wstring_view relative) {
    std::wstring joined(folder);
    if (!joined.empty() && !is_separator(joined.back()) && !relative.empty()) {
        joined += L'\\';
    }
    joined += relative;
    return joined;
}

std::wstring parent_folder(std::wstring_view path) {
    while (path.size() > 1 && is_separator(path.back()) && !is_root(path)) {
        path.remove_suffix(1);
    }
    const auto pos = path.find_last_of(L"\\/");
    if (pos == std::wstring_view::npos) {
        // "C:name" lies in the current folder of drive C.
        return path.size() > 2 && path[1] == L':' ? std::wstring(path.substr(0, 2)) : L"";
    }
    std::wstring_view parent = path.substr(0, pos + 1);
    while (parent.size() > 1 && is_separator(parent.back()) && !is_root(parent)) {
        parent.remove_suffix(1);
    }
    return std::wstring(parent);
}

std::uint32_t create_folder_tree(const std::wstring& folder) {
    auto& fs = facility<file_system>::get();
    // Walk up to the nearest existing folder, then create the missing ones downwards.
    std::vector<std::wstring> missing;
    for (std::wstring f = folder; !f.empty() && !fs.folder_exists(f);) {
        missing.push_back(f);
        if (is_root(f)) {
            break;
        }
        std::wstring up = parent_folder(f);
        if (up == f) {
            break;
        }
        f = std::move(up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::uint32_t rc = fs.create_folder(*it);
        if (rc != error_success && !(rc == error_already_exists && fs.folder_exists(*it))) {
            return rc;
        }
    }
    return error_success;
}

std::wstring replacement_file_name(const std::wstring& path) {
    return path + L".tmp";
}

file_status write_file_replacing(const std::wstring& path, std::string_view content) {
    auto& fs = facility<file_system>::get();
    const std::wstring temporary = replacement_file_name(path);
    file_status status = fs.write_file(temporary, content);
    if (status.ok()) {
        const std::uint32_t rc = fs.replace_file(temporary, path);
        if (rc == error_success) {
            return status;
        }
        status = {rc, file_step::replace};
    }
    // A temporary file that could not be finished never takes the place of path.
    fs.delete_file(temporary);
    return status;
}

}  // namespace winapi
