#include "platform/config/bounded_json.h"

#include <gtest/gtest.h>

namespace {

std::string nested(const std::string& open, const std::string& close, int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += open;
    }
    text += "1";
    for (int i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

TEST(BoundedJson, NestingOfObjectsAndArraysIsBounded) {
    picojson::value root;
    // At the bound both kinds parse; beyond it, and far beyond it, both are syntax errors
    // instead of a stack overflow.
    for (const auto& [open, close] : {std::pair{"{\"\":", "}"}, std::pair{"[", "]"}}) {
        EXPECT_EQ(platform::config::parse_bounded(root, nested(open, close, 100)), "") << open;
        for (int depth : {101, 9000}) {
            EXPECT_EQ(platform::config::parse_bounded(root, nested(open, close, depth))
                          .rfind("syntax error at line 1 near: ", 0),
                      0u)
                << open << depth;
        }
    }
    // Mixed nesting counts both kinds.
    EXPECT_NE(platform::config::parse_bounded(root, nested("{\"a\":[", "]}", 51)), "");
    EXPECT_EQ(platform::config::parse_bounded(root, nested("{\"a\":[", "]}", 50)), "");
    EXPECT_TRUE(root.is<picojson::object>());
}

}  // namespace
