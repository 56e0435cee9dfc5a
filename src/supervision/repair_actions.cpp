#include "supervision/repair_actions.h"

#include <exception>
#include <stdexcept>

#include "logging/log.h"
#include "platform/config/exported_object.h"
#include "platform/config/product_settings.h"
#include "platform/process_utils.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "supervision/agent_service.h"
#include "supervision/storage/storage.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/folders.h"
#include "winapi/registry.h"
#include "winapi/win_error_category.h"

namespace supervision {
namespace {

using logging::level_error;
using logging::level_info;
using logging::level_warning;

// The links of the product folder: name, and whether it is a folder link.
struct link_name {
    const wchar_t* name;
    bool is_directory;
};
constexpr link_name product_links[] = {
    {L"settings", true}, {L"apps_data", true}, {L"CorvelDP.dll", false}};

constexpr wchar_t updating_subkey[] = L"Install\\AgentUpdating";
constexpr wchar_t marker_subkey[] = L"repaired";

winapi::file_system& files() {
    return winapi::facility<winapi::file_system>::get();
}

std::uint32_t number(const stdext::error& error) {
    return static_cast<std::uint32_t>(error.code.value());
}

// The system's text for the error's number.
std::wstring system_message(const stdext::error& error) {
    return stdext::utf8_to_wide(error.code.message());
}

// A registry path, "\" (unless it already ends with one) and a subkey.
std::wstring subkey_of(std::wstring base, const wchar_t* subkey) {
    if (base.empty() || base.back() != L'\\') {
        base += L'\\';
    }
    return base + subkey;
}

// Does the path exist, following links? An error in the test counts as no.
bool exists(const std::wstring& path) {
    const auto type = files().status(path);
    return type && *type != winapi::file_type::not_found;
}

// Puts one link in place; logs each step under "symlinks::restore".
bool restore_entry(const link_entry& entry) {
    const logging::function_scope_trace trace(L"symlinks::restore");
    auto log = [](logging::log_level level) {
        return logging::logger_stream(level, L"symlinks::restore");
    };
    log(level_info) << L"path=[" << entry.path << L"] target=" << entry.target << L"]";

    if (exists(entry.path)) {
        // An error in the test counts as no link: what is there is removed.
        const auto type = files().symlink_status(entry.path);
        if (type && *type == winapi::file_type::symlink) {
            std::wstring current;
            if (const auto target = files().read_symlink(entry.path); !target) {
                log(level_info) << L"read_symlink err=" << number(target.error());
            } else {
                current = link_target_normal_form(*target);
                if (current == entry.target) {
                    log(level_info) << L"same target: " << entry.target;
                    return true;
                }
            }
            log(level_info) << L"symlink target=[" << current << L"]";
        } else {
            log(level_info) << L"is not a symlink";
        }
        // A failed removal leaves the name taken; the creation below then reports it.
        if (const auto removed = files().remove(entry.path); !removed) {
            log(level_error) << L"remove err=" << number(removed.error());
        } else {
            log(level_info) << L"remove success";
        }
    } else {
        log(level_info) << L"not exists";
    }

    if (const auto created = files().create_symlink(entry.target, entry.path, entry.is_directory);
        !created) {
        log(level_error) << L"create err=" << number(created.error());
        return false;
    }
    log(level_info) << L"create success";
    return true;
}

// Starts the discovery component with command_line; logs a failure under `function`.
stdext::expected<winapi::unique_sys_handle> start_discovery(const wchar_t* function,
                                                            const std::wstring& command_line) {
    auto process = create_process(command_line, 0);
    if (!process) {
        logging::logger_stream(level_error, function)
            << L"create process [" << command_line << L"] err=" << number(process.error()) << L' '
            << system_message(process.error());
    }
    return process;
}

// The discovery component's path; logs a failure under `function`.
std::optional<std::wstring> discovery_path(const wchar_t* function) {
    auto path = build_process_path();
    if (!path) {
        logging::log_failure(level_error, function, L"build_process_path", path.error());
        return std::nullopt;
    }
    return std::move(*path);
}

}  // namespace

std::wstring link_target_normal_form(std::wstring_view path) {
    if (path.empty()) {
        return {};
    }
    if (stdext::path::is_separator(path.back())) {
        path.remove_suffix(1);
    }
    return stdext::path::lexically_normal(stdext::to_lower(path, stdext::case_rule::ascii));
}

symlinks::symlinks() {
    const auto program = files().current_directory();
    if (!program) {
        logging::logger_stream(level_warning, L"symlinks::symlinks")
            << L"filesystem::current_path err=" << number(program.error());
        return;
    }
    const std::wstring product = stdext::path::parent(*program);
    // Only a readable version record counts; its content is not used.
    if (const auto record = storage::version_json_storage::read(product); !record) {
        logging::log_failure(level_warning, L"symlinks::symlinks", L"version_json_storage::read",
                             record.error());
        return;
    }
    std::vector<link_entry> list;
    for (const auto& link : product_links) {
        list.push_back({stdext::path::join(product, link.name),
                        link_target_normal_form(stdext::path::join(*program, link.name)),
                        link.is_directory});
    }
    entries_ = std::move(list);
}

bool symlinks::restore() {
    const logging::function_scope_trace trace(L"symlinks::restore");
    if (!entries_) {
        return false;
    }
    bool all = true;
    for (const auto& entry : *entries_) {
        all = restore_entry(entry) && all;
    }
    return all;
}

const std::optional<std::vector<link_entry>>& symlinks::entries() const {
    return entries_;
}

bool restore_corvelui() {
    const logging::function_scope_trace trace(L"restore_corvelui");
    auto log = [](logging::log_level level) {
        return logging::logger_stream(level, L"restore_corvelui");
    };
    const auto program = files().current_directory();
    if (!program) {
        log(level_warning) << L"filesystem::current_path err=" << number(program.error());
        return false;
    }
    const std::wstring installed =
        stdext::path::join(stdext::path::parent(*program), ui_executable_name);
    if (const auto type = files().status(installed); type && *type == winapi::file_type::regular) {
        log(level_info) << L"exists & is_regular_file " << installed;
        return true;
    }
    log(level_warning) << L"exists " << installed << L" => try restore";
    const std::wstring source = stdext::path::join(*program, ui_executable_name);
    if (const auto copied = files().copy_file(source, installed); !copied) {
        log(level_error) << L"copy [" << source << L"] to [" << installed << L"] err="
                         << number(copied.error());
        return false;
    }
    return true;
}

agent_updating::agent_updating() {
    namespace config = platform::config;
    config::product_config binding;
    if (!binding.load(L"IServConfig.dll")) {
        throw std::runtime_error("failed load IServConfig.dll");
    }
    const wchar_t* product_key = config::get_string_property(binding, config::SZ_REG_PATH_PRODUCT);
    if (product_key == nullptr) {
        throw std::runtime_error("failed get SZ_REG_PATH_PRODUCT");
    }
    path_ = subkey_of(product_key, updating_subkey);
    logging::logger_stream(level_info, L"agent_updating::agent_updating")
        << L"updating_regpath=" << path_;
}

const std::wstring& agent_updating::path() const {
    return path_;
}

namespace agent_kit {

bool is_updating() {
    const logging::function_scope_trace trace(L"agent_kit::is_updating");
    std::wstring path;
    try {
        path = agent_updating().path();
    } catch (const std::exception& e) {
        logging::logger_stream(level_info, L"agent_kit::is_updating")
            << stdext::utf8_to_wide(e.what());
        return false;
    }
    // The key's existence is the flag; it is looked for where the 64-bit agent keeps it.
    const auto key = winapi::facility<winapi::registry>::get().open_key(
        winapi::hkey_local_machine, path, winapi::key_read | winapi::key_wow64_64key);
    return key.has_value();
}

}  // namespace agent_kit

stdext::expected<std::wstring> build_process_path() {
    const auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        return stdext::unexpected(
            stdext::error{folder.error().code, "failed get_foldername for current dll"});
    }
    return stdext::path::join(*folder, discovery_executable_name);
}

bool install_upnp_component() {
    constexpr const wchar_t* function = L"install_upnp_component";
    const logging::function_scope_trace trace(function);
    const auto path = discovery_path(function);
    if (!path) {
        return false;
    }
    const auto process = start_discovery(function, L"\"" + *path + L"\" install");
    if (!process) {
        return false;
    }
    const std::uint32_t waited = wait_process(process->get(), winapi::infinite);
    if (waited != winapi::wait_object_0) {
        logging::logger_stream(level_error, function) << L"wait process = " << waited;
        return false;
    }
    const auto code = winapi::facility<winapi::processes>::get().exit_code(process->get());
    if (!code) {
        return false;
    }
    logging::logger_stream(level_error, function) << L"exit code=" << *code;
    return *code == 0;
}

bool start_upnp_srv() {
    constexpr const wchar_t* function = L"start_upnp_srv";
    const logging::function_scope_trace trace(function);
    const auto path = discovery_path(function);
    if (!path) {
        return false;
    }
    // Not waited for: the handle closes at once.
    return start_discovery(function, L"\"" + *path + L"\"").has_value();
}

bool is_upnp_srv_started() {
    const logging::function_scope_trace trace(L"is_upnp_srv_started");
    std::uint32_t pid = 0;
    {
        // Processes of other users can be opened only with the privilege.
        const platform::privilege_scope debug_privilege;
        pid = get_peerscout();
    }
    return pid != 0;
}

std::uint32_t get_peerscout() {
    const auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        logging::logger_stream(level_error, L"get_peerscout")
            << L"get_foldername for crt dll err=" << number(folder.error());
        return 0;
    }
    const auto found = platform::find_process(
        [&](const winapi::process_entry& entry) { return is_peerscout(*folder, entry); });
    return found ? found->process_id : 0;
}

bool is_peerscout(const std::wstring& folder, const winapi::process_entry& entry) {
    if (!stdext::iequals(entry.exe_file, discovery_executable_name, stdext::case_rule::latin1)) {
        return false;
    }
    const auto process = winapi::facility<winapi::processes>::get().open(
        entry.process_id, winapi::process_query_information | winapi::process_vm_read);
    if (!process) {
        logging::logger_stream(level_error, L"is_peerscout")
            << L"open process err=" << number(process.error()) << L' '
            << system_message(process.error());
        return false;
    }
    const auto of = winapi::get_foldername(process->get());
    if (!of) {
        logging::logger_stream(level_error, L"is_peerscout")
            << L"get_foldername err=" << number(of.error()) << L' ' << system_message(of.error());
        return false;
    }
    // A folder that cannot be identified is not the one looked for.
    const auto same = winapi::equivalent(*of, folder);
    return same && *same;
}

std::optional<std::wstring> repaired_marker_path() {
    const auto& settings = platform::config::product_settings::instance().wide();
    const auto product_key = settings.find(platform::config::setting::regpath_product);
    if (product_key == settings.end()) {
        return std::nullopt;
    }
    return subkey_of(product_key->second, marker_subkey);
}

std::uint32_t SetIsRepaired(const std::wstring& marker_path) {
    if (marker_path.empty()) {
        return winapi::error_gen_failure;
    }
    // The key carries no value: its existence until the next restart is the mark.
    const auto key = winapi::facility<winapi::registry>::get().create_key(
        winapi::hkey_local_machine, marker_path, winapi::key_all_access_32,
        winapi::reg_option_volatile);
    return key ? winapi::error_success : number(key.error());
}

}  // namespace supervision
