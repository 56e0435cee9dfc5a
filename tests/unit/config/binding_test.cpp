#include <gtest/gtest.h>

#include "fakes/fake_config_library.h"
#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "logging/log.h"
#include "platform/config/exported_object.h"

namespace {

using namespace fakes::config_library;  // the library's state and exports, and cfg

class Binding : public fakes::machine_test {
protected:
    Binding() {
        lib = {};
        machine.modules.add_library(dll, exports);
    }
    // The load's error number, 0 when it succeeds; a failed load holds nothing.
    std::uint32_t load_error(const std::wstring& path) {
        const auto loaded = binding.load(path);
        EXPECT_EQ(machine.modules.references(dll), loaded ? 1 : 0);
        return loaded ? 0 : static_cast<std::uint32_t>(loaded.error().code.value());
    }

    const std::wstring dll = L"C:\\Program Files\\Valdrin\\Agent\\IServConfig.dll";
    cfg::product_config binding;
};

TEST_F(Binding, FailuresReleaseEverythingAndReportTheirError) {
    // Only an absolute path is retried with LoadLibraryEx and the altered search path.
    machine.faults.fail_always("load", 126);
    EXPECT_EQ(load_error(dll), 126u);
    EXPECT_EQ(load_error(L"IServConfig.dll"), 126u);
    EXPECT_EQ(machine.modules.loads,
              (decltype(machine.modules.loads){{dll, 0}, {dll, 8}, {L"IServConfig.dll", 0}}));
    machine.faults.clear();

    lib.create_result = 5;
    EXPECT_EQ(load_error(dll), 5u);
    lib.create_result = 0;
    lib.offer_interface = false;
    EXPECT_EQ(load_error(dll), 632u);
    EXPECT_EQ(lib.calls.back(), "destroy");
    machine.modules.add_library(dll, {{"VdCreateObject", exports.at("VdCreateObject")}});
    EXPECT_EQ(load_error(dll), 127u);  // no such procedure
}

TEST_F(Binding, ProductNameAndItsFallbacks) {
    fakes::fake_log_library log(machine.modules);
    const logging::scopped_log_init hold;
    machine.faults.fail("load", 2, 126);  // the first load is the log library's
    EXPECT_EQ(cfg::get_product_name(), L"Valdrin");
    EXPECT_TRUE(log.contains(logging::level_error, L"get_product_name",
                             L"failed load IServConfig.dll, err=126"));
    // No name, or an empty one, which would name the task " Agent Wardex_...".
    EXPECT_EQ(cfg::get_product_name(), L"Valdrin");
    lib.properties[0] = L"";
    EXPECT_EQ(cfg::get_product_name(), L"Valdrin");
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines().back().text, L"failed get SZ_PRODUCT_NAME");
    lib.properties[0] = L"Valdrin Agent Pro";
    lib.calls.clear();
    EXPECT_EQ(cfg::get_product_name(), L"Valdrin Agent Pro");
    EXPECT_EQ(lib.calls,
              (std::vector<std::string>{"create productinfo", "interface", "get 0,0", "destroy"}));
}

}  // namespace
