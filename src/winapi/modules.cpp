#include "winapi/modules.h"

#include "winapi/facility.h"

namespace winapi {

stdext::expected<std::wstring, std::uint32_t> module_file_name(hmodule module) {
    constexpr std::uint32_t capacity = 32767;
    std::wstring path;
    std::uint32_t error = 0;
    const std::uint32_t n = facility<modules>::get().file_name(module, capacity, path, error);
    if (n == 0 || (n == capacity && error != 0)) {
        return stdext::unexpected(error);
    }
    return path;
}

}  // namespace winapi
