// Parsing of the product's JSON texts (the settings file, the language record) with a bound on
// nesting. picojson's own parse context bounds the nesting of arrays but not of objects, so a
// file of thousands of nested objects ({"":{"":...) would exhaust the stack. This context counts
// objects and arrays alike; a document nested deeper than the bound is a syntax error.
// A number beyond the range of a double (1e99999) raises std::overflow_error with the text
// "number out of range"; picojson's own value raises it without any text.
#pragma once

#include <picojson.h>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace platform::config {

class bounded_parse_context : public picojson::default_parse_context {
public:
    explicit bounded_parse_context(picojson::value* out,
                                   std::size_t depths = picojson::DEFAULT_MAX_DEPTHS)
        : default_parse_context(out, depths) {}

    bool set_number(double number) {
        if (!std::isfinite(number)) {
            throw std::overflow_error("number out of range");
        }
        return default_parse_context::set_number(number);
    }
    [[nodiscard]] bool parse_object_start() {
        if (depths_ == 0) {
            return false;
        }
        --depths_;
        *out_ = picojson::value(picojson::object_type, false);
        return true;
    }
    // Nested values get a context of this kind with what is left of the bound.
    template <typename Iter>
    [[nodiscard]] bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
        auto& items = out_->get<picojson::array>();
        items.emplace_back();
        bounded_parse_context nested(&items.back(), depths_);
        return picojson::_parse(nested, in);
    }
    template <typename Iter>
    [[nodiscard]] bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
        bounded_parse_context nested(&out_->get<picojson::object>()[key], depths_);
        return picojson::_parse(nested, in);
    }
};

// Parses text into root; returns picojson's error message, empty on success.
[[nodiscard]] inline std::string parse_bounded(picojson::value& root, const std::string& text) {
    std::string error;
    bounded_parse_context context(&root);
    picojson::_parse(context, text.begin(), text.end(), &error);
    return error;
}

}  // namespace platform::config
