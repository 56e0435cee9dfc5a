// The program reaches each Windows facility (registry, modules, processes, clock, ...) through a
// small interface. One implementation of each is installed for the process: the Windows one by
// the entry point, fakes by the tests. Logic asks facility<I>::get() at the moment of use.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace winapi {

template <class I>
class facility {
public:
    // The installed implementation; a missing one is a programming error.
    static I& get() {
        I* impl = slot().load(std::memory_order_acquire);
        if (impl == nullptr) {
            throw std::logic_error(std::string("facility not installed: ") + typeid(I).name());
        }
        return *impl;
    }
    // The installed implementation, or null.
    static I* find() noexcept { return slot().load(std::memory_order_acquire); }
    // Installs impl (may be null) and returns the previous one.
    static I* install(I* impl) noexcept { return slot().exchange(impl, std::memory_order_acq_rel); }

private:
    [[nodiscard]] static std::atomic<I*>& slot() noexcept {
        static std::atomic<I*> current{nullptr};
        return current;
    }
};

// Installs an implementation for the lifetime of the object and restores the previous one.
template <class I>
class scoped_facility {
public:
    explicit scoped_facility(I& impl) : previous_(facility<I>::install(&impl)) {}
    ~scoped_facility() { facility<I>::install(previous_); }
    scoped_facility(const scoped_facility&) = delete;
    scoped_facility& operator=(const scoped_facility&) = delete;

private:
    I* previous_;
};

}  // namespace winapi
