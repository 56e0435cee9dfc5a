#include "intercept/decoder.h"

#include <array>
#include <cstring>

namespace intercept {
namespace {

// Operand layout of an opcode.
enum : std::uint8_t {
    has_modrm = 0x01,
    imm8 = 0x02,
    imm_z = 0x04,  // 16 or 32 bits by operand size
    imm16 = 0x08,
    special = 0x20,  // decoded by hand below
    not64 = 0x40,    // invalid in 64-bit mode
    invalid = 0x80,
};

constexpr std::array<std::uint8_t, 256> make_one_byte_map() {
    std::array<std::uint8_t, 256> t{};
    for (int base = 0; base < 0x40; base += 8) {  // the eight ALU groups: add ... cmp
        for (int i = 0; i < 4; ++i) {
            t[base + i] = has_modrm;
        }
        t[base + 4] = imm8;
        t[base + 5] = imm_z;
        t[base + 6] = not64;  // push/pop of segment registers, daa/das/aaa/aas
        t[base + 7] = not64;
    }
    t[0x0F] = special;
    t[0x60] = t[0x61] = not64;
    t[0x62] = special;
    t[0x63] = has_modrm;
    t[0x68] = imm_z;
    t[0x69] = has_modrm | imm_z;
    t[0x6A] = imm8;
    t[0x6B] = has_modrm | imm8;
    for (int op = 0x70; op <= 0x7F; ++op) {
        t[op] = special;
    }
    t[0x80] = has_modrm | imm8;
    t[0x81] = has_modrm | imm_z;
    t[0x82] = has_modrm | imm8 | not64;
    t[0x83] = has_modrm | imm8;
    for (int op = 0x84; op <= 0x8F; ++op) {
        t[op] = has_modrm;
    }
    t[0x9A] = invalid;  // far call
    for (int op = 0xA0; op <= 0xA3; ++op) {
        t[op] = special;  // moffs
    }
    t[0xA8] = imm8;
    t[0xA9] = imm_z;
    for (int op = 0xB0; op <= 0xB7; ++op) {
        t[op] = imm8;
    }
    for (int op = 0xB8; op <= 0xBF; ++op) {
        t[op] = special;  // mov r, imm16/32/64
    }
    t[0xC0] = t[0xC1] = has_modrm | imm8;
    t[0xC2] = t[0xC3] = special;
    t[0xC4] = t[0xC5] = special;
    t[0xC6] = has_modrm | imm8;
    t[0xC7] = special;
    t[0xC8] = imm16 | imm8;
    t[0xCA] = t[0xCB] = invalid;  // far returns
    t[0xCD] = imm8;
    t[0xCE] = not64;
    t[0xCF] = invalid;
    for (int op = 0xD0; op <= 0xD3; ++op) {
        t[op] = has_modrm;
    }
    t[0xD4] = t[0xD5] = imm8 | not64;
    t[0xD6] = invalid;
    for (int op = 0xD8; op <= 0xDF; ++op) {
        t[op] = has_modrm;
    }
    for (int op = 0xE0; op <= 0xE3; ++op) {
        t[op] = invalid;  // loop, loope, loopne, jecxz: no 32-bit form to widen to
    }
    for (int op = 0xE4; op <= 0xE7; ++op) {
        t[op] = imm8;
    }
    t[0xE8] = t[0xE9] = t[0xEB] = special;
    t[0xEA] = invalid;
    t[0xF6] = t[0xF7] = special;
    t[0xFE] = has_modrm;
    t[0xFF] = special;
    return t;
}

constexpr std::array<std::uint8_t, 256> make_two_byte_map() {
    std::array<std::uint8_t, 256> t{};
    t.fill(invalid);
    auto range = [&t](int from, int to, std::uint8_t value) {
        for (int op = from; op <= to; ++op) {
            t[op] = value;
        }
    };
    range(0x00, 0x03, has_modrm);
    range(0x05, 0x09, 0);  // syscall, clts, sysret, invd, wbinvd
    t[0x0B] = 0;           // ud2
    t[0x0D] = has_modrm;
    range(0x10, 0x23, has_modrm);  // SSE moves, hints and endbr, control and debug registers
    range(0x28, 0x2F, has_modrm);
    range(0x30, 0x37, 0);  // wrmsr, rdtsc, rdmsr, rdpmc, sysenter, sysexit, getsec
    t[0x38] = special;
    t[0x3A] = special;
    range(0x40, 0x6F, has_modrm);
    range(0x70, 0x73, has_modrm | imm8);
    range(0x74, 0x76, has_modrm);
    t[0x77] = 0;
    range(0x78, 0x79, has_modrm);
    range(0x7C, 0x7F, has_modrm);
    range(0x80, 0x8F, special);  // jcc rel32
    range(0x90, 0x9F, has_modrm);
    range(0xA0, 0xA2, 0);
    t[0xA3] = has_modrm;
    t[0xA4] = has_modrm | imm8;
    t[0xA5] = has_modrm;
    range(0xA8, 0xAA, 0);
    t[0xAB] = has_modrm;
    t[0xAC] = has_modrm | imm8;
    range(0xAD, 0xB9, has_modrm);
    t[0xBA] = has_modrm | imm8;
    range(0xBB, 0xC1, has_modrm);
    t[0xC2] = has_modrm | imm8;
    t[0xC3] = has_modrm;
    range(0xC4, 0xC6, has_modrm | imm8);
    t[0xC7] = has_modrm;
    range(0xC8, 0xCF, 0);  // bswap
    range(0xD0, 0xFF, has_modrm);
    return t;
}

constexpr auto one_byte_map = make_one_byte_map();
constexpr auto two_byte_map = make_two_byte_map();

bool is_legacy_prefix(std::uint8_t b) {
    switch (b) {
        case 0x26:
        case 0x2E:
        case 0x36:
        case 0x3E:
        case 0x64:
        case 0x65:
        case 0x66:
        case 0x67:
        case 0xF0:
        case 0xF2:
        case 0xF3:
            return true;
        default:
            return false;
    }
}

// Reads the instruction front to back, refusing to run past the end of the code or 15 bytes.
class cursor {
public:
    explicit cursor(std::span<const std::uint8_t> code)
        : code_(code.first(code.size() < 15 ? code.size() : 15)) {}
    bool has(std::size_t n) const { return pos_ + n <= code_.size(); }
    std::uint8_t peek() const { return code_[pos_]; }
    std::uint8_t next() { return code_[pos_++]; }
    bool skip(std::size_t n) {
        if (!has(n)) {
            return false;
        }
        pos_ += n;
        return true;
    }
    std::size_t pos() const { return pos_; }

private:
    std::span<const std::uint8_t> code_;
    std::size_t pos_ = 0;
};

struct prefixes {
    bool operand16 = false;
    bool address16 = false;  // 0x67: 16-bit addresses on x86, 32-bit on x64
    bool rex_w = false;
};

// Skips ModRM, SIB and displacement; records a [rip+disp32] operand.
bool skip_modrm(cursor& c, arch mode, const prefixes& p, instruction& out) {
    if (!c.has(1)) {
        return false;
    }
    const std::uint8_t modrm = c.next();
    const int mod = modrm >> 6;
    const int rm = modrm & 7;
    if (mod == 3) {
        return true;
    }
    if (mode == arch::x86 && p.address16) {
        if (mod == 0) {
            return rm == 6 ? c.skip(2) : true;
        }
        return c.skip(mod == 1 ? 1 : 2);
    }
    if (rm == 4) {  // SIB
        if (!c.has(1)) {
            return false;
        }
        const std::uint8_t sib = c.next();
        if (mod == 0 && (sib & 7) == 5) {
            return c.skip(4);  // [index*scale+disp32], never relative
        }
    } else if (mod == 0 && rm == 5) {
        if (mode == arch::x64) {
            if (p.address16) {
                return false;  // [eip+disp32]: not worth supporting
            }
            out.rip_offset = c.pos();
        }
        return c.skip(4);
    }
    if (mod == 1) {
        return c.skip(1);
    }
    return mod == 2 ? c.skip(4) : true;
}

bool skip_immediates(cursor& c, std::uint8_t layout, const prefixes& p) {
    if ((layout & imm16) && !c.skip(2)) {
        return false;
    }
    if ((layout & imm_z) && !c.skip(p.operand16 && !p.rex_w ? 2 : 4)) {
        return false;
    }
    return !(layout & imm8) || c.skip(1);
}

std::optional<instruction> branch(cursor& c, flow kind, std::size_t size, std::uint8_t condition) {
    instruction out;
    out.kind = kind;
    out.rel_offset = c.pos();
    out.rel_size = size;
    out.condition = condition;
    if (!c.skip(size)) {
        return std::nullopt;
    }
    out.length = c.pos();
    return out;
}

std::optional<instruction> finish(cursor& c, instruction out) {
    out.length = c.pos();
    return out;
}

std::optional<instruction> decode_two_byte(cursor& c, arch mode, const prefixes& p) {
    if (!c.has(1)) {
        return std::nullopt;
    }
    const std::uint8_t op = c.next();
    instruction out;
    if (op >= 0x80 && op <= 0x8F) {
        if (p.operand16) {
            return std::nullopt;  // jcc rel16
        }
        return branch(c, flow::jcc_rel, 4, static_cast<std::uint8_t>(op & 0x0F));
    }
    if (op == 0x38 || op == 0x3A) {
        if (!c.skip(1) || !skip_modrm(c, mode, p, out)) {
            return std::nullopt;
        }
        if (op == 0x3A && !c.skip(1)) {
            return std::nullopt;
        }
        return finish(c, out);
    }
    const std::uint8_t layout = two_byte_map[op];
    if (layout & invalid) {
        return std::nullopt;
    }
    if ((layout & has_modrm) && !skip_modrm(c, mode, p, out)) {
        return std::nullopt;
    }
    if (!skip_immediates(c, layout, p)) {
        return std::nullopt;
    }
    return finish(c, out);
}

}  // namespace

std::int64_t read_signed(const std::uint8_t* p, std::size_t size) {
    switch (size) {
        case 1:
            return static_cast<std::int8_t>(p[0]);
        case 4: {
            std::int32_t v = 0;
            std::memcpy(&v, p, 4);
            return v;
        }
        default: {
            std::int64_t v = 0;
            std::memcpy(&v, p, 8);
            return v;
        }
    }
}

std::optional<instruction> decode(std::span<const std::uint8_t> code, arch mode) {
    cursor c(code);
    prefixes p;
    while (c.has(1)) {
        const std::uint8_t b = c.peek();
        if (is_legacy_prefix(b)) {
            p.operand16 = p.operand16 || b == 0x66;
            p.address16 = p.address16 || b == 0x67;
            p.rex_w = false;  // a REX prefix counts only right before the opcode
        } else if (mode == arch::x64 && (b & 0xF0) == 0x40) {
            p.rex_w = (b & 0x08) != 0;
        } else {
            break;
        }
        c.next();
    }
    if (!c.has(1)) {
        return std::nullopt;
    }
    const std::uint8_t op = c.next();
    const std::uint8_t layout = one_byte_map[op];
    if ((layout & invalid) || (mode == arch::x64 && (layout & not64))) {
        return std::nullopt;
    }
    instruction out;
    if (!(layout & special)) {
        if ((layout & has_modrm) && !skip_modrm(c, mode, p, out)) {
            return std::nullopt;
        }
        if (!skip_immediates(c, layout, p)) {
            return std::nullopt;
        }
        return finish(c, out);
    }

    if (op >= 0x70 && op <= 0x7F) {
        return branch(c, flow::jcc_rel, 1, static_cast<std::uint8_t>(op & 0x0F));
    }
    switch (op) {
        case 0x0F:
            return decode_two_byte(c, mode, p);
        case 0x62:  // EVEX on x64; bound on x86, whose register form is EVEX too
        case 0xC4:  // VEX on x64; les/lds on x86, likewise
        case 0xC5:
            if (mode == arch::x64 || !c.has(1) || (c.peek() >> 6) == 3) {
                return std::nullopt;
            }
            if (!skip_modrm(c, mode, p, out)) {
                return std::nullopt;
            }
            return finish(c, out);
        case 0xA0:
        case 0xA1:
        case 0xA2:
        case 0xA3: {  // mov with a full-width absolute address
            const std::size_t size =
                mode == arch::x64 ? (p.address16 ? 4 : 8) : (p.address16 ? 2 : 4);
            if (!c.skip(size)) {
                return std::nullopt;
            }
            return finish(c, out);
        }
        case 0xC2:
        case 0xC3:
            out.kind = flow::ret;
            if (op == 0xC2 && !c.skip(2)) {
                return std::nullopt;
            }
            return finish(c, out);
        case 0xC7:
            if (c.has(1) && c.peek() == 0xF8) {
                return std::nullopt;  // xbegin rel
            }
            if (!skip_modrm(c, mode, p, out) || !skip_immediates(c, imm_z, p)) {
                return std::nullopt;
            }
            return finish(c, out);
        case 0xE8:
        case 0xE9:
            if (p.operand16) {
                return std::nullopt;
            }
            return branch(c, op == 0xE8 ? flow::call_rel : flow::jmp_rel, 4, 0);
        case 0xEB:
            return branch(c, flow::jmp_rel, 1, 0);
        case 0xF6:
        case 0xF7: {  // group 3: only test (/0, /1) carries an immediate
            if (!c.has(1)) {
                return std::nullopt;
            }
            const int reg = (c.peek() >> 3) & 7;
            if (!skip_modrm(c, mode, p, out)) {
                return std::nullopt;
            }
            if (reg <= 1 && !skip_immediates(c, op == 0xF6 ? imm8 : imm_z, p)) {
                return std::nullopt;
            }
            return finish(c, out);
        }
        case 0xFF: {  // group 5: inc, dec, call, callf, jmp, jmpf, push
            if (!c.has(1)) {
                return std::nullopt;
            }
            const int reg = (c.peek() >> 3) & 7;
            if (reg == 3 || reg == 5 || reg == 7) {
                return std::nullopt;
            }
            if (!skip_modrm(c, mode, p, out)) {
                return std::nullopt;
            }
            if (reg == 4) {
                out.kind = flow::jmp_indirect;
            }
            return finish(c, out);
        }
        default: {  // B8-BF: mov r, imm16/32/64
            const std::size_t size = p.rex_w ? 8 : (p.operand16 ? 2 : 4);
            if (!c.skip(size)) {
                return std::nullopt;
            }
            return finish(c, out);
        }
    }
}

}  // namespace intercept
