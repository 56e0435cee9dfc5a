// The load-trust decisions against the real system under Wine: path resolution through the loader
// and the NT namespace, folder identity through short names and links, the Windows folders, real
// DACLs and real signatures on the lab's planted.dll.
//
// Wine builds every DACL from the Unix mode bits: SYSTEM, the Unix user's own account (full access)
// and Everyone (read, or modify when others may write). A DACL that leaves only the privileged
// accounts cannot be expressed, so "cannot write" is shown with the fakes only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "dllprotect/thread_state.h"
#include "dllprotect/trust_decisions.h"
#include "dllprotect/write_permission.h"
#include "logging/dbg_trace/testing.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "win/support.h"
#include "winapi/file_identity.h"

namespace {

using namespace dllprotect;

std::wstring dlls(const wchar_t* tail) {
    return wintest::env_path("WARDEX_SAMPLES_DIR", std::wstring(L"dlls\\") + tail);
}

std::wstring system_file(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\" + name;
}

std::wstring final_nt_path(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    wchar_t buffer[MAX_PATH];
    const DWORD length =
        ::GetFinalPathNameByHandleW(file, buffer, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
    ::CloseHandle(file);
    return std::wstring(buffer, length);
}

// The Program Files folder of a process of this width: a 32-bit process on 64-bit Windows is
// given the x86 folder.
const std::wstring program_files =
    sizeof(void*) == 8 ? L"C:\\Program Files" : L"C:\\Program Files (x86)";

// A library in a folder of its own under Program Files.
std::wstring own_library() {
    const std::wstring folder = program_files + L"\\WardexTrustTest";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\own.dll";
    ::CopyFileW(dlls(L"guarded\\unsigned.dll").c_str(), path.c_str(), FALSE);
    return path;
}

class LoadTrustWin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dlls(L"").empty()) << "WARDEX_SAMPLES_DIR is not set";
        capture_trusted_dirs();
        build_nt_device_table();
        decisions().options = OPT_CHECK_SIGNATURE | OPT_CHECK_WRITE_ACCESS | OPT_REPORT_MODE;
        decisions().blacklist.clear();
    }
    ProtectResult check(const std::wstring& name) {
        return PerformSecurityChecks(name, 0, load_path, error_info);
    }

    std::wstring load_path;
    std::string error_info;
};

TEST_F(LoadTrustWin, ProcessFactsComeFromTheSystem) {
    const trusted_dirs& dirs = decisions().dirs;
    EXPECT_TRUE(
        stdext::iequals(dirs.system_dir, L"C:\\windows\\system32", stdext::case_rule::latin1));
    EXPECT_TRUE(stdext::iequals(dirs.windows_dir, L"C:\\windows", stdext::case_rule::latin1));
    EXPECT_EQ(dirs.program_files_dir, program_files);
    EXPECT_EQ(dirs.exe_dir.back(), L'\\');
    EXPECT_TRUE(std::ranges::any_of(decisions().devices, [](const nt_device& device) {
        return device.letter == L'C' && device.device == L"\\Device\\HarddiskVolume1\\";
    }));
}

TEST_F(LoadTrustWin, NtPathsResolveToTheSameFile) {
    const std::wstring mpr = system_file(L"mpr.dll");
    // The NT device form and the form Wine's mapped-file names take.
    for (const std::wstring& nt : {final_nt_path(mpr), L"\\??\\" + mpr}) {
        const auto dos = get_module_path_extended(nt);
        ASSERT_TRUE(dos.has_value()) << stdext::wide_to_utf8(nt);
        EXPECT_EQ(winapi::equivalent(*dos, mpr).value_or(false), true)
            << stdext::wide_to_utf8(*dos);
    }
    EXPECT_FALSE(get_module_path_extended(L"\\Device\\NoSuchVolume\\x.dll").has_value());
}

TEST_F(LoadTrustWin, FoldersAreComparedByIdentity) {
    // An error counts as "no", as the checks take it.
    const auto inside = [](const std::wstring& file, const std::wstring& folder) {
        return is_inside_dir(file, folder).value_or(false);
    };
    const std::wstring mpr = system_file(L"mpr.dll");
    wchar_t short_form[MAX_PATH];
    ASSERT_NE(::GetShortPathNameW(program_files.c_str(), short_form, MAX_PATH), 0u);
    ASSERT_STRNE(short_form, program_files.c_str());
    EXPECT_TRUE(inside(own_library(), short_form));
    EXPECT_TRUE(inside(mpr, L"C:\\WINDOWS"));
    EXPECT_FALSE(inside(mpr, program_files));
    // A library reached through a link lies where the link leads.
    EXPECT_TRUE(inside(dlls(L"linked\\unsigned.dll"), dlls(L"guarded")));
    EXPECT_FALSE(inside(dlls(L"linked\\unsigned.dll"), dlls(L"writable")));
    // A missing file or folder is a plain "no".
    EXPECT_FALSE(inside(dlls(L"guarded\\missing.dll"), dlls(L"guarded")));

    // A path of 250 characters is reached through its extended form. (Wine cannot name an
    // object of more than about 255 characters by its handle, so the path stays below that.)
    std::wstring deep = L"\\\\?\\" + dlls(L"writable");
    ASSERT_LT(deep.size(), 200u) << "the samples folder is too deep for this case";
    while (deep.size() + 41 < 4 + 250 - 9) {
        deep += L"\\" + std::wstring(40, L'd');
        ::CreateDirectoryW(deep.c_str(), nullptr);
    }
    deep += L"\\" + std::wstring(4 + 250 - 9 - deep.size() - 1, L'e');
    ::CreateDirectoryW(deep.c_str(), nullptr);
    const std::wstring deep_file = deep + L"\\deep.dll";
    ASSERT_EQ(deep_file.size(), 4u + 250u);
    ASSERT_TRUE(::CopyFileW(dlls(L"writable\\unsigned.dll").c_str(), deep_file.c_str(), FALSE));
    const auto deep_inside = is_inside_dir(deep_file.substr(4), dlls(L"writable"));
    ASSERT_TRUE(deep_inside.has_value()) << deep_inside.error().code.message();
    EXPECT_TRUE(*deep_inside);
}

TEST_F(LoadTrustWin, TrustedPlaces) {
    EXPECT_TRUE(helpers::is_trusted_path(system_file(L"mpr.dll")));

    // The executable's folder counts only under Program Files.
    const std::wstring own = own_library();
    decisions().dirs.exe_dir = std::wstring(stdext::path::split(own).folder);
    EXPECT_TRUE(helpers::is_trusted_path(own));
    decisions().dirs.exe_dir = dlls(L"guarded\\");
    EXPECT_FALSE(helpers::is_trusted_path(dlls(L"guarded\\unsigned.dll")));
}

TEST_F(LoadTrustWin, WritePermissionsFollowTheRealDacl) {
    logging::dbg_trace::testing::capture trace;
    EXPECT_TRUE(CanUserWrite(dlls(L"writable")));
    EXPECT_TRUE(trace.contains("user: Everyone can write in"));
    // Every entry's account is found, the user's own (a longer SID) too.
    EXPECT_FALSE(trace.contains("GetAccName() - LookupAccountSid failed"));
    EXPECT_TRUE(CanUserWrite(dlls(L"guarded")));
    EXPECT_FALSE(
        trace.contains("user: Everyone can write in " + stdext::wide_to_utf8(dlls(L"guarded"))));
    EXPECT_TRUE(CanUserWrite(dlls(L"missing")));
    EXPECT_TRUE(trace.contains("GetNamedSecurityInfo failed 2"));

    const std::string listing = permission_listing(dlls(L"guarded"));
    EXPECT_NE(listing.find(" user: Everyone permissions:0x1200a9 ;"), std::string::npos) << listing;
    EXPECT_NE(listing.find(" user: SYSTEM permissions:0x1f01ff ;"), std::string::npos) << listing;
    EXPECT_EQ(permission_listing(dlls(L"missing")), "");
}

TEST_F(LoadTrustWin, WholeChecks) {
    EXPECT_EQ(check(L"mpr.dll"), PROTECT_SUCCESS);
    EXPECT_EQ(winapi::equivalent(load_path, system_file(L"mpr.dll")).value_or(false), true);

    // The error is the loader's own (Wine says 2 where Windows says 126).
    EXPECT_EQ(check(L"no-such-library-anywhere.dll"), LOAD_FAILED);
    EXPECT_EQ(::LoadLibraryExW(L"no-such-library-anywhere.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE),
              nullptr);
    char expected[32];
    std::snprintf(expected, sizeof expected, "err:0x%lx", ::GetLastError());
    EXPECT_EQ(error_info, expected);

    EXPECT_EQ(check(dlls(L"writable\\unsigned.dll")), VULNERABLE_PATH);
    EXPECT_TRUE(stdext::iequals(load_path, L"\\\\?\\" + dlls(L"writable\\unsigned.dll"),
                                stdext::case_rule::latin1))
        << stdext::wide_to_utf8(load_path);
    EXPECT_EQ(check(dlls(L"writable\\signed.dll")), PROTECT_SUCCESS);

    winverifytrust_depth = 1;
    EXPECT_EQ(check(dlls(L"writable\\signed.dll")), IN_WINVERIFYTRUST_CALL);
    winverifytrust_depth = 0;

    decisions().options |= OPT_USE_BLACKLIST;
    decisions().blacklist = {L"\\writable\\signed.dll"};
    EXPECT_EQ(check(dlls(L"writable\\signed.dll")), DLL_BLOCKED);
}

}  // namespace
