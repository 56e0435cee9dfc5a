// The trampolines and their bookkeeping, in blocks of executable memory near the targets.
//
// A slot holds the relocated instructions of one target (its trampoline), the x64 jump stub to
// a detour the 5-byte patch cannot reach directly, and what detaching needs: the target, the
// detour, the original bytes and the instruction map between target and trampoline. Freed
// slots are reused round-robin and blocks are kept once committed, so a call that read a
// trampoline's address just before its detach still finds the old code there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "intercept/platform.h"
#include "intercept/relocate.h"

namespace intercept {

enum class slot_state : std::uint32_t { free = 0, attaching, live, detaching };

struct slot {
    std::array<std::uint8_t, trampoline_capacity> code;
    std::array<std::uint8_t, absolute_jump_size + 2> stub;
    std::uint32_t magic;
    slot_state state;
    std::uint64_t target;
    std::uint64_t detour;
    // The bytes the patch covers, and those of the copied instructions (the larger of the two).
    std::array<std::uint8_t, max_source> original;
    std::uint8_t covered;
    std::array<std::uint8_t, patch_size> patch;
    std::uint8_t code_size;
    std::uint8_t boundary_count;
    std::array<boundary, max_boundaries> boundaries;

    [[nodiscard]] std::uint64_t code_address() const {
        return reinterpret_cast<std::uintptr_t>(code.data());
    }
};

inline constexpr std::size_t slot_size = 256;
inline constexpr std::size_t block_size = 0x10000;
inline constexpr std::size_t slots_per_block = block_size / slot_size;
inline constexpr std::size_t max_blocks = 32;
static_assert(sizeof(slot) <= slot_size);

class trampoline_pool {
public:
    explicit trampoline_pool(platform& os) : os_(os) {}
    trampoline_pool(const trampoline_pool&) = delete;
    trampoline_pool& operator=(const trampoline_pool&) = delete;
    // Releases every block: only for a pool whose trampolines can no longer run.
    ~trampoline_pool();

    // A free slot from which rel32 reaches `nearby` (x64), in state `attaching`; null when no
    // memory is to be had.
    [[nodiscard]] slot* acquire(std::uint64_t nearby);
    void free(slot* s);
    // The slot whose trampoline starts at code, in the given state, or null.
    [[nodiscard]] slot* find(std::uint64_t code, slot_state state) const;
    // Blocks obtained since the last keep_new_blocks() that are empty again go back to the system
    // (an aborted transaction); keep_new_blocks() makes the blocks so far permanent.
    void release_new_empty_blocks();
    void keep_new_blocks();
    [[nodiscard]] std::size_t blocks() const { return block_count_; }
    [[nodiscard]] std::size_t slots_in_use() const;

private:
    struct block {
        std::uint8_t* base = nullptr;
        std::size_t in_use = 0;
        std::size_t cursor = 0;
        bool fresh = false;
    };
    slot* at(const block& b, std::size_t i) const {
        return reinterpret_cast<slot*>(b.base + i * slot_size);
    }
    bool reaches(const block& b, std::uint64_t nearby) const;

    platform& os_;
    std::array<block, max_blocks> blocks_{};
    std::size_t block_count_ = 0;
};

}  // namespace intercept
