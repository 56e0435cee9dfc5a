// The remote update against the fake machine: a whole update from the description to the started
// installer, each failure that ends it, and the temporary file's name.
#include "supervision/update.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <set>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "logging/log.h"
#include "platform/config/product_settings.h"

namespace {

using namespace supervision;

const std::wstring installer_url = L"https://cdn.example.com/agent/setup 2.0.exe";
const std::string document =
    R"({"version":"2.0","url":"https://cdn.example.com/agent/setup 2.0.exe","size":3})";
const std::wstring temp = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
constexpr auto not_trusted = static_cast<std::int32_t>(winapi::trust_e_subject_not_trusted);
constexpr auto bad_digest = static_cast<std::int32_t>(winapi::trust_e_bad_digest);

winapi::certificate_fields signer(const std::wstring& subject) {
    return {{0x01, 0x02}, L"Test Root", subject};
}

class Update : public fakes::machine_test {
public:
    Update() {
        machine.http.pages[endpoint] = {200, document};
        machine.http.pages[installer_url] = {200, "MZ the installer"};
        machine.trust.files[machine.modules.self_path] = {0, {}, signer(L"Valdrin Ltd")};
        // Every downloaded installer is signed like the program unless a test says otherwise.
        machine.temp.on_unique_file = [this](const std::wstring& path) {
            machine.trust.files[path] = installer;
        };
        machine.processes.table = {{30, {L"winlogon.exe", 1}}};
        machine.processes.session_list = {{1, L"Console", 0}};
    }

    // The update's log lines: level and text.
    std::vector<std::pair<logging::log_level, std::wstring>> update_lines() const {
        std::vector<std::pair<logging::log_level, std::wstring>> lines;
        for (const auto& r : log.lines()) {
            if (r.function == L"update::exec") {
                lines.emplace_back(r.level, r.text);
            }
        }
        return lines;
    }
    fakes::fake_http::page& info_page() { return machine.http.pages[endpoint]; }
    fakes::fake_http::page& installer_page() { return machine.http.pages[installer_url]; }

    fakes::fake_machine& m = machine;
    const std::wstring endpoint =
        *platform::config::get_wide_setting(platform::config::setting::update_url);
    fakes::fake_trust::file installer{0, {}, signer(L"Valdrin Ltd")};
    fakes::fake_log_library log{machine.modules};
    logging::scopped_log_init logging_on;
};

TEST_F(Update, DownloadsChecksAndStartsTheInstallerInTheUsersSession) {
    ASSERT_FALSE(endpoint.empty());
    EXPECT_TRUE(update::exec());
    ASSERT_EQ(machine.processes.started.size(), 1u);
    const std::wstring file =
        temp + machine.processes.started[0].command_line.substr(temp.size() + 1, 3) + L"1A2B.tmp";
    EXPECT_EQ(machine.processes.started[0].command_line,
              L"\"" + file + L"\" /source:wardex_update");
    EXPECT_EQ(machine.processes.started[0].token_session, 1u);
    EXPECT_EQ(machine.temp.files.at(file), "MZ the installer");
    EXPECT_TRUE(update_lines().empty());
}

struct failure_case {
    const char* name;
    void (*arrange)(Update&);
    const wchar_t* logged;  // the start of the one "err=" line; null: none
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateFailure : public Update, public ::testing::WithParamInterface<failure_case> {};

TEST_P(UpdateFailure, EndsWithoutStartingAnything) {
    GetParam().arrange(*this);
    EXPECT_FALSE(update::exec());
    EXPECT_TRUE(machine.processes.started.empty());
    // Whatever was downloaded is gone.
    EXPECT_TRUE(machine.temp.files.empty());
    const auto lines = update_lines();
    if (GetParam().logged == nullptr) {
        EXPECT_TRUE(lines.empty());
        return;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, logging::level_warning);
    EXPECT_EQ(lines[0].second.substr(0, std::wcslen(GetParam().logged)), GetParam().logged)
        << lines[0].second;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailure,
    ::testing::Values(
        failure_case{"DocumentMissing", [](Update& u) { u.info_page().status = 404; },
                     L"err=Bad request status: 404"},
        failure_case{"DocumentTooLarge", [](Update& u) { u.info_page().declared_length = 1048577; },
                     L"err=Unexpected info size"},
        failure_case{"DocumentNotJson", [](Update& u) { u.info_page().body = "oops"; },
                     L"err=syntax error at line 1 near: oops"},
        failure_case{
            "DocumentNumberOutOfRange",
            [](Update& u) { u.info_page().body = R"({"url":"x","version":"2.0","size":1e99999})"; },
            L"err=number out of range"},
        failure_case{"DocumentWithoutUrl",
                     [](Update& u) { u.info_page().body = R"({"version":"2.0"})"; },
                     L"err=unknown json"},
        failure_case{"DocumentUrlNotText",
                     [](Update& u) { u.info_page().body = R"({"url":["x"],"version":"2.0"})"; },
                     L"err=unknown json"},
        failure_case{"DocumentVersionNotText",
                     [](Update& u) { u.info_page().body = R"({"url":"x","version":2})"; },
                     L"err=unknown json"},
        failure_case{"DocumentNotObject",
                     [](Update& u) { u.info_page().body = R"(["url","version"])"; },
                     L"err=unknown json"},
        failure_case{"NoTempFolder", [](Update& u) { u.m.faults.fail_always("GetTempPath", 5); },
                     L"err=GetTempPath failed"},
        failure_case{"InstallerMissing", [](Update& u) { u.installer_page().status = 403; },
                     L"err=Bad request status: 403"},
        failure_case{"ConnectionCut", [](Update& u) { u.installer_page().cut_after = 5; },
                     L"err=WinHttpReadData failed"},
        failure_case{"InstallerTooLarge",
                     [](Update& u) { u.installer_page().declared_length = 512 * 1048576 + 1; },
                     L"err=Download too large"},
        failure_case{"InstallerTrickles",
                     [](Update& u) {
                         u.installer_page().most_per_read = 1;
                         u.m.http.on_read = [&u] { u.m.clock.advance(5000); };
                     },
                     L"err=Transfer stalled"},
        failure_case{"InstallerUntrusted",
                     [](Update& u) {
                         u.installer = {not_trusted, {not_trusted}};
                     },
                     nullptr},
        failure_case{"InstallerTampered",
                     [](Update& u) {
                         u.installer = {bad_digest, {bad_digest}};
                     },
                     L"err=verify_signature failed"},
        failure_case{"OtherSigner", [](Update& u) { u.installer.signer = signer(L"Valdrin Ltd."); },
                     nullptr},
        failure_case{"SignerUnreadable", [](Update& u) { u.installer.signer.reset(); },
                     L"err=get_signature failed"},
        failure_case{"OwnPathUnknown",
                     [](Update& u) { u.m.modules.self_path = std::wstring(40000, L'a'); }, L"err="},
        failure_case{"NoUserSession", [](Update& u) { u.m.processes.table.clear(); }, nullptr}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Update, AFileThatCannotBeRemovedIsLogged) {
    installer = {not_trusted, {not_trusted}};
    machine.faults.fail_always("DeleteFile", 5);
    EXPECT_FALSE(update::exec());
    ASSERT_EQ(machine.temp.files.size(), 1u);
    const std::wstring expected = L"remove [" + machine.temp.files.begin()->first + L"] err=5 ";
    const auto lines = update_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, logging::level_warning);
    EXPECT_EQ(lines[0].second.substr(0, expected.size()), expected);
}

TEST_F(Update, TempFileNames) {
    std::set<wchar_t> letters;
    for (int i = 0; i < 200; ++i) {
        const std::wstring path = update::make_temp_file_path();
        ASSERT_EQ(path.size(), temp.size() + 3 + 8) << path;
        EXPECT_EQ(path.substr(0, temp.size()), temp);
        for (const wchar_t c : path.substr(temp.size(), 3)) {
            ASSERT_TRUE(c >= L'a' && c <= L'z') << path;
            letters.insert(c);
        }
    }
    EXPECT_GT(letters.size(), 20u);  // 600 draws leave no letter out but by rare chance

    // Without a unique file: the folder and the tick count, and the update still goes ahead.
    machine.faults.fail_always("GetTempFileName", 80);
    machine.clock.set_tick(123456);
    EXPECT_EQ(update::make_temp_file_path(), temp + L"123456");
    machine.trust.files[temp + L"123456"] = installer;
    EXPECT_TRUE(update::exec());
    EXPECT_EQ(machine.temp.files.at(temp + L"123456"), "MZ the installer");
    EXPECT_EQ(machine.processes.started.at(0).command_line,
              L"\"" + temp + L"123456\" /source:wardex_update");

    machine.faults.fail_always("GetTempPath", 5);
    EXPECT_THROW((void)update::make_temp_file_path(), std::system_error);
}

}  // namespace
