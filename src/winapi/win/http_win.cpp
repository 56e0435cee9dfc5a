// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using unique_internet = unique_released_by<HINTERNET, &::WinHttpCloseHandle>;

stdext::unexpected<stdext::error> last_failure(const char* text) {
    const DWORD code = ::GetLastError();
    return stdext::unexpected(win_failure(code == ERROR_SUCCESS ? error_gen_failure : code, text));
}

std::wstring piece(const wchar_t* text, DWORD length) {
    return text == nullptr ? std::wstring() : std::wstring(text, length);
}

class windows_response final : public http_response {
public:
    windows_response(unique_internet connection, unique_internet request)
        : connection_(std::move(connection)), request_(std::move(request)) {}
    ~windows_response() override {
        request_.reset();
        connection_.reset();
    }

    stdext::expected<std::uint32_t> number_header(std::uint32_t info_level) override {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (!::WinHttpQueryHeaders(request_.get(), info_level | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                                   WINHTTP_NO_HEADER_INDEX)) {
            return last_failure("WinHttpQueryHeaders failed");
        }
        return static_cast<std::uint32_t>(value);
    }
    stdext::expected<std::size_t> read(char* buffer, std::size_t size) override {
        // A synchronous read waits until its whole buffer is filled, however slowly the data
        // comes; asking first what is there makes each read return with what one wait brought.
        DWORD there = 0;
        if (!::WinHttpQueryDataAvailable(request_.get(), &there)) {
            return last_failure("WinHttpQueryDataAvailable failed");
        }
        if (there == 0) {
            return std::size_t{0};
        }
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>({size, MAXDWORD, there}));
        if (!::WinHttpReadData(request_.get(), buffer, want, &got)) {
            return last_failure("WinHttpReadData failed");
        }
        return static_cast<std::size_t>(got);
    }
    stdext::expected<std::uint32_t> available() override {
        DWORD count = 0;
        if (!::WinHttpQueryDataAvailable(request_.get(), &count)) {
            return last_failure("WinHttpQueryDataAvailable failed");
        }
        return static_cast<std::uint32_t>(count);
    }

private:
    unique_internet connection_;
    unique_internet request_;
};

class windows_session final : public http_session {
public:
    explicit windows_session(unique_internet session) : session_(std::move(session)) {}

    stdext::expected<std::unique_ptr<http_response>> open_request(const url_parts& url) override {
        unique_internet connection(::WinHttpConnect(session_.get(), url.host.c_str(), url.port, 0));
        if (!connection) {
            return last_failure("WinHttpConnect failed");
        }
        DWORD flags = WINHTTP_FLAG_REFRESH;
        if (url.scheme_number == internet_scheme_https) {
            flags |= WINHTTP_FLAG_SECURE;
        }
        unique_internet request(::WinHttpOpenRequest(connection.get(), L"GET", url.url_path.c_str(),
                                                     nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
        if (!request) {
            return last_failure("WinHttpOpenRequest failed");
        }
        if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return last_failure("WinHttpSendRequest failed");
        }
        if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
            return last_failure("WinHttpReceiveResponse failed");
        }
        return std::unique_ptr<http_response>(
            new windows_response(std::move(connection), std::move(request)));
    }

private:
    unique_internet session_;
};

class windows_http final : public http {
public:
    stdext::expected<url_parts> crack_url(const std::wstring& url) override {
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof(parts);
        // Every piece comes back as a pointer into the URL with its length.
        parts.dwSchemeLength = static_cast<DWORD>(-1);
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUserNameLength = static_cast<DWORD>(-1);
        parts.dwPasswordLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
            return last_failure("WinHttpCrackUrl failed");
        }
        url_parts out;
        out.scheme = piece(parts.lpszScheme, parts.dwSchemeLength);
        out.scheme_number = static_cast<std::uint32_t>(parts.nScheme);
        out.host = piece(parts.lpszHostName, parts.dwHostNameLength);
        out.port = parts.nPort;
        out.user_name = piece(parts.lpszUserName, parts.dwUserNameLength);
        out.password = piece(parts.lpszPassword, parts.dwPasswordLength);
        out.url_path = piece(parts.lpszUrlPath, parts.dwUrlPathLength);
        out.extra_info = piece(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        return out;
    }

    stdext::expected<std::unique_ptr<http_session>> open_session(
        const http_timeouts& timeouts) override {
        unique_internet session(::WinHttpOpen(L"WindowsCorvelService", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            return last_failure("WinHttpOpen failed");
        }
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                sizeof(protocols))) {
            return last_failure("WinHttpSetOption");
        }
        if (!::WinHttpSetTimeouts(session.get(), static_cast<int>(timeouts.resolve_ms),
                                  static_cast<int>(timeouts.connect_ms),
                                  static_cast<int>(timeouts.send_ms),
                                  static_cast<int>(timeouts.receive_ms))) {
            return last_failure("WinHttpSetTimeouts failed");
        }
        DWORD response = timeouts.response_ms;
        if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response,
                                sizeof(response))) {
            return last_failure("WinHttpSetOption");
        }
        return std::unique_ptr<http_session>(new windows_session(std::move(session)));
    }
};

}  // namespace

http& windows_http_instance() {
    static windows_http instance;
    return instance;
}

}  // namespace winapi
