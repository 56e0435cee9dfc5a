#include <gtest/gtest.h>

#include "winapi/win/system_facilities.h"
#include "winapi/win_error_category.h"

namespace {

TEST(WinErrorCategoryWin, SystemTextAndFallback) {
    const auto& cat = winapi::win_error_category();
    const std::string text = cat.message(5);
    EXPECT_NE(text.find("ccess"), std::string::npos) << text;  // "Access denied" wording varies
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(cat.message(0x7FFFFFF0), "unknown error 2147483632");
}

}  // namespace
