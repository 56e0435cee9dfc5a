#include "platform/config/paths.h"

#include <mutex>

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

// The settings file path of the run. It is fixed once: by fix_start_paths, or, should anything
// read it before, by that reading as if there were no version record.
struct start_paths {
    std::once_flag fixed;
    std::wstring settings_file;
};

start_paths& paths() {
    static start_paths instance;
    return instance;
}

const std::wstring& fix_settings_file(const std::optional<std::string>& record_path) {
    start_paths& run = paths();
    std::call_once(run.fixed,
                   [&] { run.settings_file = settings_path_for(install_folder(), record_path); });
    return run.settings_file;
}

}  // namespace

const std::wstring& settings_file_path() {
    return fix_settings_file(std::nullopt);
}

void fix_start_paths(const std::optional<std::string>& record_path) {
    static_cast<void>(fix_settings_file(record_path));
}

}  // namespace platform::config
