#include "platform/config/paths.h"

#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/modules.h"

namespace platform::config {

std::wstring settings_path_for(std::wstring_view folder,
                               const std::optional<std::string>& record_path) {
    std::wstring base(folder);
    if (record_path) {
        base = stdext::path::join(base, stdext::utf8_to_wide(*record_path));
    }
    return stdext::path::join(base, L"settings\\Corvel.json");
}

const std::wstring& install_folder() {
    static const std::wstring folder = [] {
        // The program's own file (module 0); no path, or one cut short, gives no folder.
        const auto path = winapi::module_file_name(0);
        return path ? std::wstring(stdext::path::split(*path).folder) : std::wstring();
    }();
    return folder;
}

namespace {

// The path of the first call; record_path may be null.
const std::wstring& fixed_settings_path(const std::string* record_path) {
    static const std::wstring path = [record_path] {
        std::optional<std::string> record;
        if (record_path != nullptr) {
            record = *record_path;
        }
        return settings_path_for(install_folder(), record);
    }();
    return path;
}

}  // namespace

const std::wstring& settings_file_path() {
    return fixed_settings_path(nullptr);
}

void fix_start_paths(const std::optional<std::string>& record_path) {
    static_cast<void>(fixed_settings_path(record_path ? &*record_path : nullptr));
}

}  // namespace platform::config
