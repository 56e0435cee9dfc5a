#include "stdext/final_path.h"

#include <string>

#include "stdext/path.h"

namespace stdext::path {
namespace {

// A path without the "\\?\" prefix of the extended form; "\\?\UNC\" becomes "\\".
std::wstring without_extended_prefix(std::wstring_view path) {
    constexpr std::wstring_view extended = L"\\\\?\\";
    constexpr std::wstring_view extended_unc = L"\\\\?\\UNC\\";
    if (path.starts_with(extended_unc)) {
        return L"\\\\" + std::wstring(path.substr(extended_unc.size()));
    }
    if (path.starts_with(extended)) {
        return std::wstring(path.substr(extended.size()));
    }
    return std::wstring(path);
}

}  // namespace

bool is_final_path_of(std::wstring_view final_path, std::wstring_view path) {
    return !final_path.empty() && normal_form(without_extended_prefix(final_path)) ==
                                      normal_form(without_extended_prefix(path));
}

}  // namespace stdext::path
