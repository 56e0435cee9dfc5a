#include "platform/config/text_file.h"

#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace platform::config {

std::optional<std::string> read_file_bytes(const std::wstring& path) {
    auto content = winapi::facility<winapi::file_system>::get().read_file(path);
    if (!content) {
        return std::nullopt;
    }
    return std::move(*content);
}

}  // namespace platform::config
