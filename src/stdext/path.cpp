#include "stdext/path.h"

#include <vector>

#include "stdext/utf.h"

namespace stdext::path {
namespace {

bool is_drive_letter(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool has_root_directory(std::wstring_view path) noexcept {
    const auto rest = path.substr(root_name(path).size());
    return !rest.empty() && is_separator(rest.front());
}

}  // namespace

bool is_separator(wchar_t c) noexcept {
    return c == L'\\' || c == L'/';
}

std::wstring_view root_name(std::wstring_view path) noexcept {
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

bool is_absolute(std::wstring_view path) noexcept {
    const auto root = root_name(path);
    if (root.size() > 2 || (root.size() == 2 && root[1] != L':')) {
        return true;  // UNC names are always absolute
    }
    return !root.empty() && has_root_directory(path);
}

bool is_root(std::wstring_view path) noexcept {
    if (path.size() == 1 && is_separator(path[0])) {
        return true;
    }
    return (path.size() == 2 || path.size() == 3) && is_drive_letter(path[0]) && path[1] == L':' &&
           (path.size() == 2 || is_separator(path[2]));
}

split_path split(std::wstring_view path) noexcept {
    const auto pos = path.find_last_of(L"\\/");
    if (pos == std::wstring_view::npos) {
        return {{}, path};
    }
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

std::wstring_view file_name(std::wstring_view path) noexcept {
    return split(path).name;
}

std::wstring parent(std::wstring_view path) {
    path = without_trailing_separator(path);
    const auto folder = split(path).folder;
    if (folder.empty()) {
        // "C:name" lies in the current folder of drive C.
        return path.size() > 2 && path[1] == L':' ? std::wstring(path.substr(0, 2)) : L"";
    }
    return std::wstring(without_trailing_separator(folder));
}

std::wstring join(std::wstring_view base, std::wstring_view tail) {
    const auto tail_root = root_name(tail);
    if (is_absolute(tail) ||
        (!tail_root.empty() && !iequals(tail_root, root_name(base), case_rule::latin1))) {
        return std::wstring(tail);
    }
    if (has_root_directory(tail)) {
        return std::wstring(root_name(base)) + std::wstring(tail.substr(tail_root.size()));
    }
    std::wstring out(base);
    const bool bare_drive = out.size() == 2 && out[1] == L':';
    if (!out.empty() && !bare_drive && !is_separator(out.back())) {
        out += L'\\';
    }
    out += tail.substr(tail_root.size());
    return out;
}

std::wstring_view without_trailing_separator(std::wstring_view path) noexcept {
    while (path.size() > 1 && is_separator(path.back()) && !is_root(path)) {
        path.remove_suffix(1);
    }
    return path;
}

std::wstring with_trailing_separator(std::wstring_view path) {
    std::wstring out(without_trailing_separator(path));
    if (!out.empty() && !is_separator(out.back())) {
        out += L'\\';
    }
    return out;
}

std::wstring ending_in_backslash(std::wstring_view path) {
    std::wstring out(path);
    if (out.empty() || out.back() != L'\\') {
        out += L'\\';
    }
    return out;
}

std::wstring normal_form(std::wstring_view path) {
    std::wstring out = to_lower(without_trailing_separator(path), case_rule::latin1);
    for (auto& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

std::wstring lexically_normal(std::wstring_view path) {
    if (path.empty()) {
        return {};
    }
    std::wstring root(root_name(path));
    for (auto& c : root) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    std::wstring_view rest = path.substr(root_name(path).size());
    const bool root_directory = !rest.empty() && is_separator(rest.front());

    // The elements after the root; a trailing separator shows as a last, empty element.
    std::vector<std::wstring_view> elements;
    while (!rest.empty()) {
        while (!rest.empty() && is_separator(rest.front())) {
            rest.remove_prefix(1);
        }
        std::size_t end = 0;
        while (end < rest.size() && !is_separator(rest[end])) {
            ++end;
        }
        elements.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }

    std::vector<std::wstring_view> kept;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const auto e = elements[i];
        const bool last = i + 1 == elements.size();
        if (e == L".") {
            if (last) {
                kept.emplace_back();  // "a/." is "a/"
            }
        } else if (e == L"..") {
            if (!kept.empty() && kept.back() != L"..") {
                kept.pop_back();
                if (last && !kept.empty()) {
                    kept.emplace_back();  // "a/b/.." is "a/"
                }
            } else if (!(kept.empty() && root_directory)) {
                kept.push_back(e);
            }
        } else if (!e.empty() || !kept.empty() || root_directory || !root.empty()) {
            kept.push_back(e);
        }
    }
    // No trailing separator after a last "..".
    if (kept.size() >= 2 && kept.back().empty() && kept[kept.size() - 2] == L"..") {
        kept.pop_back();
    }

    std::wstring out = root;
    if (root_directory) {
        out += L'\\';
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i != 0) {
            out += L'\\';
        }
        out += kept[i];
    }
    return out.empty() ? L"." : out;
}

}  // namespace stdext::path
