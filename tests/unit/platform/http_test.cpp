// The HTTP client against the fake web: the status rule, the update document's size limit and
// parse errors, buffered and unbuffered reads, downloads, and every failing call's error.
#include "platform/http/http.h"

#include <gtest/gtest.h>

#include <iterator>

#include "fakes/fake_machine.h"
#include "fakes/raised.h"

namespace {

namespace http = platform::http;
using fakes::raised;

const std::wstring info_url = L"http://updates.example.com/agent/info.json";
const std::wstring file_url = L"https://cdn.example.com/agent/setup.exe";
const std::wstring target = L"C:\\Temp\\setup.tmp";

class Http : public fakes::machine_test {
protected:
    fakes::fake_http& web = machine.http;

    // A body of n bytes that shows where each byte sits.
    static std::string pattern(std::size_t n) {
        std::string body(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            body[i] = static_cast<char>(i * 7 + i / 251);
        }
        return body;
    }
};

TEST_F(Http, StatusesBelow400OpenTheStreamOnceOthersRaiseAndClose) {
    for (const std::uint32_t status : {200u, 204u, 302u, 399u, 400u, 404u, 500u}) {
        web.pages[info_url] = {status, "{}"};
        http::istream in;
        if (status < 400) {
            in.open(http::crack_url(info_url));
            EXPECT_TRUE(in.good());
            EXPECT_EQ(in.buffer().status(), status);
            in.open(http::crack_url(info_url));  // fails the stream, sends nothing
            EXPECT_TRUE(in.fail());
            EXPECT_TRUE(in.buffer().is_open());
            EXPECT_EQ(raised([&] { in.buffer().open(http::crack_url(info_url)); }),
                      "runtime: already open");
        } else {
            EXPECT_EQ(raised([&] { in.open(http::crack_url(info_url)); }),
                      "runtime: Bad request status: " + std::to_string(status));
            EXPECT_FALSE(in.buffer().is_open());
            EXPECT_EQ(in.get(), std::char_traits<char>::eof());
        }
    }
    EXPECT_EQ(machine.faults.calls("WinHttpSendRequest"), 7);
}

TEST_F(Http, EveryFailingCallRaisesItsNameAndCode) {
    web.pages[info_url] = {200, R"({"a":1})"};
    for (const char* call :
         {"WinHttpCrackUrl", "WinHttpOpen", "WinHttpSetOption", "WinHttpSetTimeouts",
          "WinHttpConnect", "WinHttpOpenRequest", "WinHttpSendRequest", "WinHttpReceiveResponse",
          "WinHttpQueryHeaders", "WinHttpReadData"}) {
        machine.faults.clear();
        machine.faults.fail_always(call, 12029);
        EXPECT_EQ(raised([] { (void)http::get_update_info(info_url); }),
                  "system 12029: " + std::string(call) + " failed: unknown error 12029");
    }
    machine.faults.clear();
    web.pages[info_url].most_per_read = 3;
    http::istream in;
    in.open(http::crack_url(info_url));
    EXPECT_EQ(in.buffer().available(), 3u);
    EXPECT_EQ(in.rdbuf()->in_avail(), 3);
    machine.faults.fail_always("WinHttpQueryDataAvailable", 6);
    EXPECT_EQ(raised([&] { (void)in.buffer().available(); }),
              "system 6: WinHttpQueryDataAvailable failed: unknown error 6");
}

TEST_F(Http, UpdateDocumentsAreBoundedInSizeAndParseErrorsCarryTheParsersMessage) {
    const auto fetch = [&](std::optional<std::uint32_t> declared, bool chunked = false) {
        web.pages[info_url] = {200, R"({"url":"u","version":"1"})", declared, chunked};
        return raised([] { (void)http::get_update_info(info_url); });
    };
    EXPECT_EQ(fetch(1048576), "nothing");
    EXPECT_EQ(fetch(1048577), "runtime: Unexpected info size");
    EXPECT_EQ(fetch(0xFFFFFFFFu), "runtime: Unexpected info size");
    EXPECT_EQ(fetch(std::nullopt, true),
              "system 12150: WinHttpQueryHeaders failed: unknown error 12150");

    web.pages[info_url] = {200, R"({"url":"u", "version": "1.2"} trailing)"};
    const picojson::value doc = http::get_update_info(info_url);
    EXPECT_EQ(doc.get("version").get<std::string>(), "1.2");

    for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
             {"", "syntax error at line 1 near: "},
             {"{\"url\":\n  nope}", "syntax error at line 2 near: ope}"},
             {"<html>404</html>", "syntax error at line 1 near: <html>404</html>"}}) {
        web.pages[info_url] = {200, body};
        EXPECT_EQ(raised([] { (void)http::get_update_info(info_url); }), "runtime: " + message);
    }
    // Nesting is bounded, objects included: a deep document is a syntax error, not a crash.
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "{\"a\":";
    }
    web.pages[info_url] = {200, deep};
    EXPECT_TRUE(raised([] {
                    (void)http::get_update_info(info_url);
                }).starts_with("runtime: syntax error at line 1 near: "));
}

TEST_F(Http, BufferedReadsAskForWholeBuffersAndKeepEveryByte) {
    const std::string body = pattern(2 * 8192 + 5);
    web.pages[info_url] = {.body = body, .most_per_read = 5000};  // less than asked for
    http::istream in;
    in.open(http::crack_url(info_url));
    const std::string got{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(got, body);
    for (const auto asked : web.read_sizes) {
        EXPECT_EQ(asked, 8192u);
    }
    // The read that found the end is not repeated.
    const auto reads = web.read_sizes.size();
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_EQ(web.read_sizes.size(), reads);
    EXPECT_EQ(in.rdbuf()->in_avail(), -1);
}

TEST_F(Http, UnbufferedReadsGoStraightToTheResponse) {
    const std::string body = pattern(100);
    web.pages[info_url] = {.body = body, .most_per_read = 30};
    http::istream in;
    in.open(http::crack_url(info_url), true);
    EXPECT_EQ(in.peek(), body[0]);  // one byte asked, kept for the next read
    EXPECT_EQ(web.read_sizes, std::vector<std::size_t>{1});
    std::string block(60, '\0');
    in.read(block.data(), 60);
    EXPECT_EQ(block, body.substr(0, 60));
    EXPECT_EQ(web.read_sizes, (std::vector<std::size_t>{1, 59, 29}));
    in.read(block.data(), 60);  // the short final block ends the stream
    EXPECT_EQ(in.gcount(), 40);
    EXPECT_EQ(block.substr(0, 40), body.substr(60));
    EXPECT_TRUE(in.eof());
}

TEST_F(Http, DownloadFailures) {
    // The connection breaks in the second block.
    web.pages[file_url] = {.body = pattern(20000), .cut_after = 9000};
    EXPECT_EQ(raised([] { http::download(file_url, target); }),
              "system 12030: WinHttpReadData failed: unknown error 12030");
    EXPECT_TRUE(machine.temp.files[target] == pattern(8196));

    web.pages[file_url].cut_after = fakes::fake_http::unlimited;
    machine.temp.disk_space = 100;
    EXPECT_EQ(raised([] { http::download(file_url, target); }),
              "runtime: writing the download failed");

    // A disk that takes the bytes and finds no room when they are flushed.
    machine.temp.flush_fails = true;
    web.pages[file_url] = {200, "MZ"};
    EXPECT_EQ(raised([] { http::download(file_url, target); }),
              "runtime: writing the download failed");
    machine.temp.flush_fails = false;

    machine.faults.fail_always("open_binary_output", 5);
    EXPECT_EQ(raised([] { http::download(file_url, target); }),
              "system 5: open_binary_output failed: Access is denied.\r\n");
    machine.faults.clear();
    // The request comes first: a missing page leaves the file alone.
    machine.temp.files.clear();
    EXPECT_EQ(raised([] { http::download(file_url + L"x", target); }),
              "runtime: Bad request status: 404");
    EXPECT_TRUE(machine.temp.files.empty());
}

TEST_F(Http, SessionsTakeTheTimeOutsAndTransfersThatStallAreGivenUp) {
    web.pages[info_url] = {200, "{}"};
    http::transfer_limits limits;
    limits.timeouts = {1, 2, 3, 4, 5};
    (void)http::get_update_info(info_url);
    (void)http::get_update_info(info_url, limits);
    EXPECT_EQ(web.sessions, (std::vector<winapi::http_timeouts>{{30000, 30000, 30000, 30000, 60000},
                                                                limits.timeouts}));

    // Each read brings its bytes a window's length after the one before: 4096 bytes a window
    // pass, one byte less is a stall, for documents and downloads alike.
    web.on_read = [this] { machine.clock.advance(60000); };
    web.pages[info_url] = {.body = R"({"pad":")" + std::string(4 * 4096 - 10, 'x') + R"("})",
                           .most_per_read = 4096};
    EXPECT_EQ(http::get_update_info(info_url).get("pad").get<std::string>().size(), 16374u);
    web.pages[info_url].most_per_read = 4095;
    web.pages[file_url] = {.body = pattern(20000), .most_per_read = 4095};
    EXPECT_EQ(raised([] { (void)http::get_update_info(info_url); }), "runtime: Transfer stalled");
    EXPECT_EQ(raised([] { http::download(file_url, target); }), "runtime: Transfer stalled");

    // A byte every 5 seconds is given up after one window, however long the body.
    web.pages[file_url].most_per_read = 1;
    web.on_read = [this] { machine.clock.advance(5000); };
    const std::uint64_t start = machine.clock.monotonic_ms();
    EXPECT_EQ(raised([] { http::download(file_url, target); }), "runtime: Transfer stalled");
    EXPECT_EQ(machine.clock.monotonic_ms() - start, 60000u);
}

TEST_F(Http, DownloadsCopyTheWholeBodyUpToTheLimitAndRefuseMoreAsItArrives) {
    http::transfer_limits limits;
    limits.max_download_bytes = 20000;
    machine.temp.files[target] = "an older file";
    for (const bool chunked : {true, false}) {  // with and without a declared length
        web.pages[file_url] = {200, pattern(20000), std::nullopt, chunked};
        http::download(file_url, target, limits);
        EXPECT_TRUE(machine.temp.files[target] == pattern(20000));
    }
    web.pages[file_url] = {200, ""};
    http::download(file_url, target, limits);
    EXPECT_EQ(machine.temp.files[target], "");

    // Without a length, the block that goes beyond the limit is not written.
    web.pages[file_url] = {200, pattern(20001), std::nullopt, true};
    EXPECT_EQ(raised([&] { http::download(file_url, target, limits); }),
              "runtime: Download too large");
    EXPECT_EQ(machine.temp.files[target].size(), 16392u);
    // A length beyond the limit, the default 512 MiB among them, is refused before anything is
    // read or written.
    machine.temp.files.clear();
    web.read_sizes.clear();
    web.pages[file_url] = {200, pattern(100), 20001};
    EXPECT_EQ(raised([&] { http::download(file_url, target, limits); }),
              "runtime: Download too large");
    web.pages[file_url].declared_length = (512u << 20) + 1;
    EXPECT_EQ(raised([] { http::download(file_url, target); }), "runtime: Download too large");
    EXPECT_TRUE(web.read_sizes.empty());
    EXPECT_TRUE(machine.temp.files.empty());
}

}  // namespace
