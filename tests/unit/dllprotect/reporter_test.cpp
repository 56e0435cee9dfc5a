// The host's reporter over the fake event client library and the fake trust facility.
#include "dllprotect/reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "fakes/fake_machine.h"
#include "fakes/fake_vdec.h"
#include "fakes/log_messages.h"
#include "logging/log.h"
#include "platform/config/product_settings.h"

namespace {

using namespace dllprotect;
using strings = std::vector<std::string>;

struct event_texts {
    std::string request = "evil.dll";
    std::string load = "C:\\Users\\Public\\Evil.dll";
    std::string reason = "VULNERABLE_PATH";
    std::string caller = "Wardex.exe";
    std::string flags = "0x0";
    DllProtectEvent view() const {
        return {request.c_str(), load.c_str(),   reason.c_str(), "LoadLibraryW",
                flags.c_str(),   caller.c_str(), "0x1f",         "err:0x0"};
    }
};

class Reporter : public fakes::machine_test {
protected:
    long submits() const {
        return std::count(vdec->calls.begin(), vdec->calls.end(), "SubmitEvent 16 0");
    }
    void report(const event_texts& e) {
        const DllProtectEvent view = e.view();
        host_callback(&view, &*reporter);
    }
    // Made by each test; the reporter goes first, since releasing its client calls into the
    // library.
    std::optional<fakes::fake_vdec> vdec;
    std::optional<dllprotect_reporter> reporter;
};

TEST_F(Reporter, SendsTheElevenFieldsInOrder) {
    vdec.emplace(machine, L"C:\\Windows\\System32\\vdec.dll");
    reporter.emplace(L"CorvelWardex");
    machine.trust.files[L"C:\\Users\\Public\\Evil.dll"].embedded = 0;
    report({});
    const std::string app =
        *platform::config::get_narrow_setting(platform::config::setting::app_id);
    EXPECT_EQ(vdec->calls, (strings{
                               "Init",
                               "SetOptionA 0 3 1 0",
                               "SetOptionVarLenA 0 8 " + app + " " + std::to_string(app.size()),
                               "CreateEcEventA dllprotect_report 2 " + app,
                               "AddKeyValueEventA request_path=evil.dll",
                               "AddKeyValueEventA load_path=C:\\Users\\Public\\Evil.dll",
                               "AddKeyValueEventW module_name=Evil.dll",
                               "AddKeyValueEventA reason=VULNERABLE_PATH",
                               "AddKeyValueEventA function_name=LoadLibraryW",
                               "AddKeyValueEventA flags=0x0",
                               "AddKeyValueEventW process_name=CorvelWardex",
                               "AddKeyValueEventA caller_name=Wardex.exe",
                               "AddKeyValueEventA caller_offset=0x1f",
                               "AddKeyValueEventA error_info=err:0x0",
                               "AddKeyValueEventA signature=SIGNED",
                               "SubmitEvent 16 0",
                               "DestroyEvent",
                           }));
}

TEST_F(Reporter, ReportsEachPathAndReasonOnce) {
    vdec.emplace(machine, L"vdec.dll");
    reporter.emplace(L"CorvelWardex");
    // Another caller, other flags, the path in another case: the same report.
    report({});
    report({.caller = "other.dll", .flags = "0x8"});
    report({.load = "c:\\users\\public\\EVIL.DLL"});
    EXPECT_EQ(submits(), 1);
    report({.reason = "DLL_BLOCKED"});
    EXPECT_EQ(submits(), 2);
    EXPECT_EQ(std::count(vdec->calls.begin(), vdec->calls.end(), "Init"), 1);

    // A refused submit or field leaves the key unreported, so the event is tried again.
    vdec->faults().fail("SubmitEvent", 3, 0xFFFFFFFA);
    report({.request = "fresh.dll"});
    vdec->faults().fail("flags", 4, 0xFFFFFFFF);
    for (int i = 0; i < 3; ++i) {
        report({.request = "fresh.dll"});
    }
    EXPECT_EQ(submits(), 4);  // the refused one counts as a call
}

TEST_F(Reporter, WithoutTheLibraryNothingIsSentAndTheNextEventTriesAgain) {
    reporter.emplace(L"CorvelWardex");
    report({});
    EXPECT_EQ(machine.modules.loads.size(), 1u);
    EXPECT_EQ(machine.modules.loads[0].first, L"vdec.dll");
    vdec.emplace(machine, L"vdec.dll");
    report({});
    EXPECT_EQ(submits(), 1);
    // Init refusing is a failed creation too.
    dllprotect_reporter second{L"CorvelWardex"};
    vdec->faults().fail("Init", 2, 1);
    const event_texts texts;
    const DllProtectEvent view = texts.view();
    host_callback(&view, &second);
    host_callback(&view, &second);
    EXPECT_EQ(submits(), 2);
    host_callback(nullptr, &second);
    host_callback(&view, nullptr);
    EXPECT_EQ(submits(), 2);
}

TEST_F(Reporter, SignatureLabels) {
    // LOAD_FAILED events carry "UNKNOWN" as their path: a name, not a file, so unsigned.
    EXPECT_STREQ(signature_label("UNKNOWN"), "UNSIGNED");
    EXPECT_STREQ(signature_label("C:\\bad\xff.dll"), "UNKNOWN");
}

TEST_F(Reporter, RefusedOptionsAreLoggedAndAFailedBuildSendsNothing) {
    vdec.emplace(machine, L"vdec.dll");
    fakes::fake_log_library log{machine.modules};
    const logging::scopped_log_init logging_on;
    machine.faults.fail("SetOptionA", 1, static_cast<std::uint32_t>(-6));
    machine.faults.fail("SetOptionVarLenA", 1, static_cast<std::uint32_t>(-1));
    machine.faults.fail("CreateEcEventA", 1, 1);
    reporter.emplace(L"CorvelWardex");
    report({});
    EXPECT_EQ(submits(), 0);
    EXPECT_EQ(
        fakes::all_messages(log),
        (std::vector<std::wstring>{
            L"8 dllprotect::make_configured_vdec failed set_option submit_use_vdnc_cloud err=-6",
            L"8 dllprotect::make_configured_vdec failed set_option app_name err=-1"}));

    vdec->faults().fail("error_info", 1, static_cast<std::uint32_t>(-3));
    const auto built =
        build_report_event(*reporter->client(), event_texts().view(), L"x", "SIGNED");
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().text, "failed build tolvar event");
}

}  // namespace
