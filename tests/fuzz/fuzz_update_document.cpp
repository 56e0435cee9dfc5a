// Arbitrary bytes as the update document, handed out by the fake web in reads of a size the
// first byte chooses and declared with a length the second byte chooses. The fetch either gives
// the document's "url" and "version" texts or raises; never anything else. The same bytes as an
// installer download arrive in the file unchanged.
#include <picojson.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "fakes/fake_machine.h"
#include "platform/http/http.h"
#include "supervision/update.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::wstring url = L"http://updates.example.com/agent/update.json";
    const std::wstring file = L"C:\\Temp\\abc1.tmp";
    fakes::fake_machine machine;

    const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
    fakes::fake_http::page page{200, body};
    page.most_per_read = 1 + data[0] % 64;
    switch (data[1] % 4) {
        case 0:
            break;  // the body's own length
        case 1:
            page.chunked = true;
            break;
        case 2:
            page.declared_length = platform::http::max_info_size + (data[1] >> 2) % 2;
            break;
        default:
            page.cut_after = body.size() / 2;
            break;
    }
    machine.http.pages[url] = page;

    try {
        const auto info = supervision::update::fetch_update_info(url);
        picojson::value doc;
        if (page.chunked || page.declared_length > platform::http::max_info_size ||
            !picojson::parse(doc, body).empty() || doc.get("url").to_str() != info.url ||
            doc.get("version").to_str() != info.version) {
            std::abort();
        }
    } catch (const std::exception&) {
        // Refused: a raised error is the only other outcome.
    }

    try {
        platform::http::download(url, file);
        if (page.cut_after < body.size() || machine.temp.files.at(file) != body) {
            std::abort();
        }
    } catch (const std::exception&) {
        if (page.cut_after >= body.size()) {
            std::abort();
        }
    }
    return 0;
}
