#include "intercept/relocate.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "intercept/errors.h"

namespace intercept {
namespace {

// The 32-bit displacement from `next` (the end of an instruction) to `to`: x86 addresses wrap
// around, x64 ones must lie within ±2 GiB.
std::optional<std::int32_t> rel32(std::uint64_t next, std::uint64_t to, arch mode) {
    if (mode == arch::x86) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(to) -
                                         static_cast<std::uint32_t>(next));
    }
    const auto distance = static_cast<std::int64_t>(to - next);
    if (distance < INT32_MIN || distance > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(distance);
}

std::uint64_t add(std::uint64_t address, std::int64_t offset, arch mode) {
    const std::uint64_t sum = address + static_cast<std::uint64_t>(offset);
    return mode == arch::x86 ? (sum & 0xFFFFFFFFu) : sum;
}

void put32(std::uint8_t* p, std::int32_t value) {
    std::memcpy(p, &value, 4);
}

bool is_padding(std::uint8_t b) {
    return b == 0xCC || b == 0x90;
}

// Appends instruction bytes to the trampoline, refusing to overflow it.
class emitter {
public:
    emitter(relocation& out, std::uint64_t base) : out_(out), base_(base) {}
    std::uint64_t here() const { return base_ + out_.code_size; }
    std::uint8_t* take(std::size_t n) {
        if (out_.code_size + n > out_.code.size()) {
            return nullptr;
        }
        std::uint8_t* p = out_.code.data() + out_.code_size;
        out_.code_size += n;
        return p;
    }
    // jmp to `to`: rel32 when it reaches, otherwise (x64) the absolute form.
    bool jump(std::uint64_t to, arch mode) {
        if (const auto rel = rel32(here() + patch_size, to, mode)) {
            std::uint8_t* p = take(patch_size);
            if (p == nullptr) {
                return false;
            }
            p[0] = 0xE9;
            put32(p + 1, *rel);
            return true;
        }
        std::uint8_t* p = take(absolute_jump_size);
        if (p == nullptr) {
            return false;
        }
        encode_absolute_jump(to,
                             std::span<std::uint8_t, absolute_jump_size>(p, absolute_jump_size));
        return true;
    }
    // The opcode bytes followed by a rel32 to `to`.
    bool branch(std::initializer_list<std::uint8_t> opcode, std::uint64_t to, arch mode) {
        const std::size_t size = opcode.size() + 4;
        const auto rel = rel32(here() + size, to, mode);
        if (!rel) {
            return false;
        }
        std::uint8_t* p = take(size);
        if (p == nullptr) {
            return false;
        }
        std::copy(opcode.begin(), opcode.end(), p);
        put32(p + opcode.size(), *rel);
        return true;
    }

private:
    relocation& out_;
    std::uint64_t base_;
};

}  // namespace

bool encode_jump(std::uint64_t from, std::uint64_t to, arch mode,
                 std::span<std::uint8_t, patch_size> out) {
    const auto rel = rel32(from + patch_size, to, mode);
    if (!rel) {
        return false;
    }
    out[0] = 0xE9;
    put32(out.data() + 1, *rel);
    return true;
}

void encode_absolute_jump(std::uint64_t to, std::span<std::uint8_t, absolute_jump_size> out) {
    const std::uint8_t head[6] = {0xFF, 0x25, 0, 0, 0, 0};
    std::memcpy(out.data(), head, sizeof head);
    std::memcpy(out.data() + sizeof head, &to, 8);
}

long relocate(std::span<const std::uint8_t> source, std::uint64_t source_address,
              std::uint64_t destination_address, arch mode, relocation& out) {
    out = relocation{};
    // First the instructions to take over, so that branches into them can be recognised.
    std::array<instruction, max_boundaries - 1> taken{};
    std::size_t count = 0;
    std::size_t length = 0;
    bool ends = false;
    while (length < patch_size) {
        if (count == taken.size()) {
            return error_invalid_block;
        }
        const auto decoded = decode(source.subspan(length), mode);
        if (!decoded) {
            return error_invalid_block;
        }
        taken[count++] = *decoded;
        length += decoded->length;
        const flow kind = decoded->kind;
        if (kind == flow::ret || kind == flow::jmp_indirect || kind == flow::jmp_rel) {
            // The function ends here: the patch may cover only padding after it.
            if (length < patch_size) {
                if (source.size() < patch_size ||
                    !std::all_of(source.begin() + static_cast<std::ptrdiff_t>(length),
                                 source.begin() + patch_size, is_padding)) {
                    return error_invalid_block;
                }
            }
            ends = true;
            break;
        }
    }
    const std::size_t covered = std::max(length, patch_size);

    emitter emit(out, destination_address);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const instruction& ins = taken[i];
        const std::uint8_t* bytes = source.data() + offset;
        const std::uint64_t next = source_address + offset + ins.length;
        out.boundaries[out.boundary_count++] = {static_cast<std::uint8_t>(offset),
                                                static_cast<std::uint8_t>(out.code_size)};
        if (ins.kind == flow::jmp_rel || ins.kind == flow::jcc_rel || ins.kind == flow::call_rel) {
            const std::uint64_t to =
                add(next, read_signed(bytes + ins.rel_offset, ins.rel_size), mode);
            if (to > source_address && to < source_address + covered) {
                return error_invalid_block;  // those bytes are about to be overwritten
            }
            bool ok = false;
            if (ins.kind == flow::jmp_rel) {
                ok = emit.jump(to, mode);
            } else if (ins.kind == flow::jcc_rel) {
                ok = emit.branch({0x0F, static_cast<std::uint8_t>(0x80 | ins.condition)}, to, mode);
            } else {
                ok = emit.branch({0xE8}, to, mode);
            }
            if (!ok) {
                return error_invalid_block;
            }
        } else {
            const std::uint64_t at = emit.here();
            std::uint8_t* p = emit.take(ins.length);
            if (p == nullptr) {
                return error_invalid_block;
            }
            std::memcpy(p, bytes, ins.length);
            if (ins.rip_offset != 0) {
                const std::uint64_t to = add(next, read_signed(bytes + ins.rip_offset, 4), mode);
                const auto rel = rel32(at + ins.length, to, mode);
                if (!rel) {
                    return error_invalid_block;
                }
                put32(p + ins.rip_offset, *rel);
            }
        }
        offset += ins.length;
    }
    out.source_length = length;
    out.boundaries[out.boundary_count++] = {static_cast<std::uint8_t>(length),
                                            static_cast<std::uint8_t>(out.code_size)};
    if (!ends && !emit.jump(source_address + length, mode)) {
        return error_invalid_block;
    }
    return no_error;
}

namespace {

// Where the pointer of an indirect jump at the start of code lies: an import thunk, jmp
// [rip+disp32] on x64 (also with rex.w, and behind Wine's 8-byte lea rsp,[rsp+0]) or jmp [abs32]
// on x86. Empty for anything else.
std::optional<std::uint64_t> import_slot(const std::uint8_t* code, std::size_t n,
                                         std::uint64_t address, arch mode) {
    static constexpr std::uint8_t lea_rsp[8] = {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0};
    std::size_t at = 0;  // where the jmp [mem] starts
    if (mode == arch::x64 && n >= 14 && std::memcmp(code, lea_rsp, 8) == 0) {
        at = 8;
    }
    if (mode == arch::x64 && n >= at + 7 && code[at] == 0x48 && code[at + 1] == 0xFF &&
        code[at + 2] == 0x25) {
        ++at;
    }
    if (n < at + 6 || code[at] != 0xFF || code[at + 1] != 0x25) {
        return std::nullopt;
    }
    const std::int64_t disp = read_signed(code + at + 2, 4);
    return mode == arch::x64 ? address + at + 6 + static_cast<std::uint64_t>(disp)
                             : static_cast<std::uint32_t>(disp);
}

}  // namespace

std::uint64_t skip_thunks(std::uint64_t address, arch mode, const code_reader& memory) {
    for (int hop = 0; hop < 16; ++hop) {
        std::uint8_t code[16] = {};
        const std::size_t n = memory.read(address, code, sizeof code);
        std::uint64_t next = address;
        if (const auto slot = import_slot(code, n, address, mode)) {
            const std::size_t width = mode == arch::x64 ? 8 : 4;
            std::uint64_t pointer = 0;
            if (memory.read(*slot, reinterpret_cast<std::uint8_t*>(&pointer), width) != width) {
                return address;
            }
            next = pointer;
        } else if (n >= 2 && code[0] == 0xEB) {
            // A short jump is followed only onto a long one: an indirect jump, followed in turn,
            // or a jmp rel32 (another product's hook in the patch area before a function), where
            // the walk ends so that the patch goes in front of that hook.
            const std::uint64_t to = add(address + 2, read_signed(code + 1, 1), mode);
            std::uint8_t landing[16] = {};
            const std::size_t m = memory.read(to, landing, sizeof landing);
            if (import_slot(landing, m, to, mode) || (m >= 5 && landing[0] == 0xE9)) {
                next = to;
            }
        }
        if (next == address || next == 0) {
            return address;
        }
        address = next;
    }
    return address;
}

}  // namespace intercept
