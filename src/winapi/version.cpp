#include "winapi/version.h"

#include "winapi/facility.h"

namespace winapi::version {

stdext::expected<std::vector<std::uint8_t>> get_file_info(const std::wstring& path) {
    return facility<diagnostics>::get().version_info(path);
}

stdext::expected<fixed_file_version> get_fixed_file_version(
    const std::vector<std::uint8_t>& file_info) {
    return facility<diagnostics>::get().fixed_version(file_info);
}

std::wstring to_wstring(const fixed_file_version& version) {
    return std::to_wstring(version.most_significant >> 16) + L'.' +
           std::to_wstring(version.most_significant & 0xFFFFu) + L'.' +
           std::to_wstring(version.least_significant >> 16) + L'.' +
           std::to_wstring(version.least_significant & 0xFFFFu);
}

}  // namespace winapi::version
