#include <windows.h>

#include <vector>

#include "winapi/win/system_facilities.h"
#include "winapi/win_error_category.h"

namespace winapi {
namespace {

class windows_error_messages final : public error_messages {
public:
    stdext::expected<std::string> system_message(std::uint32_t code) override {
        std::vector<char> buffer(32767, '\0');
        const DWORD n =
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
        if (n == 0) {
            return stdext::unexpected(win_failure(::GetLastError(), "FormatMessage"));
        }
        return std::string(buffer.data(), n);
    }
};

}  // namespace

error_messages& windows_error_messages_instance() {
    static windows_error_messages instance;
    return instance;
}

}  // namespace winapi
