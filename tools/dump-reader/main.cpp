// wardex-dump-read FILE: prints the protection events of a dump file, one per line, fields
// separated by " | ". Exits with 1 and a message after the last readable record when the file is
// torn or is no dump file, with 2 when it cannot be read.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "dllprotect/dump_reader.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wardex-dump-read FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "wardex-dump-read: cannot open %s\n", argv[1]);
        return 2;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        std::fprintf(stderr, "wardex-dump-read: cannot read %s\n", argv[1]);
        return 2;
    }
    const dllprotect::dump_contents contents = dllprotect::read_dump(bytes);
    for (const auto& r : contents.records) {
        std::printf("%s | %s | %s | %s | %s | %s | %s | %s\n", r.request_path.c_str(),
                    r.load_path.c_str(), r.reason.c_str(), r.function_name.c_str(), r.flags.c_str(),
                    r.caller_name.c_str(), r.caller_offset.c_str(), r.error_info.c_str());
    }
    if (contents.error) {
        std::fflush(stdout);
        std::fprintf(stderr, "wardex-dump-read: %s: %s\n", argv[1],
                     contents.error->message().c_str());
        return 1;
    }
    return 0;
}
