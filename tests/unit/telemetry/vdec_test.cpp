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
        EXPECT_STREQ(telemetry::vdec_error_text(status), name) << status;
        EXPECT_EQ(telemetry::make_vdec_error(status).message(), name) << status;
    }
}

class VdecLoad : public fakes::machine_test {
protected:
    const std::wstring folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
    const std::wstring path = folder + L"\\vdec.dll";
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
        EXPECT_EQ(api.error().code.value(), 127);
        EXPECT_TRUE(vdec.calls.empty()) << name;
        EXPECT_EQ(machine.modules.references(path), 0) << name;
        EXPECT_THROW(telemetry::LoadVdec(folder), std::runtime_error);
    }
}

TEST_F(VdecLoad, FailingInitUnloadsWithoutUninitAndMissingLibraryFails) {
    machine.modules.add_library(path, vdec.exports());
    vdec.faults().fail("Init", 1, 1);
    try {
        (void)telemetry::LoadVdec(folder);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "LoadVdec failed");
    }
    EXPECT_EQ(vdec.calls, strings{"Init"});
    EXPECT_EQ(machine.modules.references(path), 0);

    auto missing = telemetry::open_vdec(L"C:\\elsewhere");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text, "LoadLibrary failed");
    EXPECT_EQ(machine.modules.loads.back(), L"C:\\elsewhere\\vdec.dll");
}

TEST_F(VdecLoad, FactoryInitialisesOnceSetsOptionsInOrderAndUninitialisesLast) {
    machine.modules.add_library(L"vdec.dll", vdec.exports());
    fakes::fake_log_library log{machine.modules};
    logging::scopped_log_init logging_on;
    vdec.faults().fail("SetOptionA", 1, static_cast<std::uint32_t>(-6));
    vdec.faults().fail("SetOptionVarLenA", 1, static_cast<std::uint32_t>(-1));
    {
        telemetry::vdec_factory factory(L"", "wardex_app", "pt_BR_x", "1.2.3");
        EXPECT_EQ(machine.modules.loads.back(), L"vdec.dll");
        EXPECT_EQ(machine.modules.references(L"vdec.dll"), 1);
        EXPECT_EQ(factory.locale(), "pt-BR-x");
        EXPECT_EQ(factory.application(), "wardex_app");
        EXPECT_EQ(factory.version(), "1.2.3");
        EXPECT_EQ(vdec.calls,
                  (strings{"Init", "SetOptionA 0 3 1 0", "SetOptionVarLenA 0 8 wardex_app 10"}));
    }
    EXPECT_EQ(vdec.calls.back(), "Uninit");
    EXPECT_EQ(machine.modules.references(L"vdec.dll"), 0);
    EXPECT_TRUE(
        log.contains(8, L"vdec_factory::init", L"failed set_option submit_use_vdnc_cloud err=-6"));
    EXPECT_TRUE(log.contains(8, L"vdec_factory::init", L"failed set_option app_name err=-1"));
}

TEST(VdecEvent, CarriesTheDescriptorAndFieldsInOrderWithTheirKinds) {
    fakes::fake_vdec vdec;
    telemetry::vdec_factory factory(vdec.api(), "app", "en_US", "1");
    const auto& api = factory.api();
    {
        telemetry::vdec_event event(api, telemetry::create_event(api, "m_event", "1.0", "app"));
        ASSERT_NE(event.handle(), 0u);
        EXPECT_TRUE(event.add(L"wide", L"w\u00e9"));
        EXPECT_TRUE(event.add("narrow", std::string("n")));
        EXPECT_TRUE(event.add(L"big", std::int64_t{0x100000002}));
        EXPECT_TRUE(event.add(L"negative", std::int64_t{-3}));
        EXPECT_TRUE(api.overwrite_reserved_key("vd_locale", factory.locale()));
        {
            auto text = event.text();
            ASSERT_TRUE(text);
            EXPECT_EQ(text->text(), vdec.event_text);
        }
        EXPECT_EQ(vdec.calls.back(), "FreeEventTextA");
        EXPECT_TRUE(event.submit());
        EXPECT_EQ(vdec.calls.back(), "SubmitEvent 16 0");
    }
    EXPECT_EQ(vdec.calls.back(), "DestroyEvent");
    ASSERT_EQ(vdec.events.size(), 1u);
    const auto& e = vdec.events[0];
    EXPECT_EQ(e.descriptor_size, sizeof(void*) * 4);
    EXPECT_EQ(e.name, "m_event");
    EXPECT_EQ(e.version, "1.0");
    EXPECT_EQ(e.application, "app");
    EXPECT_TRUE(e.submitted);
    const std::vector<fakes::fake_vdec::field> fields = {{"wide", 'W', "w\xC3\xA9"},
                                                         {"narrow", 'A', "n"},
                                                         {"big", 'I', "4294967298"},
                                                         {"negative", 'I', "-3"}};
    EXPECT_EQ(e.fields, fields);
    EXPECT_EQ(vdec.reserved["vd_locale"], "en-US");
}

TEST(VdecEvent, FailuresCarryTheStatusAndNameTheCall) {
    fakes::fake_vdec vdec;
    auto api = vdec.api();
    vdec.faults().fail("CreateEcEventA", 1);
    EXPECT_EQ(telemetry::create_event(*api, "e", "1", "a"), 0u);

    telemetry::vdec_event event(*api, telemetry::create_event(*api, "e", "1", "a"));
    vdec.key_status["k"] = -3;
    vdec.faults().fail("GetEventTextA", 1, static_cast<std::uint32_t>(-7));
    vdec.faults().fail("SubmitEvent", 1, static_cast<std::uint32_t>(-5));
    const auto add = event.add(L"k", std::wstring(L"v"));
    ASSERT_FALSE(add);
    EXPECT_EQ(add.error().code, telemetry::make_vdec_error(-3));
    EXPECT_EQ(add.error().text, "AddKeyValueEventW");
    const auto text = event.text();
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().code.message(), "VDEC_ERROR_CREATE_JSON");
    const auto submit = event.submit();
    ASSERT_FALSE(submit);
    EXPECT_EQ(submit.error().code.message(), "VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT");
    EXPECT_FALSE(vdec.events.back().submitted);
}

}  // namespace
