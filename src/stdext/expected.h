// The one failure shape of the program: an operation that can fail returns
// stdext::expected<T>, its value or an error record. The error record is a standard error code
// (Windows error numbers in the win_error category) and a narrow text that says what failed;
// callers log it as the operation's name, " err=", the number, one space and the text.
// Reading the value of an error raises stdext::bad_expected_access ("bad expected access").
#pragma once

#include <exception>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace stdext {

struct error {
    std::error_code code;
    std::string text;
};

class bad_expected_access : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override { return "bad expected access"; }
};

template <class E>
class unexpected {
public:
    explicit unexpected(E e) : error_(std::move(e)) {}
    const E& error() const& noexcept { return error_; }
    E& error() & noexcept { return error_; }
    E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

template <class T, class E = error>
class [[nodiscard]] expected {
public:
    using value_type = T;
    using error_type = E;

    expected() requires std::is_default_constructible_v<T> : state_(std::in_place_index<0>) {}
    expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    template <class G>
    expected(unexpected<G> e)  // NOLINT
        : state_(std::in_place_index<1>, std::move(e).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        check();
        return std::get<0>(state_);
    }
    const T& value() const& {
        check();
        return std::get<0>(state_);
    }
    T&& value() && {
        check();
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const& {
        if (has_value()) {
            throw bad_expected_access();
        }
        return std::get<1>(state_);
    }
    E&& error() && {
        if (has_value()) {
            throw bad_expected_access();
        }
        return std::get<1>(std::move(state_));
    }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
    }

private:
    void check() const {
        if (!has_value()) {
            throw bad_expected_access();
        }
    }
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    expected() = default;
    template <class G>
    expected(unexpected<G> e) : error_(std::move(e).error()), failed_(true) {}  // NOLINT

    [[nodiscard]] bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const {
        if (failed_) {
            throw bad_expected_access();
        }
    }
    const E& error() const& {
        if (!failed_) {
            throw bad_expected_access();
        }
        return error_;
    }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace stdext
