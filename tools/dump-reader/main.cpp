// wardex-dump-read FILE: prints the protection events of a dump file, one per line, fields
// separated by " | ", control characters and "%" escaped (see dllprotect::dump_line). Exits with
// 1 and a message after the last readable record when the file is torn or is no dump file, with
// 2 and a message when it cannot be read (a folder, a missing or unreadable file).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "dllprotect/dump_reader.h"

namespace {

// The whole file, or the reason it cannot be had.
bool read_file(const char* path, std::string& bytes, std::string& reason) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    char block[65536];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.append(block, got);
    }
    // A folder opens on some systems and fails at its first read.
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        reason = std::strerror(error);
        return false;
    }
    return true;
}

int run(const char* path) {
    std::string bytes;
    std::string reason;
    if (!read_file(path, bytes, reason)) {
        std::fprintf(stderr, "wardex-dump-read: cannot read %s: %s\n", path, reason.c_str());
        return 2;
    }
    const dllprotect::dump_contents contents = dllprotect::read_dump(bytes);
    for (const auto& record : contents.records) {
        std::printf("%s\n", dllprotect::dump_line(record).c_str());
    }
    if (contents.error) {
        std::fflush(stdout);
        std::fprintf(stderr, "wardex-dump-read: %s: %s\n", path, contents.error->message().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wardex-dump-read FILE\n");
        return 2;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "wardex-dump-read: %s: %s\n", argv[1], e.what());
        return 2;
    }
}
