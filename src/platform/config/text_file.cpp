#include "platform/config/text_file.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf.h"

namespace config {

std::optional<std::string> read_file_bytes(const std::wstring& path) {
    // A path made from UTF-8 text is the wide path on Windows and the same bytes elsewhere.
    const std::string utf8 = text::wide_to_utf8(path);
    const std::filesystem::path native(std::u8string(utf8.begin(), utf8.end()));
    std::ifstream in(native, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace config
