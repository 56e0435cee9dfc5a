// The platform of the transactions on Windows: virtual memory, page protection, the instruction
// cache and thread contexts of the calling process.
#pragma once

#include "intercept/platform.h"

namespace intercept {

class windows_platform final : public platform {
public:
    [[nodiscard]] std::size_t read(std::uint64_t address, std::uint8_t* out,
                                   std::size_t size) const override;
    [[nodiscard]] arch code_arch() const override;
    [[nodiscard]] void* allocate_near(std::uint64_t nearby, std::size_t size) override;
    void release(void* block, std::size_t size) override;
    [[nodiscard]] long make_writable(std::uint64_t address, std::size_t size,
                                     std::uint32_t& previous) override;
    void restore_protection(std::uint64_t address, std::size_t size,
                            std::uint32_t previous) override;
    void flush_code(std::uint64_t address, std::size_t size) override;
    [[nodiscard]] std::uint32_t current_thread() const override;
    [[nodiscard]] bool is_current_thread(void* thread) const override;
    [[nodiscard]] long suspend(void* thread) override;
    void resume(void* thread) override;
    [[nodiscard]] long get_ip(void* thread, std::uint64_t& ip) override;
    [[nodiscard]] long set_ip(void* thread, std::uint64_t ip) override;
};

}  // namespace intercept
