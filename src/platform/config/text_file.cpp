#include "platform/config/text_file.h"

#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/win_error_category.h"

namespace platform::config {

stdext::expected<std::string> read_file_bytes(const std::wstring& path) {
    return winapi::facility<winapi::file_system>::get().read_file(path);
}

}  // namespace platform::config
