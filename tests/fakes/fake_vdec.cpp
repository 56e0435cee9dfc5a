#include "fakes/fake_vdec.h"

#include <algorithm>
#include <cstring>

#include "stdext/utf.h"

namespace fakes {
namespace {

using telemetry::vdec_handle;
using telemetry::vdec_status;

fake_vdec* instance = nullptr;

std::string narrow(const wchar_t* text) {
    return text == nullptr ? "<null>" : stdext::wide_to_utf8(text);
}

template <class... Args>
void record(const char* name, const Args&... args) {
    std::string line = name;
    ((line += ' ', line += args), ...);
    fake_vdec::current().calls.push_back(line);
}

std::int32_t fake_init() {
    record("Init");
    return fake_vdec::current().status("Init");
}
void fake_uninit() {
    record("Uninit");
}
vdec_status fake_set_option(std::uint32_t scope, std::uint32_t option, std::uint32_t value,
                            std::uint32_t reserved) {
    record("SetOptionA", std::to_string(scope), std::to_string(option), std::to_string(value),
           std::to_string(reserved));
    return fake_vdec::current().status("SetOptionA");
}
vdec_status fake_set_option_var_len(std::uint32_t scope, std::uint32_t option, const void* bytes,
                                    std::uint32_t size) {
    record("SetOptionVarLenA", std::to_string(scope), std::to_string(option),
           std::string(static_cast<const char*>(bytes), size), std::to_string(size));
    return fake_vdec::current().status("SetOptionVarLenA");
}
vdec_status fake_reserved_key(const char* key, const char* value) {
    record("OverWriteReservedKeyStringA", key, value);
    auto& fake = fake_vdec::current();
    if (auto it = fake.key_status.find(key); it != fake.key_status.end()) {
        return it->second;
    }
    fake.reserved[key] = value;
    return fake.status("OverWriteReservedKeyStringA");
}
vdec_handle fake_create_event(const telemetry::event_descriptor* d) {
    record("CreateEcEventA", d->name);
    auto& fake = fake_vdec::current();
    if (fake.status("CreateEcEventA") != 0) {
        return 0;
    }
    const vdec_handle handle = fake.handles.open("event");
    fake.event_index[handle] = fake.events.size();
    fake.events.push_back({d->size, d->name, d->version, d->application, {}, false});
    return handle;
}
vdec_status add_field(vdec_handle handle, const std::string& key, char kind, std::string value) {
    auto& fake = fake_vdec::current();
    record((std::string("AddKeyValueEvent") + kind).c_str(), key);
    if (auto it = fake.key_status.find(key); it != fake.key_status.end()) {
        return it->second;
    }
    fake.by_handle(handle).fields.push_back({key, kind, std::move(value)});
    return 0;
}
vdec_status fake_add_wide(vdec_handle handle, const wchar_t* key, const wchar_t* value) {
    return add_field(handle, narrow(key), 'W', narrow(value));
}
vdec_status fake_add_narrow(vdec_handle handle, const char* key, const char* value) {
    return add_field(handle, key, 'A', value);
}
vdec_status fake_add_int64(vdec_handle handle, const wchar_t* key, std::int64_t value) {
    return add_field(handle, narrow(key), 'I', std::to_string(value));
}
vdec_status fake_get_text(vdec_handle handle, char** text) {
    record("GetEventTextA");
    auto& fake = fake_vdec::current();
    fake.by_handle(handle);
    if (const vdec_status s = fake.status("GetEventTextA"); s != 0) {
        return s;
    }
    *text = new char[fake.event_text.size() + 1];
    std::memcpy(*text, fake.event_text.c_str(), fake.event_text.size() + 1);
    fake.text_addresses.push_back(*text);
    return 0;
}
vdec_status fake_free_text(char* text) {
    record("FreeEventTextA");
    auto& fake = fake_vdec::current();
    auto it = std::find(fake.text_addresses.begin(), fake.text_addresses.end(), text);
    if (it == fake.text_addresses.end()) {
        ADD_FAILURE() << "FreeEventTextA of a text that is not out";
        return -1;
    }
    fake.text_addresses.erase(it);
    delete[] text;
    return 0;
}
vdec_status fake_submit(vdec_handle handle, std::uint32_t flags, std::uint32_t reserved) {
    record("SubmitEvent", std::to_string(flags), std::to_string(reserved));
    auto& fake = fake_vdec::current();
    auto& e = fake.by_handle(handle);
    const vdec_status s = fake.status("SubmitEvent");
    e.submitted = s == 0;
    return s;
}
vdec_status fake_destroy(vdec_handle handle) {
    record("DestroyEvent");
    return fake_vdec::current().handles.close(handle) ? 0 : -1;
}
void fake_unused() {
    ADD_FAILURE() << "an export the program never calls was called";
}

}  // namespace

fake_vdec::fake_vdec() {
    instance = this;
}

fake_vdec::~fake_vdec() {
    EXPECT_TRUE(text_addresses.empty()) << "a text of GetEventTextA was never freed";
    for (char* text : text_addresses) {
        delete[] text;
    }
    instance = nullptr;
}

fake_vdec& fake_vdec::current() {
    return *instance;
}

vdec_status fake_vdec::status(const char* operation) {
    auto failure = check(operation);
    return failure ? static_cast<vdec_status>(failure->code.value()) : 0;
}

fake_vdec::event& fake_vdec::by_handle(vdec_handle handle) {
    if (!handles.is_open(handle)) {
        ADD_FAILURE() << "call with an event that is not open: " << handle;
    }
    static event none;
    auto it = event_index.find(handle);
    return it == event_index.end() ? none : events[it->second];
}

telemetry::vdec_functions fake_vdec::functions() const {
    return {fake_init,         fake_uninit,       fake_set_option, fake_set_option_var_len,
            fake_reserved_key, fake_create_event, fake_add_wide,   fake_add_narrow,
            fake_add_int64,    fake_get_text,     fake_free_text,  fake_submit,
            fake_destroy};
}

std::map<std::string, void*> fake_vdec::exports() const {
    const auto f = functions();
    std::map<std::string, void*> all;
    for (auto name : telemetry::vdec_export_names) {
        all[std::string(name)] = reinterpret_cast<void*>(&fake_unused);
    }
    all["Init"] = reinterpret_cast<void*>(f.init);
    all["Uninit"] = reinterpret_cast<void*>(f.uninit);
    all["SetOptionA"] = reinterpret_cast<void*>(f.set_option);
    all["SetOptionVarLenA"] = reinterpret_cast<void*>(f.set_option_var_len);
    all["OverWriteReservedKeyStringA"] = reinterpret_cast<void*>(f.overwrite_reserved_key_string);
    all["CreateEcEventA"] = reinterpret_cast<void*>(f.create_event);
    all["AddKeyValueEventW"] = reinterpret_cast<void*>(f.add_wide);
    all["AddKeyValueEventA"] = reinterpret_cast<void*>(f.add_narrow);
    all["AddKeyValueEventInt64W"] = reinterpret_cast<void*>(f.add_int64);
    all["GetEventTextA"] = reinterpret_cast<void*>(f.get_event_text);
    all["FreeEventTextA"] = reinterpret_cast<void*>(f.free_event_text);
    all["SubmitEvent"] = reinterpret_cast<void*>(f.submit_event);
    all["DestroyEvent"] = reinterpret_cast<void*>(f.destroy_event);
    return all;
}

std::unique_ptr<telemetry::vdec_api> fake_vdec::api() const {
    return std::make_unique<telemetry::vdec_api>(telemetry::vdec_library{{}, functions()});
}

}  // namespace fakes
