#include "winapi/file_system.h"

#include "winapi/facility.h"

namespace winapi {

std::wstring replacement_file_name(const std::wstring& path, int attempt) {
    return attempt == 0 ? path + L".tmp" : path + L"." + std::to_wstring(attempt) + L".tmp";
}

stdext::expected<void> write_file_replacing(const std::wstring& path, std::string_view content) {
    auto& fs = facility<file_system>::get();
    for (int attempt = 0;; ++attempt) {
        const std::wstring temporary = replacement_file_name(path, attempt);
        auto done = fs.write_file(temporary, content);
        if (!done && done.error().failed_at(file_step::create)) {
            // Something holds the name (a folder or read-only file left by an earlier run, or a
            // file another program keeps open): try the next name. Nothing of ours is there.
            if (attempt + 1 < replacement_attempts) {
                continue;
            }
            return done;
        }
        if (done) {
            done = fs.move_file_replacing(temporary, path);
        }
        if (!done) {
            // A temporary file that could not be finished never takes the place of path. When it
            // cannot be removed, the next write overwrites it.
            (void)fs.delete_file(temporary);
        }
        return done;
    }
}

}  // namespace winapi
