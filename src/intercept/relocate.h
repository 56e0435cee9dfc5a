// Moving the first instructions of a function to a trampoline, and the jumps that tie the two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "intercept/decoder.h"

namespace intercept {

// The patch written over a target: jmp rel32.
inline constexpr std::size_t patch_size = 5;
// Room for the relocated instructions and the jump back.
inline constexpr std::size_t trampoline_capacity = 96;
// Source bytes read for decoding: the last instruction begins before patch_size and is at most
// 15 bytes long.
inline constexpr std::size_t max_source = 32;
inline constexpr std::size_t max_boundaries = 8;

// Corresponding offsets of an instruction start in the original code and in the trampoline.
struct boundary {
    std::uint8_t source = 0;
    std::uint8_t trampoline = 0;
};

struct relocation {
    std::array<std::uint8_t, trampoline_capacity> code{};
    std::size_t code_size = 0;
    // Bytes of whole instructions taken over from the source (at least patch_size, or fewer
    // when the function ends before that and is followed by padding).
    std::size_t source_length = 0;
    // Every copied instruction, then the end of the copy (where the jump back starts).
    std::array<boundary, max_boundaries> boundaries{};
    std::size_t boundary_count = 0;
};

// Copies whole instructions from source (the code at source_address) until patch_size bytes are
// covered, for execution at destination_address, then jumps back to the rest of the source.
// Relative branches are re-aimed (short forms widened to 32-bit ones) and [rip+disp32] operands
// re-based. no_error, or error_invalid_block when the code cannot be moved: an instruction the
// decoder refuses, a function that ends before patch_size bytes with something other than
// padding after it, a branch into the copied bytes, or (x64) an operand or branch that cannot
// reach its target from the destination.
[[nodiscard]] long relocate(std::span<const std::uint8_t> source, std::uint64_t source_address,
                            std::uint64_t destination_address, arch mode, relocation& out);

// Writes the jmp rel32 from `from` to `to` into out: false when x64 cannot reach that far.
[[nodiscard]] bool encode_jump(std::uint64_t from, std::uint64_t to, arch mode,
                               std::span<std::uint8_t, patch_size> out);

// x64: jmp [rip+0] followed by the absolute address, 14 bytes, reaching anywhere.
inline constexpr std::size_t absolute_jump_size = 14;
void encode_absolute_jump(std::uint64_t to, std::span<std::uint8_t, absolute_jump_size> out);

// Follows the forwarding thunks at address to the code that really runs: import thunks, jmp
// [rip+disp32] (x64, also behind Wine's 8-byte lea rsp,[rsp+0]) and jmp [abs32] (x86), and a
// jmp rel8 that lands on a long jump. A leading jmp rel32 is not followed: a function that starts
// with one has most likely been hooked by another product, and the patch goes over that jump, in
// front of the other hook, rather than into the other product's code.
class code_reader {
public:
    virtual ~code_reader() = default;
    // Copies up to size bytes at address into out; returns how many could be read.
    [[nodiscard]] virtual std::size_t read(std::uint64_t address, std::uint8_t* out,
                                           std::size_t size) const = 0;
};
[[nodiscard]] std::uint64_t skip_thunks(std::uint64_t address, arch mode,
                                        const code_reader& memory);

}  // namespace intercept
