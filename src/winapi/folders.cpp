#include "winapi/folders.h"

#include "stdext/expected.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace winapi {
namespace {

constexpr std::uint32_t path_buffer_chars = 32767;

stdext::expected<std::wstring, std::error_code> folder_of(const std::wstring& file) {
    const auto pos = file.rfind(L'\\');
    if (pos == std::wstring::npos) {
        return stdext::unexpected(make_win_error(error_gen_failure));
    }
    return file.substr(0, pos + 1);
}

}  // namespace

stdext::expected<std::wstring, std::error_code> get_foldername(hmodule module) {
    const auto name = module_file_name(module);
    if (!name) {
        return stdext::unexpected(name.error().code);
    }
    return folder_of(*name);
}

stdext::expected<std::wstring, std::error_code> get_foldername(sys_handle process) {
    std::wstring name;
    std::uint32_t error = 0;
    if (facility<processes>::get().module_file_name(process, 0, path_buffer_chars, name, error) ==
        0) {
        return stdext::unexpected(make_win_error(error));
    }
    return folder_of(name);
}

namespace this_process {

stdext::expected<std::wstring, std::error_code> get_foldername() {
    return winapi::get_foldername(facility<modules>::get().self());
}

}  // namespace this_process

}  // namespace winapi
