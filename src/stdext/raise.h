// For code whose behaviour raises: the value of a result, or its error as an exception. Callers
// at the edge of a feature catch the standard exception base and log what() verbatim, so what the
// exception says is chosen here, once, by the raising call:
//   value_or_raise(result)                         "<error text>: <system message>"
//   value_or_raise(result, "OpenFoo failed")        "OpenFoo failed: <system message>"
//   value_or_raise(result, raised::system_message)  "<system message>"
//   value_or_raise(result, raised::numbered)        as the first; an error without a number
//                                                   (code 0) says its text alone
//   value_or_raise(result, raised::file_system)     "filesystem error: " and as the first
// A text followed by the system's message is a std::system_error carrying the error's code
// (from file_system a std::filesystem::filesystem_error); the system's message alone, and a text
// alone, are a std::runtime_error. raise(error, how) raises an error record that is not a result.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "stdext/expected.h"

namespace stdext {

// What a raised error says when no text is given in its place.
enum class raised {
    error_text,      // the error's text, ": " and the system's message for its code
    system_message,  // the system's message for its code alone
    numbered,        // as error_text; a code of 0 is no error number, and the text stands alone
    file_system,     // as error_text, from a file-system operation
};

// What a std::system_error of the code and text says, without raising one.
[[nodiscard]] inline std::string failure_text(const error& failure) {
    return std::system_error(failure.code, failure.text).what();
}

[[noreturn]] inline void raise(const error& failure, raised how = raised::error_text) {
    switch (how) {
        case raised::system_message:
            throw std::runtime_error(failure.code.message());
        case raised::numbered:
            if (failure.code.value() == 0) {
                throw std::runtime_error(failure.text);
            }
            break;
        case raised::file_system:
            throw std::filesystem::filesystem_error(failure.text, failure.code);
        case raised::error_text:
            break;
    }
    throw std::system_error(failure.code, failure.text);
}

template <class T>
[[nodiscard]] T value_or_raise(expected<T> result, raised how = raised::error_text) {
    if (!result) {
        raise(result.error(), how);
    }
    return std::move(result).value();
}

// The error's code with the given text in place of its own.
template <class T>
[[nodiscard]] T value_or_raise(expected<T> result, std::string_view text) {
    if (!result) {
        raise({result.error().code, std::string(text)}, raised::error_text);
    }
    return std::move(result).value();
}

inline void value_or_raise(const expected<void>& result, raised how = raised::error_text) {
    if (!result) {
        raise(result.error(), how);
    }
}

inline void value_or_raise(const expected<void>& result, std::string_view text) {
    if (!result) {
        raise({result.error().code, std::string(text)}, raised::error_text);
    }
}

}  // namespace stdext
