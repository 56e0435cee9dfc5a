// The event client binding against the lab's "vdec.dll" under the real module facility: every
// argument reaches the library as it expects, and a library that fails "Init" or lacks one export
// is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "telemetry/vdec.h"
#include "win/support.h"

namespace {

namespace fs = std::filesystem;

class VdecWin : public ::testing::Test {
protected:
    // A fresh folder holding the stand-in built as `variant`, told to behave as `behaviour`.
    void use(const std::string& variant, const char* behaviour = "") {
        const fs::path dll = wintest::built("lab/vdec/" + variant + "/vdec.dll");
        ASSERT_FALSE(dll.empty());
        folder.reset();
        folder.emplace("vdec-test");
        fs::copy_file(dll, *folder / "vdec.dll");
        std::ofstream(*folder / "vdec-behaviour.txt") << behaviour;
    }
    std::string calls() const { return wintest::read_all(*folder / "vdec-calls.txt"); }
    std::wstring path() const { return folder->path().wstring(); }

    std::optional<wintest::temp_folder> folder;
};

TEST_F(VdecWin, EventReachesTheLibraryWithEveryArgument) {
    use("");
    {
        telemetry::vdec_factory factory(path(), "wardex", "en_US", "1.0.0");
        const auto& api = factory.api();
        ASSERT_TRUE(api.overwrite_reserved_key("vd_locale", factory.locale()));
        telemetry::vdec_event event(api, create_event(api, "m_test", "1.0", "wardex"));
        EXPECT_TRUE(event.add(L"wide", L"caf\u00e9"));
        EXPECT_TRUE(event.add("narrow", std::string("x86")));
        EXPECT_TRUE(event.add(L"big", std::int64_t{-0x100000002}));
        ASSERT_TRUE(event.text());  // its text is in the calls below
        EXPECT_TRUE(event.submit());
    }
    const std::string descriptor_size = std::to_string(sizeof(telemetry::event_descriptor));
    EXPECT_EQ(
        calls(),
        "call\tInit\ncall\tSetOptionA\t0\t3\t1\t0\ncall\tSetOptionVarLenA\t0\t8\twardex\t6\n"
        "call\tOverWriteReservedKeyStringA\tvd_locale\ten-US\n"
        "call\tCreateEcEventA\t" +
            descriptor_size +
            "\tm_test\t1.0\twardex\n"
            "call\tAddKeyValueEventW\t#1\twide\tcaf\xC3\xA9\n"
            "call\tAddKeyValueEventA\t#1\tnarrow\tx86\n"
            "call\tAddKeyValueEventI\t#1\tbig\t-4294967298\n"
            "call\tGetEventTextA\t#1\ncall\tFreeEventTextA\ncall\tSubmitEvent\t#1\t16\t0\n"
            "event\tm_test\t1.0\twardex\nreserved\tvd_locale\ten-US\n"
            "field\tW\twide\tcaf\xC3\xA9\nfield\tA\tnarrow\tx86\nfield\tI\tbig\t-4294967298\nend\n"
            "call\tDestroyEvent\t#1\ncall\tUninit\n");
}

TEST_F(VdecWin, FailingInitAndMissingExportAreRefused) {
    use("", "init 1\n");
    EXPECT_THROW((void)telemetry::LoadVdec(path()), std::runtime_error);
    EXPECT_EQ(calls(), "call\tInit\n");

    use("incomplete");
    const auto api = telemetry::open_vdec(path());
    ASSERT_FALSE(api);
    EXPECT_EQ(api.error().text, "GetProcAddress UnregisterCallbackA failed");
    EXPECT_EQ(calls(), "");
}

}  // namespace
