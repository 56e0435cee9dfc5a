#include "platform/config/text_file.h"

#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace platform::config {

std::optional<std::string> read_file_bytes(const std::wstring& path) {
    std::string content;
    if (!winapi::facility<winapi::file_system>::get().read_file(path, content).ok()) {
        return std::nullopt;
    }
    return content;
}

}  // namespace platform::config
