// The HTTP facility: URLs split into their pieces, and GET requests over a session that never uses
// a proxy and speaks TLS 1.2 only. The Windows version is WinHTTP, used synchronously. What a
// status or a header means is decided by the callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "stdext/expected.h"

namespace winapi {

// Scheme numbers of a split URL (INTERNET_SCHEME_HTTP, INTERNET_SCHEME_HTTPS).
inline constexpr std::uint32_t internet_scheme_http = 1;
inline constexpr std::uint32_t internet_scheme_https = 2;

// Header numbers of the numeric header query (WINHTTP_QUERY_*).
inline constexpr std::uint32_t http_query_content_length = 5;
inline constexpr std::uint32_t http_query_status_code = 19;

// How long each step of a request may wait, in milliseconds. resolve, connect, send and receive
// are WinHttpSetTimeouts' four values (receive bounds every wait for data of the response);
// response bounds the wait for the whole of the response's headers
// (WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT).
struct http_timeouts {
    std::uint32_t resolve_ms = 0;
    std::uint32_t connect_ms = 0;
    std::uint32_t send_ms = 0;
    std::uint32_t receive_ms = 0;
    std::uint32_t response_ms = 0;

    bool operator==(const http_timeouts&) const = default;
};

// The pieces of a URL, copied out of it as the system splits it.
struct url_parts {
    std::wstring scheme;
    std::uint32_t scheme_number = 0;
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring user_name;
    std::wstring password;
    std::wstring url_path;
    std::wstring extra_info;  // query and fragment

    bool operator==(const url_parts&) const = default;
};

// The response to one request, with its connection. Dropping it closes the request handle, then
// the connection handle.
class http_response {
public:
    virtual ~http_response() = default;
    // WinHttpQueryHeaders(info_level | WINHTTP_QUERY_FLAG_NUMBER) into a 32-bit value; the error
    // text is "WinHttpQueryHeaders failed".
    [[nodiscard]] virtual stdext::expected<std::uint32_t> number_header(
        std::uint32_t info_level) = 0;
    // At most size bytes of the body; 0 is its end. Waits (within the receive time-out) only
    // until some data is there, never until size bytes are: WinHttpQueryDataAvailable, then
    // WinHttpReadData of what is available. The error text is the failed call's name and
    // " failed".
    [[nodiscard]] virtual stdext::expected<std::size_t> read(char* buffer, std::size_t size) = 0;
    // WinHttpQueryDataAvailable; the error text is "WinHttpQueryDataAvailable failed".
    [[nodiscard]] virtual stdext::expected<std::uint32_t> available() = 0;
};

// A session: user agent "WindowsCorvelService", no proxy, synchronous, TLS 1.2 only, with the
// time-outs it was opened with. Dropping it closes the session handle; its responses must be
// dropped first.
class http_session {
public:
    virtual ~http_session() = default;
    // One GET request of the URL's path (the extra info is not sent), bypassing caches, secure
    // for scheme number 2: WinHttpConnect(host, port), WinHttpOpenRequest, WinHttpSendRequest
    // without headers or body, WinHttpReceiveResponse. Whatever the status, the response is
    // handed out. Each step's error text is its function's name and " failed".
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<http_response>> open_request(
        const url_parts& url) = 0;
};

class http {
public:
    virtual ~http() = default;
    // WinHttpCrackUrl over the whole URL; the error text is "WinHttpCrackUrl failed".
    [[nodiscard]] virtual stdext::expected<url_parts> crack_url(const std::wstring& url) = 0;
    // WinHttpOpen ("WinHttpOpen failed"), then the secure protocols option set to TLS 1.2
    // ("WinHttpSetOption"), then the time-outs ("WinHttpSetTimeouts failed", and
    // "WinHttpSetOption" for the response's).
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<http_session>> open_session(
        const http_timeouts& timeouts) = 0;
};

}  // namespace winapi
