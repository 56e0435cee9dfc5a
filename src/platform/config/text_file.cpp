#include "platform/config/text_file.h"

#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/win_error_category.h"

namespace platform::config {

stdext::expected<std::string> read_file_bytes(const std::wstring& path) {
    std::string content;
    const auto status = winapi::facility<winapi::file_system>::get().read_file(path, content);
    if (!status.ok()) {
        return stdext::unexpected(winapi::win_failure(status.error, "read_file"));
    }
    return content;
}

}  // namespace platform::config
