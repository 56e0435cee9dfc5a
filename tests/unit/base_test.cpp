#include <gtest/gtest.h>

#include "fakes/fake_error_messages.h"
#include "stdext/expected.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

TEST(Expected, ValueAndErrorAccess) {
    stdext::expected<int, std::string> ok = 5;
    EXPECT_TRUE(ok);
    EXPECT_EQ(*ok, 5);
    EXPECT_THROW((void)ok.error(), stdext::bad_expected_access);

    stdext::expected<int, std::string> bad = stdext::unexpected(std::string("boom"));
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error(), "boom");
    EXPECT_EQ(bad.value_or(7), 7);
    EXPECT_THROW((void)bad.value(), stdext::bad_expected_access);

    stdext::expected<void, int> v = stdext::unexpected(3);
    EXPECT_FALSE(v);
    EXPECT_EQ(v.error(), 3);
    EXPECT_THROW(v.value(), stdext::bad_expected_access);
}

TEST(Utf, RoundTripsThroughUtf8AndUtf16le) {
    const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
    const std::string utf8 = stdext::wide_to_utf8(wide);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
    EXPECT_EQ(stdext::utf8_to_wide(utf8), wide);

    const auto bytes = stdext::wide_to_utf16le(wide);
    // The emoji is a surrogate pair: 6 code units in all, 12 bytes.
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes[6], 0x3D);  // high surrogate D83D, little-endian
    EXPECT_EQ(bytes[7], 0xD8);
    EXPECT_EQ(stdext::utf16le_to_wide(bytes.data(), bytes.size()), wide);
}

TEST(Utf, MalformedUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(stdext::utf8_to_wide("a\xFF"
                                   "b"),
              L"a\uFFFDb");
    EXPECT_EQ(stdext::utf8_to_wide("\xC3"), L"\uFFFD");      // truncated sequence
    EXPECT_EQ(stdext::utf8_to_wide("\xC0\xAF"), L"\uFFFD");  // overlong slash
}

TEST(Utf, Utf16StopsAtFirstZeroAndComparisonIgnoresCase) {
    const std::uint8_t data[] = {'a', 0, 'b', 0, 0, 0, 'c', 0};
    EXPECT_EQ(stdext::utf16le_to_wide(data, sizeof data), L"ab");
    EXPECT_TRUE(stdext::iequals(L"CorvelService.EXE", L"corvelservice.exe"));
    EXPECT_FALSE(stdext::iequals(L"CorvelService.exe", L"CorvelService.ex"));
}

TEST(WinErrorCategory, Messages) {
    const auto& cat = winapi::win_error_category();
    EXPECT_EQ(cat.message(5), "unknown error 5");  // no message source installed

    fakes::fake_error_messages messages;
    winapi::scoped_facility<winapi::error_messages> use(messages);
    EXPECT_EQ(cat.message(5), "Access is denied.\r\n");
    EXPECT_EQ(cat.message(-2147024891), "unknown error 2147942405");
    const auto err = winapi::win_system_error(5, "OpenSCManager failed");
    EXPECT_STREQ(err.what(), "OpenSCManager failed: Access is denied.\r\n");
}

}  // namespace
