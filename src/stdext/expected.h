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
    // Which step of its operation failed, for the callers that decide on it: a value of the
    // operation's own step enumeration, 0 when the operation names none. Code decides on the step
    // or the code, never on the text, which is for people.
    int step = 0;

    template <class Step>
    requires std::is_enum_v<Step>
    [[nodiscard]] bool failed_at(Step which) const noexcept {
        return step == static_cast<int>(which);
    }
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

    // The result of f on the value, which is itself an expected with the same error type; an
    // error passes through untouched.
    template <class F>
    auto and_then(F&& f) & {
        return and_then_of(*this, std::forward<F>(f));
    }
    template <class F>
    auto and_then(F&& f) const& {
        return and_then_of(*this, std::forward<F>(f));
    }
    template <class F>
    auto and_then(F&& f) && {
        return and_then_of(std::move(*this), std::forward<F>(f));
    }

    // f of the value as the new value; an error passes through untouched.
    template <class F>
    auto transform(F&& f) & {
        return transform_of(*this, std::forward<F>(f));
    }
    template <class F>
    auto transform(F&& f) const& {
        return transform_of(*this, std::forward<F>(f));
    }
    template <class F>
    auto transform(F&& f) && {
        return transform_of(std::move(*this), std::forward<F>(f));
    }

private:
    template <class Self, class F>
    static auto and_then_of(Self&& self, F&& f) {
        using R = std::remove_cvref_t<
            std::invoke_result_t<F, decltype(std::get<0>(std::forward<Self>(self).state_))>>;
        static_assert(std::is_same_v<typename R::error_type, E>, "and_then keeps the error type");
        if (self.has_value()) {
            return std::forward<F>(f)(std::get<0>(std::forward<Self>(self).state_));
        }
        return R(unexpected<E>(std::get<1>(std::forward<Self>(self).state_)));
    }

    template <class Self, class F>
    static auto transform_of(Self&& self, F&& f) {
        using U = std::remove_cvref_t<
            std::invoke_result_t<F, decltype(std::get<0>(std::forward<Self>(self).state_))>>;
        using R = expected<U, E>;
        if (!self.has_value()) {
            return R(unexpected<E>(std::get<1>(std::forward<Self>(self).state_)));
        }
        if constexpr (std::is_void_v<U>) {
            std::forward<F>(f)(std::get<0>(std::forward<Self>(self).state_));
            return R();
        } else {
            return R(std::forward<F>(f)(std::get<0>(std::forward<Self>(self).state_)));
        }
    }

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

    // The result of f, itself an expected with the same error type; an error passes through.
    template <class F>
    auto and_then(F&& f) const {
        using R = std::remove_cvref_t<std::invoke_result_t<F>>;
        static_assert(std::is_same_v<typename R::error_type, E>, "and_then keeps the error type");
        if (failed_) {
            return R(unexpected<E>(error_));
        }
        return std::forward<F>(f)();
    }

    // f's result as the value; an error passes through.
    template <class F>
    auto transform(F&& f) const {
        using U = std::remove_cvref_t<std::invoke_result_t<F>>;
        using R = expected<U, E>;
        if (failed_) {
            return R(unexpected<E>(error_));
        }
        if constexpr (std::is_void_v<U>) {
            std::forward<F>(f)();
            return R();
        } else {
            return R(std::forward<F>(f)());
        }
    }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace stdext
