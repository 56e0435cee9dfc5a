// The decoder, the relocation and the thunk walk as pure functions over bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <tuple>
#include <vector>

#include "intercept/decoder.h"
#include "intercept/errors.h"
#include "intercept/relocate.h"

namespace {

using intercept::arch;
using intercept::flow;
using bytes = std::vector<std::uint8_t>;

bytes hex(const char* text) {
    std::istringstream in(text);
    bytes out;
    for (unsigned value = 0; in >> std::hex >> value;) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

TEST(InterceptDecoder, DecodesInstructionStreamsOfBothWidths) {
    // Each stream of code and the lengths of its instructions.
    const std::tuple<arch, const char*, std::vector<std::size_t>> streams[] = {
        // Dumped under this machine's Wine 8 (x86_64): kernelbase!LoadLibraryW and LoadLibraryExW,
        // ntdll!NtCreateSection, wintrust!WinVerifyTrust, kernel32!GetCurrentProcessId.
        {arch::x64,
         "48 8d a4 24 00 00 00 00 48 83 ec 28 45 31 c0 31 d2 e8 ca fe ff ff 48 83 c4 28 c3",
         {8, 4, 3, 2, 5, 4, 1}},
        {arch::x64,
         "57 56 53 48 83 ec 30 48 89 cf 44 89 c3 48 85 c9 0f 84 c2 00 00 00",
         {1, 1, 1, 4, 3, 3, 3, 6}},
        {arch::x64,
         "4c 8b d1 b8 29 00 00 00 f6 04 25 08 03 fe 7f 01 75 03 0f 05 c3 eb 01 c3 "
         "ff 14 25 00 10 fe 7f c3",
         {3, 5, 8, 2, 2, 1, 2, 1, 7, 1}},
        {arch::x64,
         "41 54 55 57 56 53 48 81 ec e0 00 00 00 48 89 cd f6 05 73 40 00 00 08",
         {2, 1, 1, 1, 1, 7, 3, 7}},
        {arch::x64, "65 48 8b 04 25 30 00 00 00 8b 40 40 c3 0f 1f 00", {9, 3, 1, 3}},
        // Operand sizes, immediates (F6/F7 test included), SIB with and without a displacement,
        // the 0F38/0F3A maps, endbr64, REX after a legacy prefix, the ends of opcode ranges
        // (mov bh, and al, xgetbv, pshufd), 15 bytes (the most there is).
        {arch::x64,
         "48 b8 01 02 03 04 05 06 07 08 66 b8 34 12 66 81 7c 24 08 34 12 66 f7 c1 34 "
         "12 48 f7 c1 78 56 34 12 f7 d8 c7 05 01 00 00 00 02 00 00 00 66 0f 3a 0f c1 "
         "08 0f 38 f1 07 f3 0f 1e fa 0f 1f 84 00 00 00 00 00 c2 08 00 48 8b 44 8c 10 "
         "8b 04 24 66 48 8b 00 b7 01 24 0f 0f 01 d0 66 0f 70 c0 1b 66 66 66 66 66 66 66 66 "
         "66 66 66 66 66 66 90",
         {10, 4, 7, 5, 7, 2, 10, 6, 4, 4, 8, 3, 5, 3, 4, 2, 2, 3, 5, 15}},
        // x86: the hot-patch prologue, inc (not REX), moffs, absolute [disp32], 16-bit
        // addressing (no, 8-bit, 16-bit and lone 16-bit displacement), push imm, les, call, a
        // branch hint, enter.
        {arch::x86,
         "8b ff 55 8b ec 83 ec 10 40 64 a1 30 00 00 00 ff 25 00 10 40 00 8b 05 00 10 40 "
         "00 67 8b 07 67 8b 46 10 67 8b 86 34 12 67 8b 06 34 12 68 01 02 03 04 6a 10 c4 "
         "06 e8 00 00 00 00 2e 74 02 c8 10 00 00",
         {2, 1, 2, 3, 1, 6, 6, 6, 3, 4, 5, 5, 5, 2, 2, 5, 3, 4}},
    };
    for (const auto& [mode, text, lengths] : streams) {
        const bytes code = hex(text);
        std::vector<std::size_t> decoded;
        for (std::size_t at = 0; at < code.size();) {
            const auto ins = intercept::decode(std::span(code).subspan(at), mode);
            ASSERT_TRUE(ins.has_value()) << text << " at " << at;
            decoded.push_back(ins->length);
            at += ins->length;
        }
        EXPECT_EQ(decoded, lengths) << text;
    }

    // Single instructions, their flow and the offset of their rip-relative displacement.
    const std::tuple<arch, const char*, flow, std::size_t> kinds[] = {
        {arch::x64, "ff e0", flow::jmp_indirect, 0},
        {arch::x64, "70 fe", flow::jcc_rel, 0},
        {arch::x64, "7f 10", flow::jcc_rel, 0},
        {arch::x64, "f6 05 73 40 00 00 08", flow::plain, 2},
        {arch::x64, "c7 05 01 00 00 00 02 00 00 00", flow::plain, 2},
        {arch::x64, "0f 84 c2 00 00 00", flow::jcc_rel, 0},
        {arch::x64, "c2 08 00", flow::ret, 0},
        {arch::x86, "8b 05 00 10 40 00", flow::plain, 0},  // absolute, not relative
    };
    for (const auto& [mode, code, kind, rip_offset] : kinds) {
        const auto ins = intercept::decode(hex(code), mode);
        ASSERT_TRUE(ins.has_value()) << code;
        EXPECT_EQ(ins->kind, kind) << code;
        EXPECT_EQ(ins->rip_offset, rip_offset) << code;
    }
}

TEST(InterceptDecoder, RefusesWhatItCannotMove) {
    // x64: loop, jrcxz, VEX, EVEX, push es, call rel16, an unknown opcode, call far, jmp far, the
    // undefined FF /7, a truncated call, ModRM and immediate, and 16 bytes.
    for (const char* code :
         {"e2 fe", "e3 00", "c4 e2 79 18 00", "62 f1 7c 48 10 00", "06", "66 e8 00 00", "0f 0c",
          "ff 18", "ff 2d 00 00 00 00", "ff f8", "e8 00 00", "8b", "05 01 02",
          "66 66 66 66 66 66 66 66 66 66 66 66 66 66 66 90"}) {
        EXPECT_FALSE(intercept::decode(hex(code), arch::x64).has_value()) << code;
    }
    // x86: call far, VEX, jcc rel16.
    for (const char* code : {"9a 01 02 03 04 05 06", "c5 f9", "66 0f 84 00 00"}) {
        EXPECT_FALSE(intercept::decode(hex(code), arch::x86).has_value()) << code;
    }
}

TEST(InterceptRelocate, RefusesWhatWouldBreakAndWrapsX86Addresses) {
    const std::uint64_t src = 0x7FF000001000;
    intercept::relocation out;
    const auto result = [&](const char* code, std::uint64_t destination) {
        return intercept::relocate(hex(code), src, destination, arch::x64, out);
    };
    constexpr long invalid_block = 9;  // as Windows numbers it
    EXPECT_EQ(result("48 8b 05 10 00 00 00", src + 0x90000000), invalid_block);  // far rip
    EXPECT_EQ(result("74 10 31 c0 90", src + 0x90000000), invalid_block);        // far jcc
    EXPECT_EQ(result("74 01 90 31 c0 c3", src + 0x1000), invalid_block);         // into the copy
    EXPECT_EQ(result("c3 00 00 00 00", src + 0x1000), invalid_block);            // too small
    EXPECT_EQ(result("31 c0 e2 fc 90", src + 0x1000), invalid_block);            // loop
    EXPECT_EQ(result("74 03 90 90 90 c3", src + 0x1000), 0) << "a jcc to just past the copy";

    // A far unconditional jmp takes the absolute form: jmp [rip+0] and the address.
    const auto copied = [&out] { return bytes(out.code.data(), out.code.data() + out.code_size); };
    ASSERT_EQ(result("31 c0 eb 10 90", src + 0x90000000), intercept::no_error);
    EXPECT_EQ(copied(), hex("31 c0 ff 25 00 00 00 00 14 10 00 00 f0 7f 00 00"));

    // x86: mov edi,edi; push ebp; mov ebp,esp is copied as is, then the jump back to 0x7C801005,
    // whose displacement wraps around the 32-bit address space.
    const bytes hot = hex("8b ff 55 8b ec 83 ec 10");
    ASSERT_EQ(intercept::relocate(hot, 0x7C801000, 0xFFFF0000, arch::x86, out),
              intercept::no_error);
    EXPECT_EQ(out.source_length, 5u);
    EXPECT_EQ(copied(), hex("8b ff 55 8b ec e9 fb 0f 81 7c"));
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

TEST(InterceptThunks, FollowsImportThunksButNotAnotherProductsHook) {
    fake_memory memory;
    const auto pointer = [](std::uint64_t value, std::size_t size) {
        bytes out(size);
        std::memcpy(out.data(), &value, size);
        return out;
    };
    // Wine's kernel32!LoadLibraryW forwards to kernelbase, whose code starts with the same lea
    // but goes on with sub rsp,28h: that is where the walk stops.
    const std::uint64_t thunk = 0x7B60E7FC;
    const std::uint64_t real = 0x7B025090;
    memory.put(thunk, hex("48 8d a4 24 00 00 00 00 ff 25 4e e3 03 00 66 90"));
    memory.put(thunk + 14 + 0x3E34E, pointer(real, 8));
    memory.put(real, hex("48 8d a4 24 00 00 00 00 48 83 ec 28 45 31"));
    EXPECT_EQ(intercept::skip_thunks(thunk, arch::x64, memory), real);
    // rex.w jmp [rip+0], reached by a short jump.
    memory.put(0x7B000000, hex("eb 10"));
    memory.put(0x7B000012, hex("48 ff 25 00 00 00 00"));
    memory.put(0x7B000019, pointer(real, 8));
    EXPECT_EQ(intercept::skip_thunks(0x7B000000, arch::x64, memory), real);

    // x86: an import thunk jmp [abs32] leads to a function that another product has hooked with
    // a jmp rel32; the walk ends on that jump, not in the other product's code.
    memory.put(0x401000, hex("ff 25 00 20 40 00"));
    memory.put(0x402000, pointer(0x10001010, 4));
    memory.put(0x10001010, hex("e9 eb ef ff ff 83 ec 10"));  // to 0x10000000
    memory.put(0x10000000, hex("55 8b ec 90 90"));
    EXPECT_EQ(intercept::skip_thunks(0x401000, arch::x86, memory), 0x10001010u);
    // The same hook placed in the patch area before a function, reached by its jmp $-5: the
    // walk ends on the long jump.
    memory.put(0x10002000, hex("e9 fb df ff ff eb f9 55 8b ec"));
    EXPECT_EQ(intercept::skip_thunks(0x10002005, arch::x86, memory), 0x10002000u);
    // x64 alike, and a short jump onto ordinary code is not a thunk.
    memory.put(0x7C000000, hex("e9 00 10 00 00 48 83 ec 28"));
    EXPECT_EQ(intercept::skip_thunks(0x7C000000, arch::x64, memory), 0x7C000000u);
    memory.put(0x7C001000, hex("eb 03 90 90 90 48 83 ec 28"));
    EXPECT_EQ(intercept::skip_thunks(0x7C001000, arch::x64, memory), 0x7C001000u);

    // An unreadable pointer, or a jump to itself, ends the walk where it is.
    memory.put(0x500000, hex("ff 25 00 00 00 10"));
    EXPECT_EQ(intercept::skip_thunks(0x500000, arch::x64, memory), 0x500000u);
    memory.put(0x600000, hex("eb fe"));
    EXPECT_EQ(intercept::skip_thunks(0x600000, arch::x64, memory), 0x600000u);
}

}  // namespace
