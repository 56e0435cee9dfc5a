#include "dllprotect/dump_record.h"

#include <array>
#include <span>

#include "dllprotect/blowfish.h"

namespace dllprotect {
namespace {

// The one place the dump key exists: built byte by byte on the stack for each record, used to key
// a fresh cipher state and wiped before it goes out of scope. Writer and reader both come here.
template <class Use>
void with_dump_cipher(Use&& use) {
    volatile std::uint8_t key[6];
    key[0] = 0x5d;
    key[1] = 0xa7;
    key[2] = 0x0e;
    key[3] = 0xc3;
    key[4] = 0x39;
    key[5] = 0x84;
    const std::array<std::uint8_t, 6> bytes{key[0], key[1], key[2], key[3], key[4], key[5]};
    for (auto& b : key) {
        b = 0;
    }
    const blowfish cipher(bytes);
    use(cipher);
}

std::span<std::uint8_t> as_bytes(std::string& s) {
    return {reinterpret_cast<std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::string dump_record_text(const DllProtectInfo& info) {
    std::string text;
    for (const std::string* field :
         {&info.request_path, &info.load_path, &info.reason, &info.function_name, &info.flags,
          &info.caller_name, &info.caller_offset, &info.error_info}) {
        text += *field;
        text += dump_field_end;
    }
    return text;
}

std::string encrypt_dump_record(std::string_view text) {
    std::string buffer(text);
    buffer.resize(
        (buffer.size() + blowfish::block_size - 1) / blowfish::block_size * blowfish::block_size,
        '\0');
    with_dump_cipher([&](const blowfish& cipher) { cipher.encrypt_cbc(as_bytes(buffer)); });
    return buffer;
}

std::string decrypt_dump_record(std::string_view ciphertext) {
    std::string buffer(ciphertext);
    with_dump_cipher([&](const blowfish& cipher) { cipher.decrypt_cbc(as_bytes(buffer)); });
    return buffer;
}

std::string dump_length_prefix(std::uint32_t size) {
    std::string prefix(dump_length_size, '\0');
    for (std::size_t i = 0; i < dump_length_size; ++i) {
        prefix[i] = static_cast<char>((size >> (8 * i)) & 0xff);
    }
    return prefix;
}

std::optional<DllProtectInfo> parse_dump_plaintext(std::string_view plaintext) {
    const std::size_t end = plaintext.find_last_not_of('\0');
    if (end == std::string_view::npos || plaintext.size() - (end + 1) >= blowfish::block_size ||
        plaintext[end] != dump_field_end) {
        return std::nullopt;
    }
    std::string_view text = plaintext.substr(0, end + 1);
    std::array<std::string, dump_field_count> fields;
    for (auto& field : fields) {
        const std::size_t bar = text.find(dump_field_end);
        if (bar == std::string_view::npos) {
            return std::nullopt;
        }
        field = std::string(text.substr(0, bar));
        if (field.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        text.remove_prefix(bar + 1);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return DllProtectInfo{fields[0], fields[1], fields[2], fields[3],
                          fields[4], fields[5], fields[6], fields[7]};
}

}  // namespace dllprotect
