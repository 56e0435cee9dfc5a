#include "supervision/repair_actions.h"

#include <gtest/gtest.h>

#include <system_error>

#include "fakes/fake_config_library.h"
#include "fakes/log_messages.h"

namespace {

using namespace supervision;
using strings = std::vector<std::wstring>;
namespace cfg = platform::config;

const std::wstring product = L"C:\\Program Files\\Valdrin\\Agent";
const std::wstring program = product + L"\\1.0.0";  // the fake's current folder
const std::wstring lower_program = L"c:\\program files\\valdrin\\agent\\1.0.0";

class RepairActions : public fakes::logged_machine_test {
protected:
    // The first line logged for one link entry.
    static std::wstring entry(const wchar_t* name) {
        return L"16 path=[" + product + L"\\" + name + L"] target=" + lower_program + L"\\" +
               stdext::to_lower(name, stdext::case_rule::ascii) + L"]";
    }
};

TEST_F(RepairActions, NoLinkListWithoutVersionRecordOrCurrentFolder) {
    EXPECT_FALSE(symlinks().restore());
    files.faults().fail("current_directory", 2, 5);
    files.set_file(product + L"\\version.json", R"({"version":"1.0","path":"1.0.0"})");
    EXPECT_FALSE(symlinks().entries());
    EXPECT_EQ(messages(L"symlinks::symlinks"),
              (strings{L"8 version_json_storage::read err=31 failed open file",
                       L"8 filesystem::current_path err=5"}));
    EXPECT_EQ(files.faults().calls("create_symlink") + files.faults().calls("remove"), 0);
    const symlinks links;
    EXPECT_TRUE(links.entries()->at(0).is_directory && links.entries()->at(1).is_directory);
    EXPECT_EQ(link_target_normal_form(L"C:/A//b/./c/../\xC9\\\\"), L"c:\\a\\b\\\xC9\\");
}

TEST_F(RepairActions, EachStateOfALink) {
    files.set_file(product + L"\\version.json", R"({"version":"1.0","path":"1.0.0"})");
    files.set_file(program + L"\\CorvelDP.dll", "dp");
    files.add_folder(program + L"\\Settings");
    files.add_folder(L"D:\\elsewhere");
    files.add_link(product + L"\\settings", program + L"\\SETTINGS\\", true);
    files.add_link(product + L"\\apps_data", L"D:\\elsewhere", true);
    EXPECT_TRUE(symlinks().restore());
    EXPECT_EQ(messages(L"symlinks::restore"),
              (strings{entry(L"settings"), L"16 same target: " + lower_program + L"\\settings",
                       entry(L"apps_data"), L"16 symlink target=[d:\\elsewhere]",
                       L"16 remove success", L"16 create success", entry(L"CorvelDP.dll"),
                       L"16 not exists", L"16 create success"}));
    EXPECT_EQ(files.link(product + L"\\settings")->first, program + L"\\SETTINGS\\");
    EXPECT_EQ(files.link(product + L"\\CorvelDP.dll"),
              std::pair(lower_program + L"\\corveldp.dll", false));
    EXPECT_TRUE(files.has_folder(L"D:\\elsewhere"));

    // A folder with content stays; a link to a missing target does not exist and holds the name;
    // an unreadable link is replaced; each entry fails on its own.
    (void)files.remove(product + L"\\settings");
    files.set_file(product + L"\\settings\\Corvel.json", "{}");
    files.faults().fail("read_symlink", files.faults().calls("read_symlink") + 1, 5);
    EXPECT_FALSE(symlinks().restore());
    EXPECT_EQ(messages(L"symlinks::restore"),
              (strings{entry(L"settings"), L"16 is not a symlink", L"4 remove err=145",
                       L"4 create err=183", entry(L"apps_data"), L"16 not exists",
                       L"4 create err=183", entry(L"CorvelDP.dll"), L"16 read_symlink err=5",
                       L"16 symlink target=[]", L"16 remove success", L"16 create success"}));
    EXPECT_EQ(files.file(product + L"\\settings\\Corvel.json"), "{}");
}

TEST_F(RepairActions, RestoreCorvelUi) {
    const std::wstring source = program + L"\\CorvelUI.exe";
    const std::wstring copy = product + L"\\CorvelUI.exe";
    const std::wstring copy_failed = L"4 copy [" + source + L"] to [" + copy + L"] err=";
    files.add_folder(copy);  // not a regular file: the copy is tried and fails
    EXPECT_FALSE(restore_corvelui());
    files.set_file(source, "ui");
    EXPECT_FALSE(restore_corvelui());
    (void)files.remove(copy);
    EXPECT_TRUE(restore_corvelui());
    EXPECT_TRUE(restore_corvelui());
    files.faults().fail("current_directory", files.faults().calls("current_directory") + 1, 5);
    EXPECT_FALSE(restore_corvelui());
    const std::wstring try_restore = L"8 exists " + copy + L" => try restore";
    EXPECT_EQ(
        messages(L"restore_corvelui"),
        (strings{try_restore, copy_failed + L"2", try_restore, copy_failed + L"80", try_restore,
                 L"16 exists & is_regular_file " + copy, L"8 filesystem::current_path err=5"}));
    EXPECT_EQ(files.file(copy), "ui");
}

TEST_F(RepairActions, DiscoveryComponentInstallAndStart) {
    const std::wstring exe = L"\"" + program + L"\\PeerScout.exe\"";
    procs.exit_status = 1;
    EXPECT_FALSE(install_upnp_component());
    EXPECT_TRUE(start_upnp_srv());
    EXPECT_EQ(procs.waits, std::vector<std::uint32_t>{0xFFFFFFFF});
    procs.wait_result = 0x80;
    EXPECT_FALSE(install_upnp_component());
    procs.wait_result = 0;
    procs.exit_status = 0;
    faults.fail("exit_code", 2, 6);
    EXPECT_FALSE(install_upnp_component());  // without a line
    EXPECT_TRUE(install_upnp_component());
    EXPECT_EQ(messages(L"install_upnp_component"),
              (strings{L"4 exit code=1", L"4 wait process = 128", L"4 exit code=0"}));

    faults.fail("wait_process", faults.calls("wait_process") + 1, 6);
    EXPECT_THROW((void)install_upnp_component(), std::system_error);
    faults.fail_always("start_process", 2);
    EXPECT_FALSE(install_upnp_component());
    EXPECT_FALSE(start_upnp_srv());
    machine.modules.self_path = L"Wardex.exe";
    EXPECT_FALSE(start_upnp_srv());
    EXPECT_EQ(messages(L"start_upnp_srv"),
              (strings{L"4 create process [" + exe +
                           L"] err=2 The system cannot find the file specified.\r\n",
                       L"4 build_process_path err=31 failed get_foldername for current dll"}));
}

TEST_F(RepairActions, DiscoveryComponentRunsFromTheProgramFolderOnly) {
    const std::wstring alias = L"C:\\PROGRA~1\\Valdrin\\Agent\\1.0.0";
    machine.identities.add(program, {1, 10});
    machine.identities.add(alias, {1, 10});
    machine.identities.add(L"D:\\other", {1, 20});
    procs.table = {{10, {L"peerscout.EXE", 1, L"D:\\other\\PeerScout.exe"}},
                   {20, {L"PeerScout.exe", 1, program + L"\\PeerScout.exe"}},
                   {30, {L"notepad.exe", 1, program + L"\\notepad.exe"}},
                   {40, {L"PeerScout.exe", 1, alias + L"\\PeerScout.exe"}},
                   {50, {L"PeerScout.exe", 1, program + L"\\PeerScout.exe"}}};
    faults.fail("open_process", 2, 5);
    EXPECT_TRUE(is_upnp_srv_started());
    EXPECT_FALSE(procs.debug_enabled);
    EXPECT_EQ(procs.image_access, (std::vector<std::uint32_t>{0x410, 0x410, 0x410}));  // not 50

    procs.table.erase(40);
    procs.table.erase(50);
    faults.fail("module_path", faults.calls("module_path") + 2, 5);
    EXPECT_EQ(get_peerscout(), 0u);
    auto& identify = machine.identities.faults();
    identify.fail("identify", identify.calls("identify") + 3);
    EXPECT_EQ(get_peerscout(), 0u);
    EXPECT_EQ(get_peerscout(), 20u);
    EXPECT_EQ(messages(L"is_peerscout"),
              (strings{L"4 open process err=5 Access is denied.\r\n",
                       L"4 get_foldername err=5 Access is denied.\r\n"}));
    faults.fail("list_processes", faults.calls("list_processes") + 1, 8);
    EXPECT_THROW((void)is_upnp_srv_started(), std::system_error);
    EXPECT_FALSE(procs.debug_enabled);
    machine.modules.self_path = L"Wardex.exe";
    EXPECT_EQ(get_peerscout(), 0u);
    EXPECT_EQ(messages(L"get_peerscout"), strings{L"4 get_foldername for crt dll err=31"});
}

TEST_F(RepairActions, UpdatingKeyIsLookedForInThe64BitView) {
    EXPECT_FALSE(agent_kit::is_updating());
    machine.modules.add_library(product + L"\\IServConfig.dll", fakes::config_library::exports);
    fakes::config_library::lib = {};
    EXPECT_FALSE(agent_kit::is_updating());
    EXPECT_EQ(messages(L"agent_kit::is_updating"),
              (strings{L"16 failed load IServConfig.dll", L"16 failed get SZ_REG_PATH_PRODUCT"}));

    const std::wstring key = L"SOFTWARE\\Valdrin Agent\\Install\\AgentUpdating";
    machine.registry.add_key(winapi::hkey_local_machine, key, winapi::key_wow64_32key);
    for (const wchar_t* path : {L"SOFTWARE\\Valdrin Agent", L"SOFTWARE\\Valdrin Agent\\"}) {
        fakes::config_library::lib.properties[cfg::SZ_REG_PATH_PRODUCT] = path;
        EXPECT_FALSE(agent_kit::is_updating());
        EXPECT_EQ(machine.registry.opens.back(), std::pair(key, std::uint32_t{0x20119}));
        EXPECT_EQ(messages(L"agent_updating::agent_updating"),
                  strings{L"16 updating_regpath=" + key});
    }
    machine.registry.add_key(winapi::hkey_local_machine, key, winapi::key_wow64_64key);
    EXPECT_TRUE(agent_kit::is_updating());
    EXPECT_EQ(machine.modules.references(product + L"\\IServConfig.dll"), 0);
}

TEST_F(RepairActions, RepairedMarkerIsAVolatileKeyInThe32BitView) {
    const auto path = repaired_marker_path().value();
    EXPECT_EQ(SetIsRepaired(L""), 31u);
    EXPECT_TRUE(machine.registry.creates.empty());
    EXPECT_EQ(SetIsRepaired(path), 0u);
    EXPECT_TRUE(machine.registry.has_key(winapi::hkey_local_machine, path));
    EXPECT_EQ(machine.registry.creates.back().access, 0xF023Fu);
    EXPECT_EQ(machine.registry.creates.back().options, winapi::reg_option_volatile);
    faults.fail("create_key", faults.calls("create_key") + 1, 5);
    EXPECT_EQ(SetIsRepaired(path), 5u);
}

}  // namespace
