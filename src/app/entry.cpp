#include "app/entry.h"

#include <exception>
#include <sstream>
#include <system_error>

#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/raise.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/modules.h"
#include "winapi/process_context.h"
#include "winapi/registry.h"

namespace app {
namespace {

constexpr std::uint32_t max_path_capacity = 261;
constexpr const wchar_t* entry_name = L"wWinMain";
constexpr int property_install_subfolder = 2;

// Each holder below owns one thing acquired during start-up. They are declared in the order of
// acquisition, so leaving the sequence at any step releases exactly what was acquired so far,
// in reverse order.

class protection_holder {
public:
    explicit protection_holder(startup_parts& parts)
        : parts_(parts), running_(parts.start_protection()) {}
    ~protection_holder() { parts_.stop_protection(); }
    protection_holder(const protection_holder&) = delete;
    protection_holder& operator=(const protection_holder&) = delete;
    bool running() const { return running_; }

private:
    startup_parts& parts_;
    bool running_;
};

class logging_holder {
public:
    explicit logging_holder(startup_parts& parts) : parts_(parts) {
        parts_.start_logging();
        parts_.log(logging::level_trace, L"scopped_log_init::scopped_log_init", L"ScoppedLogInit");
    }
    ~logging_holder() {
        parts_.log(logging::level_trace, L"scopped_log_init::~scopped_log_init",
                   L"~ScoppedLogInit");
        parts_.stop_logging();
    }
    logging_holder(const logging_holder&) = delete;
    logging_holder& operator=(const logging_holder&) = delete;

private:
    startup_parts& parts_;
};

class configuration_holder {
public:
    configuration_holder(startup_parts& parts, const std::wstring& library_path)
        : parts_(parts), bound_(parts.bind_configuration(library_path)) {}
    ~configuration_holder() {
        if (bound_) {
            parts_.release_configuration();
        }
    }
    configuration_holder(const configuration_holder&) = delete;
    configuration_holder& operator=(const configuration_holder&) = delete;
    bool bound() const { return bound_.has_value(); }

private:
    startup_parts& parts_;
    stdext::expected<void> bound_;
};

// A product library is accepted when Windows trusts its signature and its signer is the
// program's own signer (same subject name).
bool signed_by(startup_parts& parts, const std::wstring& path, const std::wstring& signer) {
    const auto trusted = parts.verify_signature(path);
    if (!trusted || !*trusted) {
        return false;
    }
    const auto subject = parts.signer_subject(path);
    return subject && *subject == signer;
}

stdext::expected<winapi::unique_module> load_library(const std::wstring& path) {
    return winapi::facility<winapi::modules>::get().load(path, 0);
}

// Makes the folder of the running program the current directory, so that the program's relative
// paths resolve against its installation folder. The name is read into a buffer of MAX_PATH + 1
// characters. False when the name does not fit or the folder cannot be entered: the current
// directory is then still the caller's, and the run must not go on there, where its state file,
// settings and listing would be someone else's.
bool enter_module_folder() {
    auto& mods = winapi::facility<winapi::modules>::get();
    const auto path = mods.file_name(mods.self(), max_path_capacity);
    if (!path) {
        return false;
    }
    return winapi::facility<winapi::file_system>::get()
        .set_current_directory(stdext::path::with_trailing_separator(stdext::path::parent(*path)))
        .has_value();
}

// The "Program Files" folder of the machine's native architecture.
stdext::expected<std::wstring> program_files_folder() {
    const bool x86 =
        winapi::facility<winapi::process_context>::get().native_processor_architecture() ==
        winapi::processor_architecture_intel;
    return winapi::facility<winapi::registry>::get().get_string(
        winapi::hkey_local_machine, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
        x86 ? L"ProgramFilesDir" : L"ProgramW6432Dir");
}

// True when folder, or its parent folder, is the same file-system object as target.
bool is_folder_or_child_of(const std::wstring& folder, const std::wstring& target) {
    auto& files = winapi::facility<winapi::file_identity>::get();
    const auto wanted = files.identify(target);
    if (!wanted) {
        return false;
    }
    if (const auto id = files.identify(folder); id && *id == *wanted) {
        return true;
    }
    const std::wstring parent = stdext::path::parent(folder);
    if (parent.empty()) {
        return false;
    }
    const auto id = files.identify(parent);
    return id && *id == *wanted;
}

void run_command(startup_parts& parts, const command_table& commands) {
    // Failure texts carry the system's messages in the ANSI code page: they are widened the way
    // every log message widens narrow text, character by character.
    const auto log_failure = [&parts](const char* text) {
        std::wostringstream what;
        what << text;
        parts.log(logging::level_error, entry_name, what.str());
    };
    try {
        auto& process = winapi::facility<winapi::process_context>::get();
        const auto args = process.split_command_line(process.command_line());
        if (!args) {
            log_failure(
                stdext::failure_text({args.error().code, "CommandLineToArgvW failed"}).c_str());
            return;
        }
        dispatch(commands, *args);
    } catch (const std::exception& e) {
        log_failure(e.what());
    }
}

}  // namespace

int run_entry(startup_parts& parts, const command_table& commands) {
    if (!enter_module_folder()) {
        return 0;
    }
    const protection_holder protection(parts);

    // A failed membership test counts as not a member.
    if (!winapi::facility<winapi::process_context>::get().is_administrator().value_or(false)) {
        return 0;
    }
    const auto own_path = winapi::module_file_name(winapi::facility<winapi::modules>::get().self());
    if (!own_path) {
        return 0;
    }
    // The module path up to its last backslash, without a trailing backslash.
    const std::wstring folder(
        stdext::path::without_trailing_separator(stdext::path::split(*own_path).folder));
    if (folder.empty()) {
        return 0;
    }
    // An own signer without a name cannot vouch for anything.
    const auto own_signer = parts.signer_subject(*own_path);
    if (!own_signer || own_signer->empty()) {
        return 0;
    }
    const std::wstring& signer = *own_signer;

    const std::wstring log_path = stdext::path::join(folder, L"log.dll");
    if (!signed_by(parts, log_path, signer)) {
        return 0;
    }
    const auto log_library = load_library(log_path);
    if (!log_library) {
        return 0;
    }
    const logging_holder logging(parts);

    const std::wstring config_path = stdext::path::join(folder, L"iservconfig.dll");
    if (!signed_by(parts, config_path, signer)) {
        return 0;
    }
    const auto config_library = load_library(config_path);
    if (!config_library) {
        return 0;
    }
    const configuration_holder configuration(parts, config_path);
    if (!configuration.bound()) {
        return 0;
    }
    const wchar_t* product_folder = parts.configuration_string(property_install_subfolder);
    if (product_folder == nullptr || *product_folder == L'\0') {
        return 0;
    }
    const auto program_files = program_files_folder();
    if (!program_files ||
        !is_folder_or_child_of(folder, stdext::path::join(*program_files, product_folder))) {
        return 0;
    }

    if (!enter_module_folder()) {
        return 0;
    }
    parts.log(logging::level_info, entry_name,
              L"cmd line: " + winapi::facility<winapi::process_context>::get().command_line());
    parts.log(logging::level_info, entry_name,
              std::wstring(L"dllprotect status=") + (protection.running() ? L"true" : L"false"));
    run_command(parts, commands);
    return 0;
}

}  // namespace app
