// Blowfish: the 64-bit block cipher of the dump file, 16 rounds with the standard initial tables
// and key schedule, and CBC chaining from an all-zero initial vector. Blocks are read and written
// as two big-endian 32-bit halves. A keyed state is about 4 KiB and holds nothing but the keyed
// tables, so each record can afford a fresh one on the stack.
//
//     dllprotect::blowfish cipher(key);
//     cipher.encrypt_cbc(buffer);  // buffer.size() a non-zero multiple of 8
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace dllprotect {

// The text of the error a block loop raises for an empty or not block-aligned buffer.
inline constexpr std::string_view incorrect_buffer_length = "Incorrect buffer length";

class blowfish {
public:
    static constexpr std::size_t block_size = 8;
    // The key schedule uses at most this many key bytes.
    static constexpr std::size_t max_key_size = 72;

    // Keys the tables with key, whose bytes are cycled in big-endian groups of four over the
    // P-array. Raises std::invalid_argument for an empty key or one longer than max_key_size.
    explicit blowfish(std::span<const std::uint8_t> key);

    // One block, its halves as numbers (left is the first four bytes, big-endian).
    void encrypt_block(std::uint32_t& left, std::uint32_t& right) const noexcept;
    void decrypt_block(std::uint32_t& left, std::uint32_t& right) const noexcept;

    // CBC with a zero initial vector, in place. Raises std::invalid_argument with the text
    // incorrect_buffer_length unless data holds a non-zero multiple of 8 bytes.
    void encrypt_cbc(std::span<std::uint8_t> data) const;
    void decrypt_cbc(std::span<std::uint8_t> data) const;

private:
    [[nodiscard]] std::uint32_t round_function(std::uint32_t x) const noexcept {
        return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xff]) ^ s_[2][(x >> 8) & 0xff]) +
               s_[3][x & 0xff];
    }

    std::array<std::uint32_t, 18> p_;
    std::array<std::array<std::uint32_t, 256>, 4> s_;
};

}  // namespace dllprotect
