#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "logging/log.h"
#include "platform/config/exported_object.h"

namespace {

using platform::config::guid;
using platform::config::IServConfig;
using platform::config::vd_object;

// A library in the test process: one object that can refuse the interface.
struct fake_library_state {
    std::int32_t create_result = 0;
    bool offer_interface = true;
    std::map<std::int32_t, std::wstring> properties;
    std::vector<std::string> calls;
    std::string created_name;
    guid created_class{};
    guid asked_interface{};
};
fake_library_state* state = nullptr;

class fake_product_info final : public vd_object, public IServConfig {
public:
    void* get_interface(guid id) override {
        state->asked_interface = id;
        return state->offer_interface ? static_cast<IServConfig*>(this) : nullptr;
    }
    std::int32_t reserved_1() override { return 1; }
    std::int32_t reserved_2() override { return 2; }
    std::int32_t reserved_3() override { return 3; }
    std::int32_t reserved_4() override { return 4; }
    std::int32_t reserved_5() override { return 5; }
    std::int32_t reserved_6() override { return 6; }
    const wchar_t* get_string_property(std::int32_t id, std::int32_t flags) override {
        state->calls.push_back("get " + std::to_string(id) + "," + std::to_string(flags));
        auto it = state->properties.find(id);
        return it == state->properties.end() ? nullptr : it->second.c_str();
    }
};

std::int32_t create_object(const char* name, guid class_id, vd_object** out) {
    state->calls.push_back("create");
    state->created_name = name;
    state->created_class = class_id;
    if (state->create_result == 0) {
        *out = new fake_product_info;
    }
    return state->create_result;
}

void destroy_object(vd_object* object) {
    state->calls.push_back("destroy");
    delete static_cast<fake_product_info*>(object);
}

class Binding : public ::testing::Test {
protected:
    Binding() { state = &lib; }
    ~Binding() override { state = nullptr; }

    void add_library(const std::wstring& path, bool with_destroy = true) {
        std::map<std::string, void*> exports{
            {"VdCreateObject", reinterpret_cast<void*>(&create_object)}};
        if (with_destroy) {
            exports["VdDestroyObject"] = reinterpret_cast<void*>(&destroy_object);
        }
        mods.add_library(path, exports);
    }

    fake_library_state lib;
    fakes::fake_modules mods;
    winapi::scoped_facility<winapi::modules> use{mods};
    const std::wstring dll = L"C:\\Program Files\\Valdrin\\Agent\\IServConfig.dll";
};

TEST_F(Binding, CreatesProductInfoAndReadsProperties) {
    add_library(dll);
    lib.properties[0] = L"Valdrin Agent";
    {
        platform::config::product_config binding;
        ASSERT_EQ(binding.load(dll), 0u);
        EXPECT_EQ(lib.created_name, "productinfo");
        EXPECT_EQ(lib.created_class, IServConfig::class_id);
        EXPECT_EQ(lib.asked_interface, IServConfig::interface_id);
        EXPECT_EQ(mods.references(dll), 1);
        EXPECT_STREQ(platform::config::get_string_property(binding, 0), L"Valdrin Agent");
        EXPECT_EQ(platform::config::get_string_property(binding, 755), nullptr);
    }
    // Released on destruction: the object first, then the library.
    EXPECT_EQ(lib.calls, (std::vector<std::string>{"create", "get 0,0", "get 755,0", "destroy"}));
    EXPECT_EQ(mods.references(dll), 0);
}

TEST_F(Binding, AbsolutePathFallsBackToAlteredSearchPath) {
    // The plain load fails for any path; only LoadLibraryEx with the flag is tried after it.
    mods.fail_load = 126;
    platform::config::product_config binding;
    EXPECT_EQ(binding.load(dll), 126u);
    EXPECT_EQ(mods.load_flags, (std::vector<std::uint32_t>{0, 8}));

    mods.load_flags.clear();
    EXPECT_EQ(binding.load(L"IServConfig.dll"), 126u);
    EXPECT_EQ(mods.load_flags, (std::vector<std::uint32_t>{0}));
    mods.fail_load = 0;  // a failed load with no error of its own
    EXPECT_EQ(binding.load(dll), 632u);
}

TEST_F(Binding, FailuresReleaseEverything) {
    add_library(dll);
    platform::config::product_config binding;
    lib.create_result = 5;
    EXPECT_EQ(binding.load(dll), 5u);
    EXPECT_FALSE(binding.loaded());
    EXPECT_EQ(mods.references(dll), 0);

    lib.create_result = 0;
    lib.offer_interface = false;
    lib.calls.clear();
    EXPECT_EQ(binding.load(dll), 632u);
    EXPECT_EQ(lib.calls, (std::vector<std::string>{"create", "destroy"}));
    EXPECT_EQ(mods.references(dll), 0);
    EXPECT_EQ(platform::config::get_string_property(binding, 0), nullptr);

    const std::wstring other = L"C:\\x\\NoDestroy.dll";
    add_library(other, false);
    EXPECT_EQ(binding.load(other), platform::config::error_proc_not_found);
    EXPECT_EQ(mods.references(other), 0);
}

TEST_F(Binding, ProductNameAndItsFallbacks) {
    fakes::fake_log_library log(mods);
    const logging::scopped_log_init hold;
    EXPECT_EQ(platform::config::get_product_name(), L"Valdrin");  // no library
    EXPECT_TRUE(log.contains(4, L"get_product_name", L"failed load IServConfig.dll, err=126"));
    add_library(dll);
    EXPECT_EQ(platform::config::get_product_name(), L"Valdrin");  // no name in it
    EXPECT_TRUE(log.contains(4, L"get_product_name", L"failed get SZ_PRODUCT_NAME"));
    // An empty name would make the task " Agent Wardex_...", with no author.
    lib.properties[0] = L"";
    const auto logged = log.lines().size();
    EXPECT_EQ(platform::config::get_product_name(), L"Valdrin");
    ASSERT_EQ(log.lines().size(), logged + 1);
    EXPECT_EQ(log.lines().back().text, L"failed get SZ_PRODUCT_NAME");
    lib.properties[0] = L"Valdrin Agent Pro";
    EXPECT_EQ(platform::config::get_product_name(), L"Valdrin Agent Pro");
    EXPECT_EQ(mods.references(dll), 0);
}

}  // namespace
