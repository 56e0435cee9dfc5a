// The event client binding against the lab's "vdec.dll" under the real module facility: the
// library is loaded from a folder, every argument reaches it as it expects, and a library that
// lacks one export is refused before anything of it is called.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "telemetry/vdec.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class VdecWin : public ::testing::Test {
protected:
    // A fresh folder holding the stand-in (or its variant) as "vdec.dll".
    fs::path lab_folder(const char* variant, const std::string& behaviour = {}) {
        const char* build = std::getenv("WARDEX_BUILD_DIR");
        if (build == nullptr) {
            return {};
        }
        const fs::path source =
            fs::path(std::string("Z:") + build) / "lab" / "vdec" / variant / "vdec.dll";
        const fs::path folder = fs::temp_directory_path() / "wardex-vdec-test";
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy_file(source, folder / "vdec.dll");
        if (!behaviour.empty()) {
            std::ofstream(folder / "vdec-behaviour.txt") << behaviour;
        }
        return folder;
    }
    void TearDown() override { fs::remove_all(fs::temp_directory_path() / "wardex-vdec-test"); }
};

TEST_F(VdecWin, EventReachesTheLibraryWithEveryArgument) {
    const fs::path folder = lab_folder("");
    if (folder.empty()) {
        GTEST_SKIP() << "WARDEX_BUILD_DIR not set";
    }
    {
        telemetry::vdec_factory factory(folder.wstring(), "wardex", "en_US", "1.0.0");
        const auto& api = factory.api();
        ASSERT_TRUE(api.overwrite_reserved_key("vd_locale", factory.locale()));
        telemetry::vdec_event event(api, create_event(api, "m_test", "1.0", "wardex"));
        ASSERT_NE(event.handle(), 0u);
        EXPECT_TRUE(event.add(L"wide", L"caf\u00e9"));
        EXPECT_TRUE(event.add("narrow", std::string("x86")));
        EXPECT_TRUE(event.add(L"big", std::int64_t{0x100000002}));
        EXPECT_TRUE(event.add(L"negative", std::int64_t{-2}));
        {
            auto text = event.text();
            ASSERT_TRUE(text);
            EXPECT_EQ(text->text(),
                      "{\"name\":\"m_test\",\"version\":\"1.0\",\"application\":\"wardex\","
                      "\"vd_locale\":\"en-US\",\"wide\":\"caf\xC3\xA9\",\"narrow\":\"x86\","
                      "\"big\":4294967298,\"negative\":-2}");
        }
        EXPECT_TRUE(event.submit());
    }
    const std::string d = std::to_string(sizeof(telemetry::event_descriptor));
    EXPECT_EQ(read_file(folder / "vdec-calls.txt"),
              "call\tInit\n"
              "call\tSetOptionA\t0\t3\t1\t0\n"
              "call\tSetOptionVarLenA\t0\t8\twardex\t6\n"
              "call\tOverWriteReservedKeyStringA\tvd_locale\ten-US\n"
              "call\tCreateEcEventA\t" +
                  d +
                  "\tm_test\t1.0\twardex\n"
                  "call\tAddKeyValueEventW\t#1\twide\tcaf\xC3\xA9\n"
                  "call\tAddKeyValueEventA\t#1\tnarrow\tx86\n"
                  "call\tAddKeyValueEventI\t#1\tbig\t4294967298\n"
                  "call\tAddKeyValueEventI\t#1\tnegative\t-2\n"
                  "call\tGetEventTextA\t#1\n"
                  "call\tFreeEventTextA\n"
                  "call\tSubmitEvent\t#1\t16\t0\n"
                  "event\tm_test\t1.0\twardex\n"
                  "reserved\tvd_locale\ten-US\n"
                  "field\tW\twide\tcaf\xC3\xA9\n"
                  "field\tA\tnarrow\tx86\n"
                  "field\tI\tbig\t4294967298\n"
                  "field\tI\tnegative\t-2\n"
                  "end\n"
                  "call\tDestroyEvent\t#1\n"
                  "call\tUninit\n");
}

TEST_F(VdecWin, FailingInitAndMissingExportAreRefused) {
    fs::path folder = lab_folder("", "init 1\n");
    if (folder.empty()) {
        GTEST_SKIP() << "WARDEX_BUILD_DIR not set";
    }
    EXPECT_THROW(telemetry::LoadVdec(folder.wstring()), std::runtime_error);
    EXPECT_EQ(read_file(folder / "vdec-calls.txt"), "call\tInit\n");

    folder = lab_folder("incomplete");
    const auto api = telemetry::open_vdec(folder.wstring());
    ASSERT_FALSE(api);
    EXPECT_EQ(api.error().text, "GetProcAddress UnregisterCallbackA failed");
    EXPECT_FALSE(fs::exists(folder / "vdec-calls.txt"));
}

}  // namespace
