// Reading a dump file back: its bytes become the events it holds, in order. Reading stops at the
// first record that cannot be decoded and says why; the records before it are kept.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dllprotect/protect_types.h"

namespace dllprotect {

enum class dump_fault {
    torn_record,     // the file ends inside a length prefix or a ciphertext
    bad_length,      // a length that is zero or not a multiple of 8
    foreign_record,  // the plaintext is not eight "|"-terminated fields with zero padding
};

struct dump_error {
    dump_fault fault = dump_fault::torn_record;
    std::size_t record = 0;  // counted from 0
    std::size_t offset = 0;  // of the record's length prefix
    // "record 3 at offset 0x1a0: ..." for people.
    [[nodiscard]] std::string message() const;
};

struct dump_contents {
    std::vector<DllProtectInfo> records;
    std::optional<dump_error> error;
};

[[nodiscard]] dump_contents read_dump(std::string_view bytes);

// One event as one line of text for people: the eight fields in their order, separated by
// " | ". The fields hold whatever names a caller asked to load, so nothing in them may pass for
// a line end or a terminal's control sequence: every control character (bytes 0x00-0x1F and
// 0x7F, and the C1 controls U+0080-U+009F as their two UTF-8 bytes) and the "%" itself are
// written as "%" and two upper-case hexadecimal digits per byte ("%0A" for a line feed, "%25"
// for "%"); everything else is written as it is.
[[nodiscard]] std::string dump_line(const DllProtectInfo& event);

}  // namespace dllprotect
