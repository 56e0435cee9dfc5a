// The remote update against the fake machine: a whole update from the description to the started
// installer, each failure that ends it, and the temporary file's name.
#include "supervision/update.h"

#include <gtest/gtest.h>

#include <set>

#include "fakes/log_messages.h"
#include "platform/config/product_settings.h"

namespace {

using namespace supervision;
using strings = std::vector<std::wstring>;

const std::wstring installer_url = L"https://cdn.example.com/agent/setup 2.0.exe";
const std::string document =
    R"({"version":"2.0","url":"https://cdn.example.com/agent/setup 2.0.exe","size":3})";
const std::wstring temp = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
constexpr auto not_trusted = static_cast<std::int32_t>(winapi::trust_e_subject_not_trusted);
const fakes::fake_trust::file untrusted{not_trusted, {not_trusted}};

winapi::certificate_fields signer(const std::wstring& subject) {
    return {{0x01, 0x02}, L"Test Root", subject};
}

// The machine an update runs on: the document and the installer on the web, this program signed,
// every downloaded installer signed alike unless a test says otherwise, a user at the console.
struct update_lab : fakes::logged_machine {
    update_lab() {
        machine.http.pages[endpoint] = {200, document};
        machine.http.pages[installer_url] = {200, "MZ the installer"};
        machine.trust.files[machine.modules.self_path] = {0, {}, signer(L"Valdrin Ltd")};
        machine.temp.on_unique_file = [this](const std::wstring& path) {
            machine.trust.files[path] = installer;
        };
        machine.processes.table = {{30, {L"winlogon.exe", 1}}};
        machine.processes.session_list = {{1, L"Console", 0}};
    }
    fakes::fake_http::page& info_page() { return machine.http.pages[endpoint]; }
    fakes::fake_http::page& installer_page() { return machine.http.pages[installer_url]; }

    const std::wstring endpoint =
        *platform::config::get_wide_setting(platform::config::setting::update_url);
    fakes::fake_trust::file installer{0, {}, signer(L"Valdrin Ltd")};
};

class Update : public ::testing::Test, protected update_lab {};

TEST_F(Update, DownloadsChecksAndStartsTheInstallerInTheUsersSession) {
    EXPECT_TRUE(update::exec());
    ASSERT_EQ(machine.processes.started.size(), 1u);
    const std::wstring file =
        temp + machine.processes.started[0].command_line.substr(temp.size() + 1, 3) + L"1A2B.tmp";
    EXPECT_EQ(machine.processes.started[0].command_line,
              L"\"" + file + L"\" /source:wardex_update");
    EXPECT_EQ(machine.processes.started[0].token_session, 1u);
    EXPECT_EQ(machine.temp.files.at(file), "MZ the installer");
    EXPECT_EQ(messages(L"update::exec"), strings{});
}

// Each bad document or failing step ends the update without starting anything, with at most one
// warning, and leaves no download behind unless the warning names it.
TEST(UpdateFailure, EndsWithoutStartingAnything) {
    const struct {
        const char* name;
        void (*arrange)(update_lab&);
        std::wstring logged;  // the start of the one warning; empty: none
    } cases[] = {
        {"document missing", [](update_lab& u) { u.info_page().status = 404; },
         L"err=Bad request status: 404"},
        {"no url", [](update_lab& u) { u.info_page().body = R"({"version":"2.0"})"; },
         L"err=unknown json"},
        {"url not text",
         [](update_lab& u) { u.info_page().body = R"({"url":["x"],"version":"2.0"})"; },
         L"err=unknown json"},
        {"version not text",
         [](update_lab& u) { u.info_page().body = R"({"url":"x","version":2})"; },
         L"err=unknown json"},
        {"not an object", [](update_lab& u) { u.info_page().body = R"(["url","version"])"; },
         L"err=unknown json"},
        {"no temp folder", [](update_lab& u) { u.machine.faults.fail_always("GetTempPath", 5); },
         L"err=GetTempPath failed"},
        {"installer missing", [](update_lab& u) { u.installer_page().status = 403; },
         L"err=Bad request status: 403"},
        {"untrusted", [](update_lab& u) { u.installer = untrusted; }, L""},
        {"other signer", [](update_lab& u) { u.installer.signer = signer(L"Valdrin Ltd."); }, L""},
        {"signer unreadable", [](update_lab& u) { u.installer.signer.reset(); },
         L"err=get_signature failed"},
        {"own path unknown",
         [](update_lab& u) { u.machine.modules.self_path = std::wstring(40000, L'a'); }, L"err="},
        {"no user session", [](update_lab& u) { u.machine.processes.table.clear(); }, L""},
        {"download not removable",
         [](update_lab& u) {
             u.installer = untrusted;
             u.machine.faults.fail_always("DeleteFile", 5);
         },
         L"remove [" + temp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        update_lab lab;
        c.arrange(lab);
        EXPECT_FALSE(update::exec());
        EXPECT_TRUE(lab.machine.processes.started.empty());
        const auto lines = lab.messages(L"update::exec");
        EXPECT_EQ(lines.size(), c.logged.empty() ? 0u : 1u);
        for (const auto& line : lines) {
            EXPECT_TRUE(line.starts_with(L"8 " + c.logged)) << line;
        }
        for (const auto& left : lab.machine.temp.files) {
            const std::wstring named = L"8 remove [" + left.first + L"] err=5 ";
            EXPECT_TRUE(lines.size() == 1 && lines[0].starts_with(named)) << "left " << left.first;
        }
    }
}

TEST_F(Update, TempFileNames) {
    std::set<wchar_t> letters;
    for (int i = 0; i < 200; ++i) {
        const std::wstring path = update::make_temp_file_path();
        for (const wchar_t c : path.substr(temp.size(), 3)) {
            ASSERT_TRUE(c >= L'a' && c <= L'z') << path;
            letters.insert(c);
        }
    }
    EXPECT_GT(letters.size(), 20u);  // 600 draws leave no letter out but by rare chance

    // Without a unique file: the folder and the tick count.
    machine.faults.fail_always("GetTempFileName", 80);
    machine.clock.set_tick(123456);
    EXPECT_EQ(update::make_temp_file_path(), temp + L"123456");

    machine.faults.fail_always("GetTempPath", 5);
    EXPECT_THROW((void)update::make_temp_file_path(), std::system_error);
}

}  // namespace
