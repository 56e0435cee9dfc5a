// The repair log's pieces against the real facilities: the listing of a folder with a versioned
// and an unversioned file, MD5 digests across the read chunks, the log file shared while open
// (its refusal of a name that leads elsewhere is tested with the dump file's), and the event
// queries, which Wine cannot run (EvtQuery is missing).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "eventlog/win_events.h"
#include "stdext/final_path.h"
#include "stdext/path.h"
#include "supervision/diagnostics.h"
#include "win/support.h"
#include "winapi/diagnostics.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

namespace fs = std::filesystem;

TEST(DiagnosticsWin, ListingDigestsAndLogFile) {
    const wintest::temp_folder root("diagnostics-test");
    fs::create_directories(root / "sub");
    std::ofstream(root / "sub" / "abc.txt", std::ios::binary) << "abc";
    std::ofstream(root / "a2500.bin", std::ios::binary) << std::string(2500, 'a');
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    fs::copy_file(self, root / "sub" / "tests.exe");  // carries version 1.2.3.4

    auto& files = winapi::facility<winapi::file_system>::get();
    const std::wstring previous = files.current_directory().value();
    ASSERT_TRUE(files.set_current_directory(root.path().wstring()));
    const std::wstring here = files.current_directory().value();
    std::wostringstream out;
    supervision::log_installed_files(out);
    ASSERT_TRUE(files.set_current_directory(previous));
    const std::wstring text = out.str();
    EXPECT_TRUE(text.starts_with(L"START enum files\n") && text.ends_with(L"END enum files\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 5) << text;  // no line for "sub"
    EXPECT_NE(text.find(L"\t" + here + L"\\sub\\tests.exe version=1.2.3.4 size=" +
                        std::to_wstring(fs::file_size(root / "sub" / "tests.exe")) + L" md5="),
              std::wstring::npos)
        << text;
    EXPECT_NE(
        text.find(L"\t" + here + L"\\sub\\abc.txt size=3 md5=900150983cd24fb0d6963f7d28e17f72\n"),
        std::wstring::npos)
        << text;

    // More than one read chunk; a file another process holds for writing cannot be read.
    const std::wstring big = (root / "a2500.bin").wstring();
    EXPECT_EQ(supervision::get_file_md5(big).value(), "02cc5d5de2e53b5ed3f09a965bd77700");
    HANDLE locked =
        ::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(supervision::get_file_md5(big).error().code.value(), ERROR_SHARING_VIOLATION);
    ::CloseHandle(locked);

    // The log file replaces an old one, is text with CR LF line ends and may be opened meanwhile.
    const std::wstring log = (root / "repair.log").wstring();
    { std::ofstream(fs::path(log), std::ios::binary) << "an older, longer log"; }
    {
        auto file = winapi::facility<winapi::diagnostics>::get()
                        .open_log_file(log,
                                       [&](const std::wstring& final_path) {
                                           return stdext::path::is_final_path_of(final_path, log);
                                       })
                        .value();
        *file << L"line" << std::endl;
        HANDLE other =
            ::CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE);
        ::CloseHandle(other);
    }
    EXPECT_EQ(wintest::read_all(log), "line\r\n");
    EXPECT_TRUE(supervision::get_log_file()->good());
}

TEST(DiagnosticsWin, EventQueriesThatFailGiveAnEmptyLog) {
    const auto system = eventlog::get_system_win_events(10000, nullptr);
    EXPECT_EQ(system.error().text, "event_log::query failed");
    EXPECT_EQ(eventlog::get_corvelservice_win_events(10000).error().code.value(), 31);
    EXPECT_EQ(supervision::get_service_win_events_log(), L"[]");
}

}  // namespace
