// What the transactions need from the operating system: memory near a target, page protection,
// the instruction cache, and the threads that may run the code being rewritten.
#pragma once

#include <cstddef>
#include <cstdint>

#include "intercept/decoder.h"
#include "intercept/relocate.h"

namespace intercept {

class platform : public code_reader {
public:
    // The instruction set of the process.
    [[nodiscard]] virtual arch code_arch() const = 0;

    // A block of size bytes, readable, writable and executable; on x64 it lies within ±2 GiB of
    // `nearby` so that rel32 jumps reach both ways. Null when there is none.
    [[nodiscard]] virtual void* allocate_near(std::uint64_t nearby, std::size_t size) = 0;
    virtual void release(void* block, std::size_t size) = 0;

    // Makes code writable, remembering the previous protection, and puts it back.
    [[nodiscard]] virtual long make_writable(std::uint64_t address, std::size_t size,
                                             std::uint32_t& previous) = 0;
    virtual void restore_protection(std::uint64_t address, std::size_t size,
                                    std::uint32_t previous) = 0;
    virtual void flush_code(std::uint64_t address, std::size_t size) = 0;

    // The calling thread's identity, and whether a thread handle names the calling thread.
    [[nodiscard]] virtual std::uint32_t current_thread() const = 0;
    [[nodiscard]] virtual bool is_current_thread(void* thread) const = 0;
    [[nodiscard]] virtual long suspend(void* thread) = 0;
    virtual void resume(void* thread) = 0;
    // The instruction pointer of a suspended thread.
    [[nodiscard]] virtual long get_ip(void* thread, std::uint64_t& ip) = 0;
    [[nodiscard]] virtual long set_ip(void* thread, std::uint64_t ip) = 0;
};

}  // namespace intercept
