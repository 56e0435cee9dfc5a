#include "winapi/folders.h"

#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/processes.h"
#include "winapi/win_error_category.h"

namespace winapi {
namespace {

stdext::expected<std::wstring> folder_of(const std::wstring& file) {
    const auto folder = stdext::path::split(file).folder;
    if (folder.empty()) {
        return stdext::unexpected(win_failure(error_gen_failure, "the file name has no folder"));
    }
    return std::wstring(folder);
}

}  // namespace

stdext::expected<std::wstring> get_foldername(hmodule module) {
    return module_file_name(module).and_then(folder_of);
}

stdext::expected<std::wstring> get_foldername(process_id process) {
    return facility<processes>::get()
        .image_path(static_cast<std::uint32_t>(process),
                    process_query_information | process_vm_read)
        .and_then(folder_of);
}

stdext::expected<std::wstring> get_foldername(sys_handle process) {
    return facility<processes>::get().main_module_path(process).and_then(folder_of);
}

namespace this_process {

stdext::expected<std::wstring> get_foldername() {
    return winapi::get_foldername(facility<modules>::get().self());
}

}  // namespace this_process

}  // namespace winapi
