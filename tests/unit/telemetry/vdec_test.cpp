// The binding to the event client library against a table of test functions.
#include <gtest/gtest.h>

#include <climits>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_vdec.h"
#include "logging/log.h"
#include "telemetry/vdec.h"

namespace {

using strings = std::vector<std::string>;

TEST(VdecErrorText, NamesEveryStatusAndUnknownOnes) {
    const std::pair<telemetry::vdec_status, const char*> table[] = {
        {1, "memory alloc error"},
        {0, "VDEC_ERROR_SUCCESS"},
        {-1, "VDEC_ERROR_INVALID_PARAMETER"},
        {-2, "VDEC_ERROR_INVALID_EVENT_NAME"},
        {-3, "VDEC_ERROR_RESERVED_KEY"},
        {-4, "VDEC_ERROR_DEPRECATED_KEY"},
        {-5, "VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT"},
        {-6, "VDEC_NOT_READY"},
        {-7, "VDEC_ERROR_CREATE_JSON"},
        {-8, "VDEC_ERROR_LOAD_VDNC"},
        {2, "UNKNOWN VDEC ERRROR"},
        {-9, "UNKNOWN VDEC ERRROR"},
        {INT_MIN, "UNKNOWN VDEC ERRROR"},
    };
    for (const auto& [status, name] : table) {
        EXPECT_EQ(telemetry::make_vdec_error(status).message(), name) << status;
    }
}

class VdecLoad : public fakes::machine_test {
protected:
    const std::wstring folder = L"C:\\Agent";
    const std::wstring path = L"C:\\Agent\\vdec.dll";
    fakes::fake_vdec vdec;
};

TEST_F(VdecLoad, EveryExportIsRequiredAndNothingIsCalledWithoutOne) {
    for (const auto name : telemetry::vdec_export_names) {
        auto exports = vdec.exports();
        exports.erase(std::string(name));
        machine.modules.add_library(path, exports);
        auto api = telemetry::open_vdec(folder);
        ASSERT_FALSE(api) << name;
        EXPECT_EQ(api.error().text, "GetProcAddress " + std::string(name) + " failed");
        EXPECT_EQ(machine.modules.references(path), 0) << name;
    }
    EXPECT_TRUE(vdec.calls.empty());
}

TEST_F(VdecLoad, MissingLibraryOrFailingInitIsALoadFailure) {
    EXPECT_FALSE(telemetry::open_vdec(L"C:\\elsewhere"));
    EXPECT_EQ(machine.modules.loads.back(), L"C:\\elsewhere\\vdec.dll");

    machine.modules.add_library(path, vdec.exports());
    vdec.faults().fail("Init", 1, 1);
    try {
        (void)telemetry::LoadVdec(folder);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "LoadVdec failed");
    }
    EXPECT_EQ(vdec.calls, strings{"Init"});  // unloaded without "Uninit"
    EXPECT_EQ(machine.modules.references(path), 0);
}

// The option calls and the locale are shown with the whole event (m_agent_repaired_test.cpp).
TEST_F(VdecLoad, FactoryToleratesFailingOptionsAndUninitialisesLast) {
    machine.modules.add_library(L"vdec.dll", vdec.exports());
    fakes::fake_log_library log{machine.modules};
    logging::scopped_log_init logging_on;
    vdec.faults().fail("SetOptionA", 1, static_cast<std::uint32_t>(-6));
    vdec.faults().fail("SetOptionVarLenA", 1, static_cast<std::uint32_t>(-1));
    { telemetry::vdec_factory factory(L"", "wardex_app", "en_US", "1.2.3"); }
    EXPECT_EQ(machine.modules.loads.back(), L"vdec.dll");
    EXPECT_EQ(vdec.calls.back(), "Uninit");
    EXPECT_EQ(machine.modules.references(L"vdec.dll"), 0);
    EXPECT_TRUE(
        log.contains(8, L"vdec_factory::init", L"failed set_option submit_use_vdnc_cloud err=-6"));
    EXPECT_TRUE(log.contains(8, L"vdec_factory::init", L"failed set_option app_name err=-1"));
}

}  // namespace
