#include "platform/config/text_file.h"

#include "base/facility.h"
#include "platform/sys/file_system.h"

namespace config {

std::optional<std::string> read_file_bytes(const std::wstring& path) {
    std::string content;
    if (!winapi::facility<winapi::file_system>::get().read_file(path, content).ok()) {
        return std::nullopt;
    }
    return content;
}

}  // namespace config
