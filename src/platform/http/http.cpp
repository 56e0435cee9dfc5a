#include "platform/http/http.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/config/bounded_json.h"
#include "stdext/raise.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/temp_files.h"

namespace platform::http {
using stdext::value_or_raise;

namespace {

std::uint64_t now_ms() {
    return winapi::facility<winapi::clock>::get().monotonic_ms();
}

}  // namespace

url_parts crack_url(const std::wstring& url) {
    return value_or_raise(winapi::facility<winapi::http>::get().crack_url(url));
}

istreambuf::istreambuf(const transfer_limits& limits)
    : session_(value_or_raise(winapi::facility<winapi::http>::get().open_session(limits.timeouts))),
      limits_(limits) {
    setg(nullptr, nullptr, nullptr);
}

istreambuf::~istreambuf() = default;

void istreambuf::open(const url_parts& url) {
    if (is_open()) {
        throw std::logic_error("already open");
    }
    auto opened = value_or_raise(session_->open_request(url));
    // The response closes with its connection when this scope leaves by an exception.
    const std::uint32_t status =
        value_or_raise(opened->number_header(winapi::http_query_status_code));
    if (status >= 400) {
        throw std::runtime_error("Bad request status: " + std::to_string(status));
    }
    response_ = std::move(opened);
    status_ = static_cast<std::uint16_t>(status);
    end_of_data_ = false;
    window_start_ms_ = now_ms();
}

void istreambuf::use_buffer() {
    if (!buffer_) {
        buffer_ = std::make_unique<char[]>(buffer_size);
    }
}

winapi::http_response& istreambuf::response() {
    if (!response_) {
        throw std::logic_error("not open");
    }
    return *response_;
}

std::uint32_t istreambuf::number_header(std::uint32_t info_level) {
    return value_or_raise(response().number_header(info_level));
}

std::optional<std::uint32_t> istreambuf::declared_length() {
    auto length = response().number_header(winapi::http_query_content_length);
    if (!length) {
        return std::nullopt;
    }
    return *length;
}

std::uint32_t istreambuf::available() {
    return value_or_raise(response().available());
}

std::size_t istreambuf::read_body(char* into, std::size_t size) {
    const std::size_t got = value_or_raise(response_->read(into, size));
    if (got == 0) {
        end_of_data_ = true;
        return 0;
    }
    body_bytes_ += got;
    if (body_bytes_ > max_body_) {
        throw std::runtime_error("Download too large");
    }
    check_progress(got);
    return got;
}

void istreambuf::check_progress(std::size_t got) {
    window_bytes_ += got;
    const std::uint64_t now = now_ms();
    if (now - window_start_ms_ < limits_.progress_window_ms) {
        return;
    }
    if (window_bytes_ < limits_.min_progress_bytes) {
        throw std::runtime_error("Transfer stalled");
    }
    window_start_ms_ = now;
    window_bytes_ = 0;
}

istreambuf::int_type istreambuf::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (end_of_data_) {
        return traits_type::eof();
    }
    char* area = buffer_ ? buffer_.get() : &single_;
    const std::size_t got = read_body(area, buffer_ ? buffer_size : 1);
    if (got == 0) {
        setg(nullptr, nullptr, nullptr);
        return traits_type::eof();
    }
    setg(area, area, area + got);
    return traits_type::to_int_type(*area);
}

std::streamsize istreambuf::xsgetn(char_type* s, std::streamsize count) {
    if (buffer_) {
        return std::streambuf::xsgetn(s, count);
    }
    // Unbuffered: what a single-character read left first, then straight from the response.
    std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
    std::copy_n(gptr(), done, s);
    gbump(static_cast<int>(done));
    constexpr auto most = static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max());
    while (done < count && !end_of_data_) {
        const auto want = std::min(static_cast<std::size_t>(count - done), most);
        done += static_cast<std::streamsize>(read_body(s + done, want));
    }
    return done;
}

std::streamsize istreambuf::showmanyc() {
    if (end_of_data_) {
        return -1;
    }
    return available();
}

istream::istream(const transfer_limits& limits) : std::istream(nullptr), buf_(limits) {
    rdbuf(&buf_);
    exceptions(std::ios_base::badbit);
}

void istream::open(const url_parts& url, bool unbuffered) {
    if (buf_.is_open()) {
        setstate(std::ios_base::failbit);
        return;
    }
    buf_.open(url);
    if (!unbuffered) {
        buf_.use_buffer();
    }
    clear();
}

picojson::value get_update_info(const std::wstring& url, const transfer_limits& limits) {
    istream in(limits);
    in.open(crack_url(url));
    if (in.buffer().number_header(winapi::http_query_content_length) > max_info_size) {
        throw std::runtime_error("Unexpected info size");
    }
    // Nesting is bounded, so a deep document is a syntax error and not a stack overflow.
    picojson::value document;
    std::string error;
    config::bounded_parse_context context(&document);
    static_cast<void>(picojson::_parse(context, std::istreambuf_iterator<char>(in.rdbuf()),
                                       std::istreambuf_iterator<char>(), &error));
    if (!error.empty()) {
        throw std::runtime_error(error);
    }
    return document;
}

void download(const std::wstring& url, const std::wstring& path, const transfer_limits& limits) {
    istream in(limits);
    in.open(crack_url(url), true);
    // A body that says at once that it is too large is refused before anything is written; one
    // without a length, or one that lied, when the bytes beyond the limit arrive.
    if (auto declared = in.buffer().declared_length();
        declared && *declared > limits.max_download_bytes) {
        throw std::runtime_error("Download too large");
    }
    in.buffer().limit_body(limits.max_download_bytes);
    auto out = value_or_raise(winapi::facility<winapi::temp_files>::get().open_binary_output(path));
    std::vector<char> block(download_block);
    while (in && *out) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        out->write(block.data(), in.gcount());
    }
    out->flush();
    if (!*out) {
        throw std::runtime_error("writing the download failed");
    }
}

}  // namespace platform::http
