// Instruction-length decoding for x86 and x64: enough of each instruction to copy it to another
// address (its length, where a relative displacement sits and what kind of transfer it is).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace intercept {

enum class arch { x86, x64 };

// What relocation has to know about the control flow of an instruction.
enum class flow {
    plain,         // goes on to the next instruction
    jmp_rel,       // EB rel8 / E9 rel32
    jcc_rel,       // 7x rel8 / 0F 8x rel32
    call_rel,      // E8 rel32
    ret,           // C3 / C2 iw: the code does not go on
    jmp_indirect,  // FF /4: the code does not go on
};

struct instruction {
    std::size_t length = 0;
    flow kind = flow::plain;
    // The relative displacement of a branch: its offset in the instruction and size (1 or 4).
    std::size_t rel_offset = 0;
    std::size_t rel_size = 0;
    // The condition (0 to 15) of a conditional jump.
    std::uint8_t condition = 0;
    // x64 only: the offset of the 32-bit displacement of a memory operand relative to the next
    // instruction ([rip+disp32]), 0 when there is none.
    std::size_t rip_offset = 0;
};

// Decodes the instruction at the start of code. Empty for what the decoder does not know or will
// not move: unknown or invalid opcodes, VEX/EVEX encodings, far transfers, loop/jecxz, 16-bit
// branch displacements, and an instruction longer than code or than 15 bytes.
[[nodiscard]] std::optional<instruction> decode(std::span<const std::uint8_t> code, arch mode);

// The signed little-endian value of size (1, 4 or 8) bytes at p.
[[nodiscard]] std::int64_t read_signed(const std::uint8_t* p, std::size_t size);

}  // namespace intercept
