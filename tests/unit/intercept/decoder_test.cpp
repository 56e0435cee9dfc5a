// The decoder and the relocation as pure functions over bytes, for both instruction sets.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "intercept/decoder.h"
#include "intercept/errors.h"
#include "intercept/relocate.h"

namespace {

using intercept::arch;
using intercept::flow;
using bytes = std::vector<std::uint8_t>;

struct decoded_case {
    bytes code;
    std::size_t length;
    flow kind = flow::plain;
    std::size_t rip_offset = 0;
};

void expect_decodes(arch mode, const std::vector<decoded_case>& cases) {
    for (const auto& c : cases) {
        // Trailing bytes must not change the length.
        bytes padded = c.code;
        padded.insert(padded.end(), 16, 0x90);
        const auto ins = intercept::decode(padded, mode);
        ASSERT_TRUE(ins.has_value()) << ::testing::PrintToString(c.code);
        EXPECT_EQ(ins->length, c.length) << ::testing::PrintToString(c.code);
        EXPECT_EQ(ins->kind, c.kind) << ::testing::PrintToString(c.code);
        EXPECT_EQ(ins->rip_offset, c.rip_offset) << ::testing::PrintToString(c.code);
    }
}

TEST(InterceptDecoder, X64InstructionsOfWineSystemDllsAndMore) {
    expect_decodes(
        arch::x64,
        {
            // Dumped under this machine's Wine 8 (x86_64) from kernel32/kernelbase LoadLibrary*,
            // ntdll NtCreateSection, wintrust WinVerifyTrust and kernel32 GetCurrentProcessId.
            {{0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0}, 8},                         // lea rsp,[rsp+0]
            {{0xFF, 0x25, 0x4E, 0xE3, 0x03, 0x00}, 6, flow::jmp_indirect, 2},  // jmp [rip+d]
            {{0x66, 0x90}, 2},
            {{0x48, 0x83, 0xEC, 0x28}, 4},
            {{0x45, 0x31, 0xC0}, 3},
            {{0xE8, 0xCA, 0xFE, 0xFF, 0xFF}, 5, flow::call_rel},
            {{0x0F, 0x1F, 0x44, 0x00, 0x00}, 5},
            {{0x0F, 0x84, 0xC2, 0x00, 0x00, 0x00}, 6, flow::jcc_rel},
            {{0x4C, 0x8B, 0xD1}, 3},                                // mov r10,rcx
            {{0xB8, 0x29, 0x00, 0x00, 0x00}, 5},                    // mov eax,imm32
            {{0xF6, 0x04, 0x25, 0x08, 0x03, 0xFE, 0x7F, 0x01}, 8},  // test byte [abs32],1
            {{0x75, 0x03}, 2, flow::jcc_rel},
            {{0x0F, 0x05}, 2},  // syscall
            {{0xEB, 0x01}, 2, flow::jmp_rel},
            {{0xFF, 0x14, 0x25, 0x00, 0x10, 0xFE, 0x7F}, 7},  // call [abs32]
            {{0x41, 0x54}, 2},                                // push r12
            {{0x48, 0x81, 0xEC, 0xE0, 0x00, 0x00, 0x00}, 7},
            {{0xF6, 0x05, 0x73, 0x40, 0x00, 0x00, 0x08}, 7, flow::plain, 2},  // test [rip+d],8
            {{0x65, 0x48, 0x8B, 0x04, 0x25, 0x30, 0, 0, 0}, 9},               // mov rax,gs:[0x30]
            {{0xC3}, 1, flow::ret},
            // Operand sizes, immediates and the maps.
            {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10},  // mov rax,imm64
            {{0x66, 0xB8, 0x34, 0x12}, 4},
            {{0x66, 0x81, 0x7C, 0x24, 0x08, 0x34, 0x12}, 7},  // cmp word [rsp+8],imm16
            {{0x66, 0xF7, 0xC1, 0x34, 0x12}, 5},              // test cx,imm16
            {{0x48, 0xF7, 0xC1, 0x78, 0x56, 0x34, 0x12}, 7},  // test rcx,imm32
            {{0xF7, 0xD8}, 2},                                // neg eax: no immediate
            {{0x48, 0x8B, 0x05, 0x10, 0, 0, 0}, 7, flow::plain, 3},
            {{0xC7, 0x05, 1, 0, 0, 0, 2, 0, 0, 0}, 10, flow::plain, 2},  // immediate after disp
            {{0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08}, 6},                   // palignr
            {{0x0F, 0x38, 0xF1, 0x07}, 4},                               // movbe/crc32 map
            {{0xF3, 0x0F, 0x1E, 0xFA}, 4},                               // endbr64
            {{0x0F, 0x1F, 0x84, 0x00, 0, 0, 0, 0}, 8},
            {{0xC2, 0x08, 0x00}, 3, flow::ret},
            {{0x48, 0x8B, 0x44, 0x8C, 0x10}, 5},  // SIB and disp8
            {{0x66, 0x48, 0x8B, 0x00}, 4},        // REX after a legacy prefix
        });
}

TEST(InterceptDecoder, X86Instructions) {
    expect_decodes(arch::x86, {
                                  {{0x8B, 0xFF}, 2},  // mov edi,edi: the hot-patch prologue
                                  {{0x55}, 1},
                                  {{0x8B, 0xEC}, 2},
                                  {{0x83, 0xEC, 0x10}, 3},
                                  {{0x40}, 1},                       // inc eax, not REX
                                  {{0x64, 0xA1, 0x30, 0, 0, 0}, 6},  // mov eax,fs:[0x30]
                                  {{0xFF, 0x25, 0x00, 0x10, 0x40, 0x00},
                                   6,
                                   flow::jmp_indirect},  // absolute, not relative
                                  {{0x8B, 0x05, 0x00, 0x10, 0x40, 0x00}, 6},
                                  {{0x67, 0x8B, 0x46, 0x10}, 4},  // 16-bit addressing: [bp+disp8]
                                  {{0x67, 0x8B, 0x06, 0x34, 0x12}, 5},  // [disp16]
                                  {{0x68, 1, 2, 3, 4}, 5},
                                  {{0x6A, 0x10}, 2},
                                  {{0xC4, 0x06}, 2},  // les eax,[esi]
                                  {{0xE8, 0, 0, 0, 0}, 5, flow::call_rel},
                                  {{0x2E, 0x74, 0x02}, 3, flow::jcc_rel},  // branch hint
                                  {{0xC8, 0x10, 0x00, 0x00}, 4},           // enter
                              });
}

TEST(InterceptDecoder, RefusesWhatItCannotMove) {
    const std::vector<std::pair<arch, bytes>> refused = {
        {arch::x64, {0xE2, 0xFE}},                    // loop
        {arch::x64, {0xE3, 0x00}},                    // jrcxz
        {arch::x64, {0xC4, 0xE2, 0x79, 0x18, 0x00}},  // VEX
        {arch::x64, {0x62, 0xF1, 0x7C, 0x48, 0x10}},  // EVEX
        {arch::x64, {0x06}},                          // push es: invalid in 64-bit mode
        {arch::x64, {0x66, 0xE8, 0, 0}},              // call rel16
        {arch::x64, {0x0F, 0x0B + 1}},                // unknown 0F 0C
        {arch::x64, {0xFF, 0x2D, 0, 0, 0, 0}},        // jmp far [rip+d]
        {arch::x64, {0xE8, 0x00, 0x00}},              // truncated
        {arch::x64, bytes(15, 0x66)},                 // prefixes beyond 15 bytes
        {arch::x86, {0x9A, 1, 2, 3, 4, 5, 6}},        // call far
        {arch::x86, {0xC5, 0xF9}},                    // VEX in the les/lds slot
        {arch::x86, {0x66, 0x0F, 0x84, 0, 0}},        // jcc rel16
    };
    for (const auto& [mode, code] : refused) {
        EXPECT_FALSE(intercept::decode(code, mode).has_value()) << ::testing::PrintToString(code);
    }
}

std::int32_t rel_at(const std::uint8_t* p) {
    std::int32_t v = 0;
    std::memcpy(&v, p, 4);
    return v;
}

TEST(InterceptRelocate, RebasesRipOperandsAndWidensShortBranches) {
    // mov rax,[rip+0x10]; then back to the source.
    const bytes rip = {0x48, 0x8B, 0x05, 0x10, 0, 0, 0, 0xC3};
    const std::uint64_t src = 0x7FF000001000;
    intercept::relocation out;
    ASSERT_EQ(intercept::relocate(rip, src, src + 0x100000, arch::x64, out), intercept::no_error);
    EXPECT_EQ(out.source_length, 7u);
    ASSERT_EQ(out.code_size, 12u);
    EXPECT_EQ(src + 7 + 0x10, src + 0x100000 + 7 + static_cast<std::int64_t>(rel_at(&out.code[3])));
    EXPECT_EQ(out.code[7], 0xE9);
    EXPECT_EQ(src + 7, src + 0x100000 + 12 + static_cast<std::int64_t>(rel_at(&out.code[8])));

    // test ecx,ecx; je +0x10; xor eax,eax: je becomes 0F 84 rel32 to the same place.
    const bytes jcc = {0x85, 0xC9, 0x74, 0x10, 0x31, 0xC0};
    ASSERT_EQ(intercept::relocate(jcc, src, src - 0x5000, arch::x64, out), intercept::no_error);
    EXPECT_EQ(out.source_length, 6u);
    EXPECT_EQ(out.code[2], 0x0F);
    EXPECT_EQ(out.code[3], 0x84);
    EXPECT_EQ(src + 4 + 0x10, src - 0x5000 + 8 + static_cast<std::int64_t>(rel_at(&out.code[4])));
    const intercept::boundary expected[] = {{0, 0}, {2, 2}, {4, 8}, {6, 10}};
    ASSERT_EQ(out.boundary_count, 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out.boundaries[i].source, expected[i].source);
        EXPECT_EQ(out.boundaries[i].trampoline, expected[i].trampoline);
    }

    // x86: mov edi,edi; push ebp; mov ebp,esp is copied as is; the jump back wraps around.
    const bytes hot = {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10};
    ASSERT_EQ(intercept::relocate(hot, 0x7C801000, 0x10000, arch::x86, out), intercept::no_error);
    EXPECT_EQ(out.source_length, 5u);
    EXPECT_EQ(0, std::memcmp(out.code.data(), hot.data(), 5));
    EXPECT_EQ(static_cast<std::uint32_t>(rel_at(&out.code[6])), 0x7C801005u - 0x1000Au);
}

TEST(InterceptRelocate, RefusesWhatWouldBreak) {
    const std::uint64_t src = 0x7FF000001000;
    intercept::relocation out;
    const auto refuse = [&](const bytes& code, std::uint64_t destination) {
        return intercept::relocate(code, src, destination, arch::x64, out) ==
               intercept::error_invalid_block;
    };
    EXPECT_TRUE(refuse({0x48, 0x8B, 0x05, 0x10, 0, 0, 0}, src + 0x90000000));  // rip out of reach
    EXPECT_TRUE(refuse({0x74, 0x01, 0x90, 0x31, 0xC0, 0xC3}, src + 0x1000));   // into the copy
    EXPECT_TRUE(refuse({0xC3, 0x00, 0x00, 0x00, 0x00}, src + 0x1000));         // too small
    EXPECT_TRUE(refuse({0x31, 0xC0, 0xE2, 0xFC, 0x90}, src + 0x1000));         // loop
    EXPECT_TRUE(refuse({0x74, 0x10, 0x31, 0xC0, 0x90}, src + 0x90000000));     // jcc out of reach

    // A function that ends in padding is short but movable; a far jmp takes the absolute form.
    ASSERT_EQ(
        intercept::relocate(bytes{0xC3, 0xCC, 0xCC, 0xCC, 0xCC}, src, src + 0x1000, arch::x64, out),
        intercept::no_error);
    EXPECT_EQ(out.source_length, 1u);
    EXPECT_EQ(out.code_size, 1u);
    ASSERT_EQ(intercept::relocate(bytes{0x31, 0xC0, 0xEB, 0x10, 0x90}, src, src + 0x90000000,
                                  arch::x64, out),
              intercept::no_error);
    EXPECT_EQ(out.code_size, 2u + intercept::absolute_jump_size);
    std::uint64_t to = 0;
    std::memcpy(&to, &out.code[8], 8);
    EXPECT_EQ(to, src + 4 + 0x10);
}

class fake_memory : public intercept::code_reader {
public:
    void put(std::uint64_t address, const bytes& code) { pages_[address] = code; }
    std::size_t read(std::uint64_t address, std::uint8_t* out, std::size_t size) const override {
        for (const auto& [base, code] : pages_) {
            if (address >= base && address < base + code.size()) {
                const std::size_t n = std::min<std::size_t>(size, base + code.size() - address);
                std::memcpy(out, code.data() + (address - base), n);
                return n;
            }
        }
        return 0;
    }

private:
    std::map<std::uint64_t, bytes> pages_;
};

bytes le(std::uint64_t value, std::size_t size) {
    bytes out(size);
    std::memcpy(out.data(), &value, size);
    return out;
}

TEST(InterceptThunks, FollowsForwardersToTheRealCode) {
    fake_memory memory;
    // Wine's kernel32 LoadLibraryW: lea rsp,[rsp+0]; jmp [rip+0x3e34e], into kernelbase, whose
    // code starts with the same lea but goes on with sub rsp,28h.
    const std::uint64_t thunk = 0x7B60E7FC;
    const std::uint64_t real = 0x7B025090;
    memory.put(thunk, {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0, 0xFF, 0x25, 0x4E, 0xE3, 0x03, 0x00, 0x66,
                       0x90});
    memory.put(thunk + 14 + 0x3E34E, le(real, 8));
    memory.put(real, {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0, 0x48, 0x83, 0xEC, 0x28, 0x45, 0x31});
    EXPECT_EQ(intercept::skip_thunks(thunk, arch::x64, memory), real);

    // x86: jmp [abs32] to a jmp rel32 to a jmp rel8 to the code.
    memory.put(0x401000, {0xFF, 0x25, 0x00, 0x20, 0x40, 0x00});
    memory.put(0x402000, le(0x10000000, 4));
    memory.put(0x10000000, {0xE9, 0xFB, 0x0F, 0x00, 0x00});  // to 0x10001000
    memory.put(0x10001000, {0xEB, 0x0E});                    // to 0x10001010
    memory.put(0x10001010, {0x8B, 0xFF, 0x55, 0x8B, 0xEC});
    EXPECT_EQ(intercept::skip_thunks(0x401000, arch::x86, memory), 0x10001010u);

    // An unreadable pointer slot, or a jump to itself, ends the walk where it is.
    memory.put(0x500000, {0xFF, 0x25, 0x00, 0x00, 0x00, 0x10});
    EXPECT_EQ(intercept::skip_thunks(0x500000, arch::x64, memory), 0x500000u);
    memory.put(0x600000, {0xEB, 0xFE});
    EXPECT_EQ(intercept::skip_thunks(0x600000, arch::x64, memory), 0x600000u);
}

}  // namespace
