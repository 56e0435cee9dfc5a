#include "dllprotect/blowfish.h"

#include <stdexcept>
#include <string>

namespace dllprotect {
namespace {

#include "dllprotect/blowfish_tables.inc"

std::uint32_t load_be(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void store_be(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void check_length(std::span<std::uint8_t> data) {
    if (data.empty() || data.size() % blowfish::block_size != 0) {
        throw std::invalid_argument(std::string(incorrect_buffer_length));
    }
}

}  // namespace

blowfish::blowfish(std::span<const std::uint8_t> key) {
    if (key.empty() || key.size() > max_key_size) {
        throw std::invalid_argument("Incorrect key length");
    }
    for (std::size_t i = 0; i < p_.size(); ++i) {
        p_[i] = initial_p[i];
    }
    for (std::size_t box = 0; box < s_.size(); ++box) {
        for (std::size_t i = 0; i < 256; ++i) {
            s_[box][i] = initial_s[box][i];
        }
    }
    // The key bytes, cycled, form big-endian words that are mixed into the P-array.
    std::size_t next = 0;
    for (auto& entry : p_) {
        std::uint32_t word = 0;
        for (int byte = 0; byte < 4; ++byte) {
            word = (word << 8) | key[next];
            next = (next + 1) % key.size();
        }
        entry ^= word;
    }
    // Then the chained encryption of a zero block replaces the P-array and the S-boxes, two
    // words at a time.
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (std::size_t i = 0; i < p_.size(); i += 2) {
        encrypt_block(left, right);
        p_[i] = left;
        p_[i + 1] = right;
    }
    for (auto& box : s_) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            encrypt_block(left, right);
            box[i] = left;
            box[i + 1] = right;
        }
    }
}

void blowfish::encrypt_block(std::uint32_t& left, std::uint32_t& right) const noexcept {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (std::size_t i = 0; i < 16; i += 2) {
        l ^= p_[i];
        r ^= round_function(l);
        r ^= p_[i + 1];
        l ^= round_function(r);
    }
    left = r ^ p_[17];
    right = l ^ p_[16];
}

void blowfish::decrypt_block(std::uint32_t& left, std::uint32_t& right) const noexcept {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (std::size_t i = 17; i > 1; i -= 2) {
        l ^= p_[i];
        r ^= round_function(l);
        r ^= p_[i - 1];
        l ^= round_function(r);
    }
    left = r ^ p_[0];
    right = l ^ p_[1];
}

void blowfish::encrypt_cbc(std::span<std::uint8_t> data) const {
    check_length(data);
    std::uint32_t chain_left = 0;
    std::uint32_t chain_right = 0;
    for (std::size_t at = 0; at < data.size(); at += block_size) {
        std::uint8_t* block = data.data() + at;
        chain_left ^= load_be(block);
        chain_right ^= load_be(block + 4);
        encrypt_block(chain_left, chain_right);
        store_be(block, chain_left);
        store_be(block + 4, chain_right);
    }
}

void blowfish::decrypt_cbc(std::span<std::uint8_t> data) const {
    check_length(data);
    std::uint32_t chain_left = 0;
    std::uint32_t chain_right = 0;
    for (std::size_t at = 0; at < data.size(); at += block_size) {
        std::uint8_t* block = data.data() + at;
        const std::uint32_t cipher_left = load_be(block);
        const std::uint32_t cipher_right = load_be(block + 4);
        std::uint32_t left = cipher_left;
        std::uint32_t right = cipher_right;
        decrypt_block(left, right);
        store_be(block, left ^ chain_left);
        store_be(block + 4, right ^ chain_right);
        chain_left = cipher_left;
        chain_right = cipher_right;
    }
}

}  // namespace dllprotect
