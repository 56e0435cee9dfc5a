// A web of pages by URL, each with its status, body and numeric headers; a URL without a page
// answers 404. A body can be handed out in short reads and can break off after some bytes as a
// cut connection does. Every call can be made to fail through the fault plan under its WinHTTP
// name; handles are checked to be closed, responses before their session.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/kit.h"
#include "winapi/http.h"

namespace fakes {

class fake_http final : public winapi::http, public fake_base {
public:
    static constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint32_t error_connection_aborted = 12030;

    struct page {
        std::uint32_t status = 200;
        std::string body;
        // The declared Content-Length; by default the body's size. Chunked: none at all.
        std::optional<std::uint32_t> declared_length{};
        bool chunked = false;
        std::size_t most_per_read = unlimited;  // a read hands out at most this many bytes
        std::size_t cut_after = unlimited;      // reads past this many bytes (not at the end) fail
    };

    using fake_base::fake_base;

    std::map<std::wstring, page> pages;
    std::vector<std::size_t> read_sizes;          // the size asked by every read
    std::vector<winapi::http_timeouts> sessions;  // the time-outs of every session opened
    std::function<void()> on_read;                // told of every read before it answers
    handle_table handles;

    // Pages are looked up by the whole URL, so it all goes into the path.
    stdext::expected<winapi::url_parts> crack_url(const std::wstring& url) override {
        return answer("WinHttpCrackUrl", [&] {
            winapi::url_parts parts;
            parts.url_path = url;
            return parts;
        });
    }

    stdext::expected<std::unique_ptr<winapi::http_session>> open_session(
        const winapi::http_timeouts& timeouts) override {
        for (const char* call : {"WinHttpOpen", "WinHttpSetOption", "WinHttpSetTimeouts"}) {
            if (auto fault = check(call)) {
                return stdext::unexpected(*fault);
            }
        }
        sessions.push_back(timeouts);
        return std::unique_ptr<winapi::http_session>(new session(*this, handles.open("session")));
    }

private:
    class response final : public winapi::http_response {
    public:
        response(fake_http& web, std::uintptr_t session, std::uintptr_t request, page p)
            : web_(web), session_(session), request_(request), page_(std::move(p)) {}
        ~response() override {
            EXPECT_TRUE(web_.handles.is_open(session_)) << "a response outlived its session";
            web_.handles.close(request_);
        }
        stdext::expected<std::uint32_t> number_header(std::uint32_t level) override {
            if (auto fault = web_.check("WinHttpQueryHeaders")) {
                return stdext::unexpected(*fault);
            }
            if (level == winapi::http_query_status_code) {
                return page_.status;
            }
            if (level == winapi::http_query_content_length && !page_.chunked) {
                return page_.declared_length.value_or(
                    static_cast<std::uint32_t>(page_.body.size()));
            }
            return stdext::unexpected(winapi::win_failure(12150, "WinHttpQueryHeaders failed"));
        }
        stdext::expected<std::size_t> read(char* buffer, std::size_t size) override {
            web_.read_sizes.push_back(size);
            if (web_.on_read) {
                web_.on_read();
            }
            if (auto fault = web_.check("WinHttpReadData")) {
                return stdext::unexpected(*fault);
            }
            if (at_ >= page_.cut_after && at_ < page_.body.size()) {
                return stdext::unexpected(
                    winapi::win_failure(error_connection_aborted, "WinHttpReadData failed"));
            }
            const std::size_t n = std::min(
                {size, page_.most_per_read, page_.body.size() - at_, page_.cut_after - at_});
            std::copy_n(page_.body.data() + at_, n, buffer);
            at_ += n;
            return n;
        }
        stdext::expected<std::uint32_t> available() override {
            return web_.answer("WinHttpQueryDataAvailable", [&] {
                return static_cast<std::uint32_t>(
                    std::min(page_.body.size() - at_, page_.most_per_read));
            });
        }

    private:
        fake_http& web_;
        std::uintptr_t session_, request_;
        page page_;
        std::size_t at_ = 0;
    };

    class session final : public winapi::http_session {
    public:
        session(fake_http& web, std::uintptr_t handle) : web_(web), handle_(handle) {}
        ~session() override { web_.handles.close(handle_); }

        stdext::expected<std::unique_ptr<winapi::http_response>> open_request(
            const winapi::url_parts& url) override {
            for (const char* call : {"WinHttpConnect", "WinHttpOpenRequest", "WinHttpSendRequest",
                                     "WinHttpReceiveResponse"}) {
                if (auto fault = web_.check(call)) {
                    return stdext::unexpected(*fault);
                }
            }
            const auto found = web_.pages.find(url.url_path);
            page answer = found == web_.pages.end() ? page{404, "not found"} : found->second;
            return std::unique_ptr<winapi::http_response>(
                new response(web_, handle_, web_.handles.open("request"), std::move(answer)));
        }

    private:
        fake_http& web_;
        std::uintptr_t handle_;
    };
};

}  // namespace fakes
