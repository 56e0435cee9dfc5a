// The HTTP client of the remote update: a read-only character stream over one GET request, the
// URL splitter it is opened with, and the two fetches built on it. Failures raise: a system_error
// with the Windows error and the failed call's name, a runtime_error for a status of 400 or more.
#pragma once

#include <picojson.h>

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>

#include "winapi/http.h"

namespace platform::http {

using url_parts = winapi::url_parts;

// What bounds one transfer in time, and a download in size.
struct transfer_limits {
    // Name resolution, connection and sending 30 s each; every wait for data of the response
    // 30 s; the response's headers 60 s in all.
    winapi::http_timeouts timeouts{30000, 30000, 30000, 30000, 60000};
    // The body must bring at least min_progress_bytes within every progress_window_ms (timed
    // by the clock facility from the moment the response is open), or the transfer is given
    // up as stalled: a server that trickles its answer cannot hold the run.
    std::uint64_t progress_window_ms = 60000;
    std::uint64_t min_progress_bytes = 4096;
    // A download may be at most this large.
    std::uint64_t max_download_bytes = 512ull * 1024 * 1024;
};

// The pieces of url; raises "WinHttpCrackUrl failed".
[[nodiscard]] url_parts crack_url(const std::wstring& url);

// The body of one GET response as a character stream buffer. Constructed closed (status 400, at
// the end of data) with its session open; opened once. Unbuffered unless use_buffer() gave it
// its read buffer, so that block reads go straight to the response.
class istreambuf : public std::streambuf {
public:
    static constexpr std::size_t buffer_size = 8192;

    // Opens the session with the limits' time-outs; raises "WinHttpOpen failed",
    // "WinHttpSetOption" or "WinHttpSetTimeouts failed".
    explicit istreambuf(const transfer_limits& limits = {});
    ~istreambuf() override;
    istreambuf(const istreambuf&) = delete;
    istreambuf& operator=(const istreambuf&) = delete;

    // Sends the request and keeps the response when its status is below 400. Raises the logic
    // error "already open" on a second call, the failed call's system error, or the runtime
    // error "Bad request status: " and the status (the response is then closed).
    void open(const url_parts& url);
    [[nodiscard]] bool is_open() const noexcept { return response_ != nullptr; }
    // Reads through a buffer of buffer_size bytes from now on.
    void use_buffer();
    // A body that grows beyond `most` bytes raises "Download too large" as soon as the bytes
    // beyond it arrive.
    void limit_body(std::uint64_t most) noexcept { max_body_ = most; }

    [[nodiscard]] std::uint16_t status() const noexcept { return status_; }
    // A numeric header of the open response; raises "WinHttpQueryHeaders failed".
    [[nodiscard]] std::uint32_t number_header(std::uint32_t info_level);
    // The declared Content-Length; nothing when the response has none or it cannot be read.
    [[nodiscard]] std::optional<std::uint32_t> declared_length();
    // Bytes that can be read without waiting; raises "WinHttpQueryDataAvailable failed".
    [[nodiscard]] std::uint32_t available();

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize count) override;
    std::streamsize showmanyc() override;

private:
    // Reads at most size bytes of the body; 0 at its end. Raises the read's system error,
    // "Transfer stalled" or "Download too large".
    [[nodiscard]] std::size_t read_body(char* into, std::size_t size);
    // Gives up a body that brought too little within the last progress window.
    void check_progress(std::size_t got);
    [[nodiscard]] winapi::http_response& response();

    // Destroyed in reverse: the response (request and connection), the buffer, the session.
    std::unique_ptr<winapi::http_session> session_;
    std::unique_ptr<char[]> buffer_;
    std::unique_ptr<winapi::http_response> response_;
    std::uint16_t status_ = 400;
    bool end_of_data_ = true;
    char single_ = 0;  // the get area of unbuffered single-character reads
    transfer_limits limits_;
    std::uint64_t max_body_ = UINT64_MAX;
    std::uint64_t body_bytes_ = 0;
    std::uint64_t window_start_ms_ = 0;
    std::uint64_t window_bytes_ = 0;
};

// An input stream over one istreambuf. A failure of the buffer while reading is raised to the
// reader as the buffer's own exception.
class istream : public std::istream {
public:
    explicit istream(const transfer_limits& limits = {});
    istream(const istream&) = delete;
    istream& operator=(const istream&) = delete;

    // Opens the request (raises as istreambuf::open) and clears the stream's state; buffered
    // unless unbuffered is set. A stream that is already open only gets its fail state.
    void open(const url_parts& url, bool unbuffered = false);
    [[nodiscard]] istreambuf& buffer() noexcept { return buf_; }

private:
    istreambuf buf_;
};

// The update document's declared size may be at most this.
inline constexpr std::uint32_t max_info_size = 1048576;
// Downloads are copied in blocks of this many bytes.
inline constexpr std::size_t download_block = 8196;

// The JSON document at url. Raises "WinHttpQueryHeaders failed" when the response declares no
// Content-Length, "Unexpected info size" when it declares more than max_info_size, and the
// parser's message when the body is not JSON ("number out of range" for a number no double
// holds); HTTP failures raise as istream::open, a stalled body "Transfer stalled".
[[nodiscard]] picojson::value get_update_info(const std::wstring& url,
                                              const transfer_limits& limits = {});

// Copies the body at url into the file at path, created or truncated. Raises as istream::open,
// "Download too large" (for a declared length beyond the limit before the file is touched),
// the file's creation error, the read's system error, "Transfer stalled", or "writing the
// download failed".
void download(const std::wstring& url, const std::wstring& path,
              const transfer_limits& limits = {});

}  // namespace platform::http
