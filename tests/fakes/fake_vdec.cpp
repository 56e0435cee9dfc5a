#include "fakes/fake_vdec.h"

#include "stdext/utf.h"

namespace fakes {
namespace {

using telemetry::vdec_handle;
using telemetry::vdec_status;

fake_vdec* instance = nullptr;

template <class... Args>
fake_vdec& record(const char* name, const Args&... args) {
    std::string line = name;
    ((line += ' ', line += args), ...);
    fake_vdec::current().calls.push_back(line);
    return fake_vdec::current();
}

vdec_status add(const char* call, vdec_handle event, const std::string& key, const std::string& v) {
    auto& fake = record(call, key + "=" + v);
    EXPECT_TRUE(fake.events.is_open(event)) << call << " on a closed event";
    return fake.status(call, key);
}

std::int32_t init() {
    return record("Init").status("Init");
}
void uninit() {
    record("Uninit");
}
vdec_status set_option(std::uint32_t scope, std::uint32_t option, std::uint32_t value,
                       std::uint32_t reserved) {
    return record("SetOptionA", std::to_string(scope), std::to_string(option),
                  std::to_string(value), std::to_string(reserved))
        .status("SetOptionA");
}
vdec_status set_option_var_len(std::uint32_t scope, std::uint32_t option, const void* bytes,
                               std::uint32_t size) {
    return record("SetOptionVarLenA", std::to_string(scope), std::to_string(option),
                  std::string(static_cast<const char*>(bytes), size), std::to_string(size))
        .status("SetOptionVarLenA");
}
vdec_status reserved_key(const char* key, const char* value) {
    return record("OverWriteReservedKeyStringA", std::string(key) + "=" + value)
        .status("OverWriteReservedKeyStringA", key);
}
vdec_handle create(const telemetry::event_descriptor* d) {
    auto& fake = record("CreateEcEventA", d->name, d->version, d->application);
    EXPECT_EQ(d->size, sizeof(telemetry::event_descriptor));
    return fake.status("CreateEcEventA") == 0 ? fake.events.open("event") : 0;
}
vdec_status add_wide(vdec_handle event, const wchar_t* key, const wchar_t* value) {
    return add("AddKeyValueEventW", event, stdext::wide_to_utf8(key), stdext::wide_to_utf8(value));
}
vdec_status add_narrow(vdec_handle event, const char* key, const char* value) {
    return add("AddKeyValueEventA", event, key, value);
}
vdec_status add_int64(vdec_handle event, const wchar_t* key, std::int64_t value) {
    return add("AddKeyValueEventInt64W", event, stdext::wide_to_utf8(key), std::to_string(value));
}
vdec_status get_text(vdec_handle, char** text) {
    auto& fake = record("GetEventTextA");
    const vdec_status s = fake.status("GetEventTextA");
    if (s == 0) {
        *text = fake.text.data();
        ++fake.texts_out;
    }
    return s;
}
vdec_status free_text(char* text) {
    auto& fake = record("FreeEventTextA");
    EXPECT_EQ(text, fake.text.data());
    --fake.texts_out;
    return 0;
}
vdec_status submit(vdec_handle, std::uint32_t flags, std::uint32_t reserved) {
    return record("SubmitEvent", std::to_string(flags), std::to_string(reserved))
        .status("SubmitEvent");
}
vdec_status destroy(vdec_handle event) {
    return record("DestroyEvent").events.close(event) ? 0 : -1;
}
void never_called() {
    ADD_FAILURE() << "an export the program never calls was called";
}

}  // namespace

fake_vdec::fake_vdec() {
    instance = this;
}

fake_vdec::~fake_vdec() {
    EXPECT_EQ(texts_out, 0) << "texts of GetEventTextA were not freed";
    instance = nullptr;
}

fake_vdec& fake_vdec::current() {
    return *instance;
}

vdec_status fake_vdec::status(const std::string& operation, const std::string& key) {
    const auto failure = check(operation);
    if (auto it = key_status.find(key); !key.empty() && it != key_status.end()) {
        return it->second;
    }
    return failure ? static_cast<vdec_status>(failure->code.value()) : 0;
}

telemetry::vdec_functions fake_vdec::functions() const {
    return {init,       uninit,    set_option, set_option_var_len, reserved_key, create, add_wide,
            add_narrow, add_int64, get_text,   free_text,          submit,       destroy};
}

std::map<std::string, void*> fake_vdec::exports() const {
    const auto f = functions();
    std::map<std::string, void*> all;
    for (auto name : telemetry::vdec_export_names) {
        all[std::string(name)] = reinterpret_cast<void*>(&never_called);
    }
    const std::pair<const char*, void*> called[] = {
        {"Init", reinterpret_cast<void*>(f.init)},
        {"Uninit", reinterpret_cast<void*>(f.uninit)},
        {"SetOptionA", reinterpret_cast<void*>(f.set_option)},
        {"SetOptionVarLenA", reinterpret_cast<void*>(f.set_option_var_len)},
        {"OverWriteReservedKeyStringA", reinterpret_cast<void*>(f.overwrite_reserved_key_string)},
        {"CreateEcEventA", reinterpret_cast<void*>(f.create_event)},
        {"AddKeyValueEventW", reinterpret_cast<void*>(f.add_wide)},
        {"AddKeyValueEventA", reinterpret_cast<void*>(f.add_narrow)},
        {"AddKeyValueEventInt64W", reinterpret_cast<void*>(f.add_int64)},
        {"GetEventTextA", reinterpret_cast<void*>(f.get_event_text)},
        {"FreeEventTextA", reinterpret_cast<void*>(f.free_event_text)},
        {"SubmitEvent", reinterpret_cast<void*>(f.submit_event)},
        {"DestroyEvent", reinterpret_cast<void*>(f.destroy_event)},
    };
    for (const auto& [name, address] : called) {
        all.at(name) = address;
    }
    return all;
}

std::unique_ptr<telemetry::vdec_api> fake_vdec::api() const {
    return std::make_unique<telemetry::vdec_api>(telemetry::vdec_library{{}, functions()});
}

}  // namespace fakes
