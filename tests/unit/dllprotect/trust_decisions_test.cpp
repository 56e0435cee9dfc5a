#include "dllprotect/trust_decisions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dllprotect/thread_state.h"
#include "logging/dbg_trace/testing.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;
constexpr auto allow = &fakes::fake_access_control::allow;

class TrustDecisions : public protect_machine {
protected:
    ProtectResult check(const std::wstring& name) {
        load_path.clear();
        error_info.clear();
        return PerformSecurityChecks(name, 0x8, load_path, error_info);
    }

    std::wstring load_path;
    std::string error_info;
};

TEST_F(TrustDecisions, TrustedPlacesAreTheWindowsFoldersAndTheProgramUnderProgramFiles) {
    machine.files.set_file(L"C:\\windows\\system32\\plain.dll", "MZ");
    machine.files.set_file(L"C:\\Program Files\\Corvel\\own.dll", "MZ");
    machine.files.set_file(L"C:\\Tools\\tool.dll", "MZ");
    EXPECT_TRUE(helpers::is_trusted_path(L"C:\\windows\\system32\\plain.dll"));
    EXPECT_TRUE(trace.contains("is TRUSTED. Reason: is in system32 or in windows dir"));
    // Each folder asked about is one traced is_inside_dir; the first that decides ends the test.
    EXPECT_EQ(traced(trace, {"is_inside_dir"}),
              (std::vector<std::string>{"is_inside_dir -> ", "is_inside_dir <- "}));
    EXPECT_TRUE(helpers::is_trusted_path(L"C:\\Program Files\\Corvel\\own.dll"));
    EXPECT_TRUE(trace.contains("Reason: is in exe_dir and file is in programmfiles_dir"));
    EXPECT_FALSE(helpers::is_trusted_path(L"C:\\Tools\\tool.dll"));
    EXPECT_TRUE(trace.contains("path: C:\\Tools\\tool.dll is UNTRUSTED"));
    EXPECT_FALSE(helpers::is_trusted_path(L"C:\\windows\\system32\\missing.dll"));

    // The executable's own folder outside Program Files earns nothing.
    machine.modules.self_path = L"C:\\Tools\\Wardex.exe";
    capture_trusted_dirs();
    EXPECT_FALSE(helpers::is_trusted_path(L"C:\\Tools\\tool.dll"));
}

TEST_F(TrustDecisions, FoldersCompareByIdentityNotSpelling) {
    // An answer, raising for an error.
    const auto inside = [](const std::wstring& file, const std::wstring& folder) {
        return is_inside_dir(file, folder).value();
    };
    // A short name of the folder is another spelling of the same object.
    machine.identities.add(L"C:\\PROGRA~1", {7, 103});
    machine.files.add_folder(L"C:\\PROGRA~1");
    machine.files.set_file(L"C:\\Program Files\\Corvel\\own.dll", "MZ");
    EXPECT_TRUE(inside(L"C:\\Program Files\\Corvel\\own.dll", L"C:\\PROGRA~1"));
    // A file reached through a link is judged by where it really lies.
    machine.files.set_file(L"C:\\Tools\\link.dll", "MZ");
    machine.libraries.finals[L"c:\\tools\\link.dll"] = L"\\\\?\\C:\\windows\\system32\\real.dll";
    EXPECT_TRUE(inside(L"C:\\Tools\\link.dll", L"C:\\windows"));
    // A folder deeper than the file's own cannot hold it; a file is no folder.
    EXPECT_FALSE(inside(L"C:\\Tools\\link.dll", L"C:\\windows\\system32\\drivers"));
    EXPECT_FALSE(inside(L"C:\\Tools\\link.dll", L"C:\\Tools\\link.dll"));
    // A folder with only an NT form is reached through the global root.
    machine.libraries.nt_only_finals[L"c:\\tools"] = L"\\Device\\Mup\\tools";
    machine.identities.add(L"\\\\?\\GLOBALROOT\\Device\\Mup\\tools", {7, 200});
    EXPECT_FALSE(inside(L"C:\\Tools\\link.dll", L"C:\\Tools"));
    // A failure on the way is an error, not an answer.
    machine.faults.fail_always("final_path", 5);
    const auto failed = is_inside_dir(L"C:\\Program Files\\Corvel\\own.dll", L"C:\\windows");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code.value(), 5);

    // Paths of 200 characters and more take the extended form, once.
    const std::wstring p199 = L"C:\\" + std::wstring(196, L'a');
    EXPECT_EQ(to_extended_path(p199), p199);
    EXPECT_EQ(to_extended_path(p199 + L"b"), L"\\\\?\\" + p199 + L"b");
    EXPECT_EQ(to_extended_path(L"\\\\?\\" + p199 + L"b"), L"\\\\?\\" + p199 + L"b");
}

TEST_F(TrustDecisions, BlacklistEntriesAreLowerCaseSuffixes) {
    const std::wstring file = L"C:\\Program Files\\Corvel\\dllblacklist.json";
    const auto read_list = [&](const std::string& text) {
        machine.files.set_file(file, text);
        readBlacklistJson();
    };
    read_list(R"({"other": 1, "blacklist": ["evil.dll", "Bad.dll", 7, "tools\\x.dll"]})");
    EXPECT_EQ(decisions().blacklist,
              (std::set<std::wstring>{L"evil.dll", L"Bad.dll", L"tools\\x.dll"}));
    EXPECT_TRUE(trace.contains("black listed file: evil.dll"));
    EXPECT_TRUE(trace.contains("black list entry ignored: 7"));
    EXPECT_TRUE(is_blacklisted(L"C:\\Any\\EVIL.dll"));
    EXPECT_TRUE(is_blacklisted(L"C:\\Any\\notevil.dll"));  // no separator is required
    EXPECT_TRUE(is_blacklisted(L"D:\\Tools\\X.DLL"));
    EXPECT_FALSE(is_blacklisted(L"C:\\bad.dll"));  // an upper-case entry never matches
    EXPECT_FALSE(is_blacklisted(L"l.dll"));
    EXPECT_TRUE(trace.contains("path c:\\any\\evil.dll is BLACKLISTED"));
    EXPECT_TRUE(trace.contains("path c:\\bad.dll is NOT blacklisted"));

    // Entries nested 20,000 deep are skipped with the trace on, neither they nor the document
    // walked recursively.
    const std::string deep_array = std::string(20000, '[') + std::string(20000, ']');
    std::string deep_object;
    for (int i = 0; i < 20000; ++i) {
        deep_object += "{\"a\":";
    }
    deep_object += "1" + std::string(20000, '}');
    read_list("{\"blacklist\": [\"a.dll\", " + deep_array + ", " + deep_object + ", \"b.dll\"]}");
    EXPECT_EQ(decisions().blacklist, (std::set<std::wstring>{L"a.dll", L"b.dll"}));
    EXPECT_TRUE(trace.contains("black list entry ignored: array of 1 element(s)"));
    EXPECT_TRUE(trace.contains("black list entry ignored: object of 1 element(s)"));

    for (const char* broken :
         {"{\"blacklist\": [\"a.dll\"", "[\"a.dll\"]", "{\"blacklist\": \"a.dll\"}"}) {
        read_list(broken);
        EXPECT_TRUE(decisions().blacklist.empty()) << broken;
    }
    static_cast<void>(machine.files.delete_file(file));
    readBlacklistJson();
    EXPECT_TRUE(decisions().blacklist.empty());
}

TEST_F(TrustDecisions, NtPathsBecomeDosPaths) {
    const auto dos_path = [](const std::wstring& nt_path) {
        return get_module_path_extended(nt_path).value();
    };
    // Without the direct opening: the drive table (device names carry their "\") and the long
    // form of the result.
    machine.libraries.direct_open_available = false;
    machine.libraries.devices = {{L'C', L"\\Device\\HarddiskVolume1"},
                                 {L'D', L"\\Device\\HarddiskVolume10\\"}};
    build_nt_device_table();
    machine.libraries.long_forms[L"d:\\progra~1\\b.dll"] = L"D:\\Program Files\\b.dll";
    EXPECT_EQ(dos_path(L"\\Device\\HarddiskVolume10\\PROGRA~1\\b.dll"),
              L"D:\\Program Files\\b.dll");
    EXPECT_EQ(dos_path(L"\\Device\\HarddiskVolume1\\c.dll"), L"C:\\c.dll");
    // Device names compare case-sensitively.
    EXPECT_FALSE(get_module_path_extended(L"\\device\\harddiskvolume1\\c.dll").has_value());
    machine.faults.fail("long_path", 3);
    const auto failed = get_module_path_extended(L"\\Device\\HarddiskVolume1\\c.dll");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code.value(), static_cast<int>(winapi::error_gen_failure));
}

TEST_F(TrustDecisions, ResolutionFailuresExplainThemselves) {
    EXPECT_EQ(check(L"nowhere.dll"), LOAD_FAILED);
    EXPECT_EQ(error_info, "err:0x7e");
    EXPECT_EQ(load_path, L"nowhere.dll");
    EXPECT_TRUE(trace.contains("path nowhere.dll couldn't be found"));
    // The name is resolved as a data file, with the caller's flags kept.
    EXPECT_EQ(machine.libraries.load_flags.back(), 0x8u | 0x2u);

    add_library(L"a.dll", L"C:\\Tools\\a.dll");
    machine.faults.fail("mapped_file_name", 1, 6);
    EXPECT_EQ(check(L"a.dll"), GETMAPPEDFILE_FAILED);
    EXPECT_EQ(error_info, "err:0x6");

    // No device prefix matches: the thread's last error is reported, whatever it is.
    machine.libraries.direct_open_available = false;
    machine.libraries.devices.clear();
    build_nt_device_table();
    machine.libraries.thread_last_error = 0x57;
    EXPECT_EQ(check(L"a.dll"), GETPATH_FAILED);
    EXPECT_EQ(error_info, "err:0x57");
    // A signed library asked for by its full path still passes on its signature, unless a
    // verification is already running on the thread.
    add_library(L"C:\\Tools\\a.dll", L"C:\\Tools\\a.dll");
    sign(L"C:\\Tools\\a.dll");
    EXPECT_EQ(check(L"C:\\Tools\\a.dll"), PROTECT_SUCCESS);
    winverifytrust_depth = 1;
    EXPECT_EQ(check(L"C:\\Tools\\a.dll"), IN_WINVERIFYTRUST_CALL);
    // Every mapping was released (the handle table fails the test otherwise).
}

TEST_F(TrustDecisions, TheFirstDecidingCheckWins) {
    add_library(L"kernel32.dll", L"C:\\windows\\system32\\kernel32.dll");
    add_library(L"planted.dll", L"C:\\Users\\Public\\planted.dll");
    add_library(L"guarded.dll", L"C:\\Tools\\guarded.dll");
    machine.acl.set(L"C:\\Tools",
                    {true, {allow(L"Administrators", 0x2), allow(L"Users", 0x1200a9)}});
    decisions().blacklist = {L"kernel32.dll", L"evil.dll"};

    // The blacklist wins over the trusted location.
    EXPECT_EQ(check(L"kernel32.dll"), DLL_BLOCKED);
    EXPECT_EQ(load_path, L"\\\\?\\C:\\windows\\system32\\kernel32.dll");
    decisions().options &= ~OPT_USE_BLACKLIST;
    EXPECT_EQ(check(L"kernel32.dll"), PROTECT_SUCCESS);
    // A trusted location needs neither the ACL nor a signature.
    EXPECT_EQ(machine.faults.calls("read_dacl"), 0);
    EXPECT_EQ(machine.faults.calls("verify_embedded"), 0);

    // A folder only administrators can write passes before any signature check.
    EXPECT_EQ(check(L"guarded.dll"), PROTECT_SUCCESS);
    EXPECT_EQ(machine.faults.calls("verify_embedded"), 0);
    decisions().options &= ~OPT_CHECK_WRITE_ACCESS;
    EXPECT_EQ(check(L"guarded.dll"), VULNERABLE_PATH);
    EXPECT_EQ(machine.faults.calls("verify_embedded"), 1);
    decisions().options |= OPT_CHECK_WRITE_ACCESS;

    // A user-writable folder: the signature decides.
    EXPECT_EQ(check(L"planted.dll"), VULNERABLE_PATH);
    EXPECT_TRUE(trace.contains("planted.dll is a VULNERABLE_PATH"));
    sign(L"\\\\?\\C:\\Users\\Public\\planted.dll");
    EXPECT_EQ(check(L"planted.dll"), PROTECT_SUCCESS);
    // Never a nested verification: the running one answers for it.
    const int verified = machine.faults.calls("verify_embedded");
    winverifytrust_depth = 2;
    EXPECT_EQ(check(L"planted.dll"), IN_WINVERIFYTRUST_CALL);
    EXPECT_TRUE(trace.contains("in winverify trust value 2"));
    EXPECT_EQ(machine.faults.calls("verify_embedded"), verified);
    // Without the signature option nothing can make it pass.
    winverifytrust_depth = 0;
    decisions().options = OPT_CHECK_WRITE_ACCESS;
    EXPECT_EQ(check(L"planted.dll"), VULNERABLE_PATH);
}

TEST_F(TrustDecisions, EveryStepTracesItsWayInAndOut) {
    add_library(L"planted.dll", L"C:\\Users\\Public\\planted.dll");
    ASSERT_EQ(check(L"planted.dll"), VULNERABLE_PATH);
    std::string scopes;
    for (const std::string& line : traced(trace, {" -> ", " <- "})) {
        scopes += line;
    }
    // Three folders are asked about before the file counts as untrusted; its folder has one entry.
    EXPECT_EQ(
        scopes,
        "PerformSecurityChecks -> get_module_path_extended -> get_module_path_extended <- "
        "is_blacklisted -> is_blacklisted <- is_trusted_path -> is_inside_dir -> "
        "is_inside_dir <- is_inside_dir -> is_inside_dir <- is_inside_dir -> is_inside_dir <- "
        "is_trusted_path <- CanUserWrite -> GetMapPermisions -> GetDaclPermissions -> "
        "GetAccName -> GetAccName <- GetDaclPermissions <- GetMapPermisions <- CanUserWrite <- "
        "VerifyEmbeddedSignature -> VerifyEmbeddedSignature <- PerformSecurityChecks <- ");
}

TEST(ProtectResultText, NamesEveryValueAndNothingElse) {
    EXPECT_STREQ(protect_result_text(PROTECT_SUCCESS), "PROTECT_SUCCESS");
    EXPECT_STREQ(protect_result_text(13), "UNKNOWN");
    EXPECT_STREQ(protect_result_text(-1), "UNKNOWN");
}

}  // namespace
