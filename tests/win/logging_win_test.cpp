// The logger against the lab's "log.dll" under the real module facility: the binding finds the
// already loaded library and the va_list of each call reaches it intact.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "logging/log.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(LoggerWin, WritesThroughTheLabLibrary) {
    const char* build = std::getenv("WARDEX_BUILD_DIR");
    if (build == nullptr) {
        GTEST_SKIP() << "WARDEX_BUILD_DIR not set";
    }
    const fs::path source = fs::path(std::string("Z:") + build) / "lab" / "logdll" / "log.dll";
    ASSERT_TRUE(fs::exists(source)) << source.string();
    const fs::path folder = fs::temp_directory_path() / "wardex-logger-test";
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(source, folder / "log.dll");

    HMODULE preloaded = ::LoadLibraryW((folder / "log.dll").wstring().c_str());
    ASSERT_NE(preloaded, nullptr);
    {
        logging::scopped_log_init hold;
        logging::logger_stream(16, L"repair") << L"one\r\ntwo \u00e9 " << 7;
        logging::function_scope_trace trace(L"check_agent");
    }
    ::FreeLibrary(preloaded);

    const std::string log = read_file(folder / "wardex-log.txt");
    const std::string expected_start =
        "init\t\t\t\n"
        "0\t16\trepair\tone\\r\\ntwo \xC3\xA9 7\n"
        "1\t32\tcheck_agent\t-> check_agent()\n"
        "-1\t32\tcheck_agent\t<- check_agent() [";
    EXPECT_EQ(log.substr(0, expected_start.size()), expected_start);
    const std::string expected_end = "]\ndeinit\t\t\t\n";
    ASSERT_GE(log.size(), expected_end.size());
    EXPECT_EQ(log.substr(log.size() - expected_end.size()), expected_end) << log;
    EXPECT_EQ(logging::CLogDLL::references(), 0);
    fs::remove_all(folder);
}

}  // namespace
