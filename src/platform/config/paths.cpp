#include "platform/config/paths.h"

#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/modules.h"

namespace platform::config {
namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_drive_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool has_root_directory(std::wstring_view path) {
    const auto rest = path.substr(path_root_name(path).size());
    return !rest.empty() && is_separator(rest.front());
}

}  // namespace

std::wstring_view path_root_name(std::wstring_view path) {
    if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':') {
        return path.substr(0, 2);
    }
    // "\\server": two separators and a name that is not itself a separator.
    if (path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) &&
        !is_separator(path[2])) {
        std::size_t end = 2;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        return path.substr(0, end);
    }
    return {};
}

bool path_is_absolute(std::wstring_view path) {
    const auto root = path_root_name(path);
    if (root.size() > 2 || (root.size() == 2 && root[1] != L':')) {
        return true;  // UNC names are always absolute
    }
    return !root.empty() && has_root_directory(path);
}

std::wstring path_join(std::wstring_view base, std::wstring_view tail) {
    const auto tail_root = path_root_name(tail);
    if (path_is_absolute(tail) ||
        (!tail_root.empty() && !stdext::iequals(tail_root, path_root_name(base)))) {
        return std::wstring(tail);
    }
    if (has_root_directory(tail)) {
        return std::wstring(path_root_name(base)) + std::wstring(tail.substr(tail_root.size()));
    }
    std::wstring out(base);
    const bool bare_root = out.size() == path_root_name(out).size();
    if (!out.empty() && !bare_root && !is_separator(out.back())) {
        out += L'\\';
    }
    out += tail.substr(tail_root.size());
    return out;
}

std::wstring settings_path_for(std::wstring_view folder,
                               const std::optional<std::string>& record_path) {
    std::wstring base(folder);
    if (record_path) {
        base = path_join(base, stdext::utf8_to_wide(*record_path));
    }
    return path_join(base, L"settings\\Corvel.json");
}

const std::wstring& install_folder() {
    static const std::wstring folder = [] {
        // The program's own file (module 0); no path, or one cut short, gives no folder.
        const auto path = winapi::module_file_name(0);
        if (!path) {
            return std::wstring();
        }
        const auto cut = path->rfind(L'\\');
        return cut == std::wstring::npos ? std::wstring() : path->substr(0, cut + 1);
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
