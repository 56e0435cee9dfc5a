// The records of the protection events' dump file. A record is stored as the 4-byte
// little-endian length N of its ciphertext followed by the N bytes (N a multiple of 8). Its
// plaintext is the event's eight fields in their order, each followed by "|", padded with zero
// bytes to a multiple of 8. Each record is encrypted on its own (Blowfish-CBC, zero initial vector,
// fresh keyed state) with the dump key, which exists only on the stack while a record is
// encrypted or decrypted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dllprotect/protect_types.h"

namespace dllprotect {

inline constexpr std::size_t dump_field_count = 8;
inline constexpr char dump_field_end = '|';
inline constexpr std::size_t dump_length_size = 4;

// The plaintext of an event: every field followed by "|", not padded.
[[nodiscard]] std::string dump_record_text(const DllProtectInfo& info);

// The text padded with zero bytes to a multiple of 8 and encrypted with the dump key. Raises
// std::invalid_argument (incorrect_buffer_length) for an empty text.
[[nodiscard]] std::string encrypt_dump_record(std::string_view text);
// The plaintext of a ciphertext, padding included. Raises std::invalid_argument
// (incorrect_buffer_length) unless the ciphertext is a non-zero multiple of 8 bytes.
[[nodiscard]] std::string decrypt_dump_record(std::string_view ciphertext);

// The 4-byte little-endian length prefix of a ciphertext of `size` bytes.
[[nodiscard]] std::string dump_length_prefix(std::uint32_t size);

// The eight fields of a decrypted plaintext; nothing unless it is eight "|"-terminated fields
// followed by fewer than 8 zero bytes.
[[nodiscard]] std::optional<DllProtectInfo> parse_dump_plaintext(std::string_view plaintext);

}  // namespace dllprotect
