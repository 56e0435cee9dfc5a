#include <gtest/gtest.h>

#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/process_context.h"

namespace {

winapi::process_context& process() {
    return winapi::facility<winapi::process_context>::get();
}

TEST(ProcessContextWin, AdministratorArchitectureAndCommandLine) {
    EXPECT_TRUE(process().is_administrator());
    EXPECT_EQ(process().native_processor_architecture(), winapi::processor_architecture_amd64);

    std::vector<std::wstring> args;
    std::uint32_t error = 1;
    ASSERT_TRUE(
        process().split_command_line(L"\"C:\\Program Files\\a b\\W.exe\" REPAIR  x", args, error));
    EXPECT_EQ(error, 0u);
    const std::vector<std::wstring> expected = {L"C:\\Program Files\\a b\\W.exe", L"REPAIR", L"x"};
    EXPECT_EQ(args, expected);
    EXPECT_FALSE(process().command_line().empty());
}

TEST(FileIdentityWin, OneFolderUnderTwoSpellingsAndTheCurrentDirectory) {
    auto& files = winapi::facility<winapi::file_identity>::get();
    const auto windows = files.identify(L"C:\\windows").value();
    const auto system = files.identify(L"C:\\windows\\system32").value();
    EXPECT_EQ(files.identify(L"c:\\WINDOWS\\").value(), windows);
    EXPECT_NE(windows, system);
    EXPECT_EQ(files.identify(L"C:\\no such folder").error().code.value(), 2);

    auto& disk = winapi::facility<winapi::file_system>::get();
    ASSERT_TRUE(disk.set_current_directory(L"C:\\windows\\system32\\"));
    EXPECT_EQ(files.identify(L".").value(), system);
}

}  // namespace
