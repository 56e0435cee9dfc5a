#include "fakes/fake_log_library.h"

namespace fakes {

fake_log_library*& fake_log_library::current() {
    static fake_log_library* instance = nullptr;
    return instance;
}

int fake_log_library::note(const std::string& call) {
    const std::lock_guard lock(current()->mutex_);
    current()->lifecycle_.push_back(call);
    return 0;
}

int fake_log_library::write(std::int32_t kind, const std::int32_t* level, winapi::hmodule module,
                            const wchar_t* function, const wchar_t* format, va_list args) {
    std::wstring text;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (p[0] == L'%' && (p[1] == L's' || p[1] == L'd')) {
            text +=
                *++p == L's' ? va_arg(args, const wchar_t*) : std::to_wstring(va_arg(args, int));
        } else {
            text += *p;
        }
    }
    const std::lock_guard lock(current()->mutex_);
    current()->lines_.push_back(
        {kind, static_cast<logging::log_level>(*level), module, function, format, text});
    return 0;
}

}  // namespace fakes
