#include "winapi/file_system.h"

#include <vector>

#include "stdext/expected.h"
#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace winapi {
std::uint32_t create_folder_tree(const std::wstring& folder) {
    auto& fs = facility<file_system>::get();
    // Walk up to the nearest existing folder, then create the missing ones downwards.
    std::vector<std::wstring> missing;
    for (std::wstring f = folder; !f.empty() && !fs.folder_exists(f);) {
        missing.push_back(f);
        if (stdext::path::is_root(f)) {
            break;
        }
        std::wstring up = stdext::path::parent(f);
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
