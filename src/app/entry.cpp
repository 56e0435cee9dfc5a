#include "app/entry.h"

#include <exception>
#include <sstream>
#include <vector>

#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/modules.h"
#include "winapi/process_context.h"
#include "winapi/registry.h"
#include "winapi/win_error_category.h"

namespace app {
namespace {

constexpr std::uint32_t long_path_capacity = 32767;
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
        : parts_(parts), error_(parts.bind_configuration(library_path)) {}
    ~configuration_holder() {
        if (error_ == 0) {
            parts_.release_configuration();
        }
    }
    configuration_holder(const configuration_holder&) = delete;
    configuration_holder& operator=(const configuration_holder&) = delete;
    bool bound() const { return error_ == 0; }

private:
    startup_parts& parts_;
    std::uint32_t error_;
};

std::wstring folder_of(const std::wstring& path) {
    const auto pos = path.find_last_of(L'\\');
    return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos);
}

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

winapi::unique_module load_library(const std::wstring& path) {
    std::uint32_t error = 0;
    return winapi::unique_module(winapi::facility<winapi::modules>::get().load(path, error));
}

void run_command(startup_parts& parts, const command_table& commands) {
    try {
        auto& process = winapi::facility<winapi::process_context>::get();
        std::vector<std::wstring> args;
        std::uint32_t error = 0;
        if (!process.split_command_line(process.command_line(), args, error)) {
            winapi::throw_win_error(error, "CommandLineToArgvW failed");
        }
        dispatch(commands, args);
    } catch (const std::exception& e) {
        // Exception texts carry the system's messages in the ANSI code page: they are widened
        // the way every log message widens narrow text, character by character.
        std::wostringstream what;
        what << e.what();
        parts.log(logging::level_error, entry_name, what.str());
    }
}

}  // namespace

std::wstring remove_file_spec(const std::wstring& path) {
    const auto pos = path.find_last_of(L'\\');
    if (pos == std::wstring::npos) {
        // "C:file" keeps its drive; a bare name leaves nothing.
        return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : std::wstring();
    }
    // The backslash of a root ("C:\", "\") stays.
    const bool root = pos == 0 || (pos == 2 && path[1] == L':');
    return path.substr(0, root ? pos + 1 : pos);
}

std::wstring add_backslash(const std::wstring& path) {
    if (path.empty() || path.back() == L'\\') {
        return path;
    }
    return path + L'\\';
}

void enter_module_folder() {
    auto& mods = winapi::facility<winapi::modules>::get();
    std::wstring path;
    std::uint32_t error = 0;
    mods.file_name(mods.self(), max_path_capacity, path, error);
    // A folder that cannot be entered leaves the current directory as it was.
    (void)winapi::facility<winapi::file_system>::get().set_current_directory(
        add_backslash(remove_file_spec(path)));
}

std::optional<std::wstring> module_path() {
    auto path = winapi::module_file_name(winapi::facility<winapi::modules>::get().self());
    if (!path) {
        return std::nullopt;
    }
    return std::move(*path);
}

std::optional<std::wstring> module_folder() {
    auto path = module_path();
    if (!path || path->find(L'\\') == std::wstring::npos) {
        return std::nullopt;
    }
    std::wstring folder = folder_of(*path);
    if (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return folder;
}

std::optional<std::wstring> program_files_folder() {
    const bool x86 =
        winapi::facility<winapi::process_context>::get().native_processor_architecture() ==
        winapi::processor_architecture_intel;
    std::vector<std::uint8_t> data(long_path_capacity * 2);
    std::uint32_t type = 0;
    const std::uint32_t rc = winapi::facility<winapi::registry>::get().get_value(
        winapi::hkey_local_machine, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
        x86 ? L"ProgramFilesDir" : L"ProgramW6432Dir", winapi::rrf_rt_reg_sz, type, data);
    if (rc != 0) {
        return std::nullopt;
    }
    return stdext::utf16le_to_wide(data.data(), data.size());
}

bool is_folder_or_child_of(const std::wstring& folder, const std::wstring& target) {
    auto& files = winapi::facility<winapi::file_identity>::get();
    const auto wanted = files.identify(target);
    if (!wanted) {
        return false;
    }
    if (const auto id = files.identify(folder); id && *id == *wanted) {
        return true;
    }
    const std::wstring parent = folder_of(folder);
    if (parent.empty()) {
        return false;
    }
    const auto id = files.identify(parent);
    return id && *id == *wanted;
}

int run_entry(startup_parts& parts, const command_table& commands) {
    enter_module_folder();
    const protection_holder protection(parts);

    if (!winapi::facility<winapi::process_context>::get().is_administrator()) {
        return 0;
    }
    const auto own_path = module_path();
    if (!own_path) {
        return 0;
    }
    const auto folder = module_folder();
    if (!folder) {
        return 0;
    }
    // An own signer without a name cannot vouch for anything.
    const auto own_signer = parts.signer_subject(*own_path);
    if (!own_signer || own_signer->empty()) {
        return 0;
    }
    const std::wstring& signer = *own_signer;

    const std::wstring log_path = stdext::path::join(*folder, L"log.dll");
    if (!signed_by(parts, log_path, signer)) {
        return 0;
    }
    const winapi::unique_module log_library = load_library(log_path);
    if (!log_library) {
        return 0;
    }
    const logging_holder logging(parts);

    const std::wstring config_path = stdext::path::join(*folder, L"iservconfig.dll");
    if (!signed_by(parts, config_path, signer)) {
        return 0;
    }
    const winapi::unique_module config_library = load_library(config_path);
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
        !is_folder_or_child_of(*folder, stdext::path::join(*program_files, product_folder))) {
        return 0;
    }

    enter_module_folder();
    parts.log(logging::level_info, entry_name,
              L"cmd line: " + winapi::facility<winapi::process_context>::get().command_line());
    parts.log(logging::level_info, entry_name,
              std::wstring(L"dllprotect status=") + (protection.running() ? L"true" : L"false"));
    run_command(parts, commands);
    return 0;
}

}  // namespace app
