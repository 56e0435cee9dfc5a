#include "intercept/trampolines.h"

#include <cstring>

namespace intercept {
namespace {

constexpr std::uint32_t slot_magic = 0x706D7254;  // "Trmp"
// Every slot of a block must be reachable by rel32 from the target and back.
constexpr std::uint64_t reach = 0x7FFF0000u - block_size;

}  // namespace

trampoline_pool::~trampoline_pool() {
    for (std::size_t i = 0; i < block_count_; ++i) {
        os_.release(blocks_[i].base, block_size);
    }
}

bool trampoline_pool::reaches(const block& b, std::uint64_t nearby) const {
    if (os_.code_arch() == arch::x86) {
        return true;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(b.base);
    const std::uint64_t distance = base > nearby ? base - nearby : nearby - base;
    return distance < reach;
}

slot* trampoline_pool::acquire(std::uint64_t nearby) {
    block* chosen = nullptr;
    for (std::size_t i = 0; i < block_count_ && chosen == nullptr; ++i) {
        if (blocks_[i].in_use < slots_per_block && reaches(blocks_[i], nearby)) {
            chosen = &blocks_[i];
        }
    }
    if (chosen == nullptr) {
        if (block_count_ == blocks_.size()) {
            return nullptr;
        }
        void* memory = os_.allocate_near(nearby, block_size);
        if (memory == nullptr) {
            return nullptr;
        }
        chosen = &blocks_[block_count_++];
        *chosen = block{static_cast<std::uint8_t*>(memory), 0, 0, true};
        std::memset(memory, 0xCC, block_size);
        for (std::size_t i = 0; i < slots_per_block; ++i) {
            at(*chosen, i)->state = slot_state::free;
        }
        if (!reaches(*chosen, nearby)) {  // the system gave memory out of reach
            os_.release(memory, block_size);
            --block_count_;
            return nullptr;
        }
    }
    // Round-robin from after the last slot handed out: freed slots are reused last.
    for (std::size_t step = 0; step < slots_per_block; ++step) {
        const std::size_t i = (chosen->cursor + step) % slots_per_block;
        slot* s = at(*chosen, i);
        if (s->state == slot_state::free) {
            chosen->cursor = (i + 1) % slots_per_block;
            ++chosen->in_use;
            s->magic = slot_magic;
            s->state = slot_state::attaching;
            return s;
        }
    }
    return nullptr;
}

void trampoline_pool::free(slot* s) {
    const auto address = reinterpret_cast<std::uint8_t*>(s);
    for (std::size_t i = 0; i < block_count_; ++i) {
        block& b = blocks_[i];
        if (address >= b.base && address < b.base + block_size) {
            s->state = slot_state::free;
            --b.in_use;
            return;
        }
    }
}

slot* trampoline_pool::find(std::uint64_t code, slot_state state) const {
    for (std::size_t i = 0; i < block_count_; ++i) {
        const block& b = blocks_[i];
        const auto base = reinterpret_cast<std::uintptr_t>(b.base);
        if (code < base || code >= base + block_size || (code - base) % slot_size != 0) {
            continue;
        }
        slot* s = at(b, (code - base) / slot_size);
        return s->magic == slot_magic && s->state == state ? s : nullptr;
    }
    return nullptr;
}

void trampoline_pool::release_new_empty_blocks() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < block_count_; ++i) {
        if (blocks_[i].fresh && blocks_[i].in_use == 0) {
            os_.release(blocks_[i].base, block_size);
        } else {
            blocks_[kept++] = blocks_[i];
        }
    }
    block_count_ = kept;
}

void trampoline_pool::keep_new_blocks() {
    for (std::size_t i = 0; i < block_count_; ++i) {
        blocks_[i].fresh = false;
    }
}

std::size_t trampoline_pool::slots_in_use() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < block_count_; ++i) {
        n += blocks_[i].in_use;
    }
    return n;
}

}  // namespace intercept
