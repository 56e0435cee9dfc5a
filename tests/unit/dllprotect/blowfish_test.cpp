// The cipher against OpenSSL's implementation on random keys and data; the dump records and
// their reader.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dllprotect/blowfish.h"
#include "dllprotect/dump_reader.h"
#include "dllprotect/dump_record.h"

namespace {

using namespace dllprotect;

TEST(Blowfish, CbcAgreesWithOpenSsl) {
    std::mt19937 random(20261206);
    const auto next_byte = [&random] { return static_cast<std::uint8_t>(random()); };
    for (int round = 0; round < 200; ++round) {
        // Keys of every length the schedule takes, 1 to 72 bytes, and 1 to 40 blocks of data.
        std::vector<std::uint8_t> key(1 + static_cast<std::size_t>(round % 72));
        std::vector<std::uint8_t> data(8 * (1 + static_cast<std::size_t>(round % 40)));
        std::generate(key.begin(), key.end(), next_byte);
        std::generate(data.begin(), data.end(), next_byte);

        BF_KEY reference;
        BF_set_key(&reference, static_cast<int>(key.size()), key.data());
        std::vector<std::uint8_t> expected(data.size());
        unsigned char iv[8] = {};
        BF_cbc_encrypt(data.data(), expected.data(), static_cast<long>(data.size()), &reference, iv,
                       BF_ENCRYPT);
        std::vector<std::uint8_t> ours = data;
        const blowfish cipher(key);
        cipher.encrypt_cbc(ours);
        ASSERT_EQ(ours, expected) << "round " << round;
        cipher.decrypt_cbc(ours);
        ASSERT_EQ(ours, data) << "round " << round;
    }
}

TEST(Blowfish, RefusesEmptyOrLongKeysAndBuffersThatAreNotWholeBlocks) {
    for (const std::size_t size : {0, 73}) {
        EXPECT_THROW(blowfish(std::vector<std::uint8_t>(size)), std::invalid_argument) << size;
    }
    const blowfish cipher(std::vector<std::uint8_t>{1, 2, 3, 4, 5});
    for (std::size_t size : {0, 7, 9, 15}) {
        std::vector<std::uint8_t> data(size);
        EXPECT_THROW(cipher.encrypt_cbc(data), std::invalid_argument) << size;
        EXPECT_THROW(cipher.decrypt_cbc(data), std::invalid_argument) << size;
    }
}

DllProtectInfo sample_event(std::string load_path = "C:\\Users\\Public\\évil.dll") {
    return {"evil.dll", std::move(load_path), "VULNERABLE_PATH", "LoadLibraryW",
            "0x0",      "Wardex.exe",         "0x1a2b",          "err:0x0"};
}

std::string stored(const std::string& text) {
    const std::string cipher = encrypt_dump_record(text);
    return dump_length_prefix(static_cast<std::uint32_t>(cipher.size())) + cipher;
}

TEST(DumpRecord, PlaintextIsTheFieldsEachEndedAndZeroPadded) {
    EXPECT_EQ(dump_record_text(sample_event()),
              "evil.dll|C:\\Users\\Public\\évil.dll|VULNERABLE_PATH|LoadLibraryW|0x0|Wardex.exe|"
              "0x1a2b|err:0x0|");

    // 13 bytes: three zero bytes of padding, a length of 16 and 16 bytes of ciphertext. The
    // bytes are pinned: another key or chaining would make existing dump files unreadable.
    const std::string text13 = "a|b|c|d||||||";
    EXPECT_EQ(stored(text13), std::string("\x10\0\0\0\x05\xf7\x47\x0a\x63\xb5\x76\x39\xdf\x51"
                                          "\x71\xa3\xa8\x88\xd8\x79",
                                          20));
    EXPECT_EQ(decrypt_dump_record(stored(text13).substr(4)), text13 + std::string(3, '\0'));
    // A text that already fills whole blocks gets no padding.
    EXPECT_EQ(encrypt_dump_record("||||||||").size(), 8u);
    EXPECT_EQ(dump_length_prefix(0x01020304), "\x04\x03\x02\x01");
}

TEST(DumpReader, StopsAtTheFirstRecordItCannotDecode) {
    const std::string good = stored(dump_record_text(sample_event()));
    const auto fault_of = [&](const std::string& tail) {
        const auto contents = read_dump(good + tail);
        EXPECT_EQ(contents.records.size(), 1u);
        const dump_error error = contents.error.value_or(dump_error{dump_fault{-1}, 0, 0});
        EXPECT_EQ(error.record, 1u);
        EXPECT_EQ(error.offset, good.size());
        return error.fault;
    };
    EXPECT_EQ(fault_of(good.substr(0, 3)), dump_fault::torn_record);
    EXPECT_EQ(fault_of(good.substr(0, good.size() - 8)), dump_fault::torn_record);
    EXPECT_EQ(fault_of(dump_length_prefix(12) + std::string(12, 'x')), dump_fault::bad_length);
    EXPECT_EQ(fault_of(dump_length_prefix(0)), dump_fault::bad_length);
    // Bytes that were never one of our records, and records whose plaintext has the wrong shape.
    EXPECT_EQ(fault_of(dump_length_prefix(16) + "0123456789abcdef"), dump_fault::foreign_record);
    EXPECT_EQ(fault_of(stored("a|b|c|d|e|f|g|")), dump_fault::foreign_record);
    EXPECT_EQ(fault_of(stored("a|b|c|d|e|f|g|h|i|")), dump_fault::foreign_record);
    EXPECT_EQ(fault_of(stored("a|b|c|d|e|f|g|h")), dump_fault::foreign_record);
    EXPECT_EQ(fault_of(stored("a|b|c|d|e|f|g|h|" + std::string(8, '\0'))),
              dump_fault::foreign_record);

    const auto torn = read_dump(good + good.substr(0, 10));
    ASSERT_TRUE(torn.error);
    EXPECT_EQ(torn.error->message(),
              "record 1 at offset 0x64: the file ends inside this record (torn record)");
}

TEST(DumpReader, ALineCannotBeForgedByWhatAFieldHolds) {
    EXPECT_EQ(dump_line(sample_event()),
              "evil.dll | C:\\Users\\Public\\évil.dll | VULNERABLE_PATH | LoadLibraryW | 0x0 | "
              "Wardex.exe | 0x1a2b | err:0x0");
    DllProtectInfo forged = sample_event();
    // A field never holds "|": the record itself ends each field with one.
    forged.request_path = "a.dll\nb.dll DLL_BLOCKED\r\x1b[2J\t\x7f";
    forged.load_path = "C:\\100%\\\xc2\x9b\xc2\xa0\xc3\xa9";  // CSI as a C1 control, then text
    forged.error_info = std::string("nul\0end", 7);
    EXPECT_EQ(dump_line(forged),
              "a.dll%0Ab.dll DLL_BLOCKED%0D%1B[2J%09%7F | C:\\100%25\\%C2%9B\xc2\xa0\xc3\xa9 | "
              "VULNERABLE_PATH | LoadLibraryW | 0x0 | Wardex.exe | 0x1a2b | nul%00end");
}

}  // namespace
