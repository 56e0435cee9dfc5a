// Windows path rules for the program's paths, which are Windows paths on every build: '\' and
// '/' separate, the root name is "X:" or "\\server". std::filesystem follows the host's rules,
// which differ from these on Linux, so the program splits and joins paths only through here.
#pragma once

#include <string>
#include <string_view>

namespace stdext::path {

[[nodiscard]] bool is_separator(wchar_t c) noexcept;

// "X:" or "\\server", or empty.
[[nodiscard]] std::wstring_view root_name(std::wstring_view path) noexcept;
// A root name followed by a separator, or a UNC name.
[[nodiscard]] bool is_absolute(std::wstring_view path) noexcept;
// "\", "X:", "X:\": a path that has no parent.
[[nodiscard]] bool is_root(std::wstring_view path) noexcept;

// A path cut after its last separator: "C:\a\b.txt" gives "C:\a\" and "b.txt"; a bare name has
// an empty folder.
struct split_path {
    std::wstring_view folder;  // with its trailing separator
    std::wstring_view name;
};
[[nodiscard]] split_path split(std::wstring_view path) noexcept;
[[nodiscard]] std::wstring_view file_name(std::wstring_view path) noexcept;

// The folder that holds path, without a trailing separator unless it is a root: "C:\a\b.txt"
// and "C:\a\b\" give "C:\a", "C:\b.txt" gives "C:\", "C:b" gives "C:", a bare name gives "".
[[nodiscard]] std::wstring parent(std::wstring_view path);

// base / tail as Windows joins paths: an absolute tail, or a tail on another drive, replaces
// base; a tail that starts at the root keeps only base's drive; otherwise one backslash is put
// between them unless base is empty, already ends in a separator, or is a bare drive. Neither
// part is normalised: "C:\a" and ".\b" give "C:\a\.\b".
[[nodiscard]] std::wstring join(std::wstring_view base, std::wstring_view tail);

// path without its trailing separators; a root keeps its own.
[[nodiscard]] std::wstring_view without_trailing_separator(std::wstring_view path) noexcept;
// path with exactly one trailing backslash (an empty path stays empty).
[[nodiscard]] std::wstring with_trailing_separator(std::wstring_view path);
// path with a backslash appended unless its last character is one; nothing else is looked at or
// changed, so "" gives "\" and "C:/" gives "C:/\". For folder names that come from the system.
[[nodiscard]] std::wstring ending_in_backslash(std::wstring_view path);

// The form in which two spellings of one path compare equal: '/' turned into '\', letters in
// lower case, no trailing separator.
[[nodiscard]] std::wstring normal_form(std::wstring_view path);

// The lexically normal form of the standard path rules, with Windows separators: every run of
// separators becomes one '\', "." elements are dropped, an element followed by ".." is dropped
// together with it, ".." right after a root directory is dropped, a trailing separator is kept
// unless the last element is "..", and an empty result is ".". Letter case is left alone.
// "C:/a/./b/../c" gives "C:\a\c"; "a/b/.." gives "a\"; "../x/../.." gives "..\..".
[[nodiscard]] std::wstring lexically_normal(std::wstring_view path);

}  // namespace stdext::path
