// For code whose behaviour raises: the value of a result, or its error as a std::system_error
// with the error's code and text.
#pragma once

#include <system_error>
#include <utility>

#include "stdext/expected.h"

namespace stdext {

template <class T>
[[nodiscard]] T value_or_raise(expected<T> result) {
    if (!result) {
        throw std::system_error(result.error().code, result.error().text);
    }
    return std::move(result).value();
}

}  // namespace stdext
