#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "fakes/fake_error_messages.h"
#include "fakes/raised.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

TEST(Expected, ChainsStopAtTheFirstError) {
    using stdext::expected;
    const auto half = [](int n) -> expected<int> {
        if (n % 2 != 0) {
            return stdext::unexpected(winapi::win_failure(87, "odd " + std::to_string(n)));
        }
        return n / 2;
    };
    EXPECT_EQ(expected<int>(12).and_then(half).and_then(half).value(), 3);
    const auto odd = expected<int>(12).and_then(half).and_then(half).and_then(half);
    EXPECT_EQ(odd.error().text, "odd 3");
    EXPECT_EQ(odd.value_or(7), 7);
    EXPECT_THROW(static_cast<void>(odd.value()), stdext::bad_expected_access);
    EXPECT_THROW(static_cast<void>(expected<void>().error()), stdext::bad_expected_access);
    // An error passes any later step untouched, whatever its type.
    const auto text = odd.transform([](int n) { return std::to_string(n); })
                          .and_then([](const std::string&) -> expected<void> { return {}; });
    EXPECT_EQ(text.error().code.value(), 87);
    // A value moves through (a move-only one too); an expected<void> chains on success alone.
    auto owned = expected<std::unique_ptr<int>>(std::make_unique<int>(4))
                     .transform([](std::unique_ptr<int>&& p) { return *p + 1; });
    EXPECT_EQ(*owned, 5);
    const expected<void> failed = stdext::unexpected(winapi::win_failure(5, "x"));
    EXPECT_FALSE(expected<void>().and_then([&] { return failed; }).has_value());
}

TEST(Expected, RaisedErrorsSayWhatTheirCallersLog) {
    EXPECT_EQ(winapi::win_error_category().message(5), "unknown error 5");  // no message source
    fakes::fake_error_messages messages;
    const winapi::scoped_facility<winapi::error_messages> use(messages);
    const auto denied = [](std::string text) -> stdext::expected<int> {
        return stdext::unexpected(winapi::win_failure(5, std::move(text)));
    };
    using fakes::raised;
    const std::string message = "Access is denied.\r\n";
    EXPECT_EQ(raised([&] { return stdext::value_or_raise(denied("OpenFoo failed")); }),
              "system 5: OpenFoo failed: " + message);
    EXPECT_EQ(raised([&] { return stdext::value_or_raise(denied("x"), "Given failed"); }),
              "system 5: Given failed: " + message);
    EXPECT_EQ(
        raised([&] { return stdext::value_or_raise(denied("x"), stdext::raised::system_message); }),
        "runtime: " + message);
    EXPECT_EQ(raised([&] { return stdext::value_or_raise(denied("x"), stdext::raised::numbered); }),
              "system 5: x: " + message);
    const stdext::expected<void> no_number = stdext::unexpected(winapi::win_failure(0, "nullptr"));
    EXPECT_EQ(raised([&] { stdext::value_or_raise(no_number, stdext::raised::numbered); }),
              "runtime: nullptr");
    EXPECT_EQ(
        raised([&] { return stdext::value_or_raise(denied("walk"), stdext::raised::file_system); }),
        "system 5: filesystem error: walk: " + message);
    EXPECT_EQ(stdext::failure_text(denied("OpenFoo failed").error()), "OpenFoo failed: " + message);
    EXPECT_EQ(raised([] { stdext::raise(winapi::win_failure(5, "Step")); }),
              "system 5: Step: " + message);
    EXPECT_EQ(stdext::value_or_raise(stdext::expected<int>(3)), 3);
    EXPECT_EQ(raised([&] { stdext::value_or_raise(stdext::expected<void>()); }), "nothing");
}

TEST(Utf, RoundTripsAndRepairsMalformedText) {
    const std::wstring wide = L"a\u00e9\U0001F600z";
    EXPECT_EQ(stdext::wide_to_utf8(wide), "a\xC3\xA9\xF0\x9F\x98\x80z");
    EXPECT_EQ(stdext::utf8_to_wide(stdext::wide_to_utf8(wide)), wide);
    const auto bytes = stdext::wide_to_utf16le(wide);
    ASSERT_EQ(bytes.size(), 10u);  // the emoji is a surrogate pair
    EXPECT_EQ(stdext::utf16le_to_wide(bytes.data(), bytes.size()), wide);
    // A stray byte, an overlong form, the encoded surrogates D800 and DFFF, a cut sequence.
    EXPECT_EQ(stdext::utf8_to_wide("a\xFF\xC0\xAF\xED\xA0\x80\xED\xBF\xBF\xC3"),
              L"a\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
    // The two rules differ in the Latin-1 capitals only (the multiplication sign is no letter);
    // narrow text keeps every byte of its UTF-8 sequences.
    EXPECT_EQ(stdext::to_lower(L"AZ[\u00C9\u00D7\u00DE", stdext::case_rule::latin1),
              L"az[\u00E9\u00D7\u00FE");
    EXPECT_EQ(stdext::to_lower(L"AZ[\u00C9\u00D7\u00DE", stdext::case_rule::ascii),
              L"az[\u00C9\u00D7\u00DE");
    EXPECT_FALSE(stdext::iequals(L"\u00C9", L"\u00E9", stdext::case_rule::ascii));
    EXPECT_EQ(stdext::to_lower("AB\xC3\x89"), "ab\xC3\x89");

    // The edges of each UTF-8 length, and UTF-16 surrogates given as separate units.
    const std::pair<std::wstring, std::string> edges[] = {
        {{wchar_t(0x7F), wchar_t(0x80)}, "\x7F\xC2\x80"},
        {{wchar_t(0x7FF), wchar_t(0x800)}, "\xDF\xBF\xE0\xA0\x80"},
        {{wchar_t(0xFFFF), wchar_t(0xDC00)}, "\xEF\xBF\xBF\xEF\xBF\xBD"},
        {{wchar_t(0xD800), wchar_t(0xDC00)}, "\xF0\x90\x80\x80"},
        {{wchar_t(0xDBFF), wchar_t(0xDFFF)}, "\xF4\x8F\xBF\xBF"},
        {{wchar_t(0xDC00), wchar_t(0xD800), L'a'},
         "\xEF\xBF\xBD\xEF\xBF\xBD"
         "a"},
    };
    for (const auto& [units, utf8] : edges) {
        EXPECT_EQ(stdext::wide_to_utf8(units), utf8);
        std::vector<std::uint8_t> le;
        for (const wchar_t u : units) {
            le.push_back(static_cast<std::uint8_t>(u & 0xFF));
            le.push_back(static_cast<std::uint8_t>((u >> 8) & 0xFF));
        }
        EXPECT_EQ(stdext::utf16le_to_wide(le.data(), le.size()), stdext::utf8_to_wide(utf8));
    }
}

}  // namespace
