// Move-only owner of one handle. Traits give the handle type, its empty value and how to close
// it; the Windows traits (winapi/win/handles.h) keep the thread's last error intact on close.
#pragma once

#include <utility>

namespace stdext {

template <class Traits>
class unique_handle {
public:
    using handle_type = typename Traits::handle_type;

    unique_handle() noexcept = default;
    explicit unique_handle(handle_type h) noexcept : handle_(h) {}
    ~unique_handle() { reset(); }

    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    [[nodiscard]] handle_type get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::empty(); }

    // Releases what the holder owns and returns the address of its empty handle, for a call
    // that hands a new handle out through a pointer parameter: open(..., holder.put()).
    [[nodiscard]] handle_type* put() noexcept {
        reset();
        return &handle_;
    }

    [[nodiscard]] handle_type release() noexcept { return std::exchange(handle_, Traits::empty()); }
    void reset(handle_type h = Traits::empty()) noexcept {
        handle_type old = std::exchange(handle_, h);
        if (old != Traits::empty()) {
            Traits::close(old);
        }
    }

private:
    handle_type handle_ = Traits::empty();
};

}  // namespace stdext
