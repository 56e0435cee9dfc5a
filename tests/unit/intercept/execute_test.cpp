// Relocated x64 prologues run natively: each function is placed in executable memory, its
// prologue relocated 1 MiB away, and the trampoline must return what the function returns.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "intercept/errors.h"
#include "intercept/relocate.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using int_fn = int (*)(int);

struct sample {
    const char* name;
    bytes code;
    std::vector<std::pair<int, int>> calls;  // argument, result
};

TEST(InterceptExecute, RelocatedProloguesComputeWhatTheOriginalsDo) {
    constexpr std::size_t size = 0x200000;
    void* memory =
        mmap(nullptr, size, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* base = static_cast<std::uint8_t*>(memory);
    // Data at +0x800 for the rip-relative load; a helper at +0x900 for the call: mov eax,41; ret.
    const std::int32_t data = 1234;
    std::memcpy(base + 0x800, &data, 4);
    const bytes helper = {0xB8, 0x29, 0x00, 0x00, 0x00, 0xC3};
    std::memcpy(base + 0x900, helper.data(), helper.size());

    const sample samples[] = {
        // mov eax,[rip+0x7FA] (the data at +0x800); ret
        {"rip-relative load", {0x8B, 0x05, 0xFA, 0x07, 0x00, 0x00, 0xC3}, {{0, 1234}}},
        // test edi,edi; je +6; mov eax,1; ret; mov eax,2; ret
        {"short jcc widened",
         {0x85, 0xFF, 0x74, 0x06, 0xB8, 0x01, 0, 0, 0, 0xC3, 0xB8, 0x02, 0, 0, 0, 0xC3},
         {{0, 2}, {1, 1}}},
        // call helper (rel32 to +0x900); add eax,1; ret
        {"call rel32", {0xE8, 0xFB, 0x08, 0x00, 0x00, 0x83, 0xC0, 0x01, 0xC3}, {{0, 42}}},
        // xor eax,eax; jmp +3; nop x3; add eax,7; ret: ends in padding before 5 bytes
        {"short jmp", {0x31, 0xC0, 0xEB, 0x03, 0x90, 0x90, 0x90, 0x83, 0xC0, 0x07, 0xC3}, {{0, 7}}},
        // mov eax,edi; cmp eax,10; jl +2 (to the ret); add eax,eax; ret
        {"jcc after the patch",
         {0x89, 0xF8, 0x83, 0xF8, 0x0A, 0x7C, 0x02, 0x01, 0xC0, 0xC3},
         {{3, 3}, {20, 40}}},
    };
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        std::memcpy(base, s.code.data(), s.code.size());
        const auto original = reinterpret_cast<int_fn>(base);
        std::uint8_t* trampoline = base + 0x100000;
        intercept::relocation out;
        ASSERT_EQ(intercept::relocate(s.code, reinterpret_cast<std::uintptr_t>(base),
                                      reinterpret_cast<std::uintptr_t>(trampoline),
                                      intercept::arch::x64, out),
                  intercept::no_error);
        std::memcpy(trampoline, out.code.data(), out.code_size);
        // The original's first bytes are overwritten, as the patch would: only the copy may run.
        std::memset(base, 0xCC, intercept::patch_size);
        for (const auto& [argument, result] : s.calls) {
            EXPECT_EQ(reinterpret_cast<int_fn>(trampoline)(argument), result);
        }
        std::memcpy(base, s.code.data(), s.code.size());
        EXPECT_EQ(original(s.calls.front().first), s.calls.front().second);
    }
    munmap(memory, size);
}

}  // namespace
