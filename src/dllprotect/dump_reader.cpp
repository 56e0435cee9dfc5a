#include "dllprotect/dump_reader.h"

#include <cstdint>
#include <cstdio>

#include "dllprotect/blowfish.h"
#include "dllprotect/dump_record.h"

namespace dllprotect {

std::string dump_error::message() const {
    const char* what = "";
    switch (fault) {
        case dump_fault::torn_record:
            // A first record that does not fit is more likely a file of another kind.
            what = record == 0
                       ? "the file ends inside this record (torn record, or not a dump file?)"
                       : "the file ends inside this record (torn record)";
            break;
        case dump_fault::bad_length:
            what = "the record length is not a non-zero multiple of 8 (not a dump file?)";
            break;
        case dump_fault::foreign_record:
            what =
                "the record does not decrypt to eight \"|\"-terminated fields (not a dump file?)";
            break;
    }
    char where[64];
    std::snprintf(where, sizeof where, "record %zu at offset 0x%zx: ", record, offset);
    return where + std::string(what);
}

dump_contents read_dump(std::string_view bytes) {
    dump_contents contents;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const auto fail = [&](dump_fault fault) {
            contents.error = dump_error{fault, contents.records.size(), offset};
            return contents;
        };
        if (bytes.size() - offset < dump_length_size) {
            return fail(dump_fault::torn_record);
        }
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < dump_length_size; ++i) {
            length |= std::uint32_t{static_cast<std::uint8_t>(bytes[offset + i])} << (8 * i);
        }
        if (length == 0 || length % blowfish::block_size != 0) {
            return fail(dump_fault::bad_length);
        }
        if (bytes.size() - offset - dump_length_size < length) {
            return fail(dump_fault::torn_record);
        }
        auto record = parse_dump_plaintext(
            decrypt_dump_record(bytes.substr(offset + dump_length_size, length)));
        if (!record) {
            return fail(dump_fault::foreign_record);
        }
        contents.records.push_back(std::move(*record));
        offset += dump_length_size + length;
    }
    return contents;
}

namespace {

void append_escaped(std::string& line, std::string_view field) {
    constexpr char hex[] = "0123456789ABCDEF";
    const auto escape = [&](unsigned char byte) {
        line += '%';
        line += hex[byte >> 4];
        line += hex[byte & 0xF];
    };
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto byte = static_cast<unsigned char>(field[i]);
        const auto next = i + 1 < field.size() ? static_cast<unsigned char>(field[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F || byte == '%') {
            escape(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            escape(byte);
            escape(next);
            ++i;
        } else {
            line += static_cast<char>(byte);
        }
    }
}

}  // namespace

std::string dump_line(const DllProtectInfo& event) {
    std::string line;
    const std::string* fields[] = {&event.request_path,  &event.load_path, &event.reason,
                                   &event.function_name, &event.flags,     &event.caller_name,
                                   &event.caller_offset, &event.error_info};
    for (const std::string* field : fields) {
        if (field != fields[0]) {
            line += " | ";
        }
        append_escaped(line, *field);
    }
    return line;
}

}  // namespace dllprotect
