// CorvelService.exe for the lab: the agent's service executable, able to misbehave on request.
//
//   CorvelService.exe install       creates the service "CorvelService" (own process, demand
//                                   start, image path = this file's full path in quotes);
//                                   succeeds when the service exists already
//   CorvelService.exe enable        makes the service start automatically
//   CorvelService.exe update_ready  does nothing
//   CorvelService.exe               as started by the service control manager: the service
//
// Exit codes: 0 on success, the Windows error number of the call that failed, 1 for an unknown
// word, or what the behaviour file asks for.
//
// Every run appends one line to "CorvelService.calls" beside the executable:
//   pid=<process id> cmdline=<the command line as received>
// and the service appends one line for each state it reports:
//   pid=<process id> state=<start_pending|running|stop_pending|stopped>
//
// The behaviour file "CorvelService.behaviour" beside the executable is optional and read at every
// run: one key=value per line; blank lines, lines starting with '#' and unknown keys are ignored.
//   <word>.hang=S     the command <word> (install, enable, update_ready) first sleeps S seconds
//   <word>.exit=N     the command <word> then exits with N without doing its work
//   start=running     (default) report running, serve until asked to stop
//   start=stopped     report stopped at once, never running (Wine's start request then fails
//                     with 1053)
//   start=brief       report running, then stopped after start.seconds (default 1)
//   start=pending     stay start pending with the wait hint start.wait_hint (ms, default 5000);
//                     with start.seconds, report running after that many seconds
//   stop=hang         when asked to stop, report stop pending with the wait hint stop.wait_hint
//                     (ms, default 5000) and stay so; with stop.seconds, stop after that long
//   service.exit=N    the Windows exit code reported together with stopped (default 0)
#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "common/beside.h"

namespace {

constexpr wchar_t service_name[] = L"CorvelService";

std::wstring own_path() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path;
}

std::string to_utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// Appends one line to the calls file; each line is one write, so concurrent runs do not mix.
void record(const std::string& what) {
    HANDLE h = CreateFileW(lab::beside_this_module(L"CorvelService.calls").c_str(),
                           FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string line = "pid=" + std::to_string(GetCurrentProcessId()) + " " + what + "\n";
    DWORD written = 0;
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(h);
}

class behaviour {
public:
    void load(const std::wstring& file) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return;
        }
        std::string content;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            content.append(buffer, got);
        }
        CloseHandle(h);
        std::size_t pos = 0;
        while (pos < content.size()) {
            auto end = content.find('\n', pos);
            if (end == std::string::npos) {
                end = content.size();
            }
            add_line(trim(std::string_view(content).substr(pos, end - pos)));
            pos = end + 1;
        }
    }

    std::string text(const std::string& key, const std::string& fallback) const {
        const auto it = values_.find(key);
        return it == values_.end() ? fallback : it->second;
    }

    bool has(const std::string& key) const { return values_.count(key) != 0; }

    // A duration in seconds (fractions allowed) as milliseconds.
    DWORD milliseconds(const std::string& key, DWORD fallback) const {
        const auto it = values_.find(key);
        return it == values_.end()
                   ? fallback
                   : static_cast<DWORD>(std::strtod(it->second.c_str(), nullptr) * 1000.0);
    }

    DWORD number(const std::string& key, DWORD fallback) const {
        const auto it = values_.find(key);
        return it == values_.end()
                   ? fallback
                   : static_cast<DWORD>(std::strtoul(it->second.c_str(), nullptr, 10));
    }

private:
    static std::string_view trim(std::string_view s) {
        const auto first = s.find_first_not_of(" \t\r");
        if (first == std::string_view::npos) {
            return {};
        }
        const auto last = s.find_last_not_of(" \t\r");
        return s.substr(first, last - first + 1);
    }

    void add_line(std::string_view line) {
        if (line.empty() || line.front() == '#') {
            return;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            return;
        }
        values_[std::string(trim(line.substr(0, eq)))] = std::string(trim(line.substr(eq + 1)));
    }

    std::map<std::string, std::string> values_;
};

behaviour settings;

// Sleeps for the duration under key; 0 or no key means for ever.
void sleep_for(const std::string& key) {
    const DWORD ms = settings.milliseconds(key, 0);
    Sleep(ms == 0 ? INFINITE : ms);
}

// ---- the commands ----

struct scm_handle {
    SC_HANDLE h;
    explicit scm_handle(SC_HANDLE handle) : h(handle) {}
    scm_handle(const scm_handle&) = delete;
    scm_handle& operator=(const scm_handle&) = delete;
    ~scm_handle() {
        if (h != nullptr) {
            CloseServiceHandle(h);
        }
    }
};

DWORD install() {
    scm_handle scm(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (scm.h == nullptr) {
        return GetLastError();
    }
    const std::wstring image = L"\"" + own_path() + L"\"";
    scm_handle service(CreateServiceW(scm.h, service_name, service_name, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    if (service.h == nullptr) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_EXISTS ? 0 : error;
    }
    return 0;
}

DWORD enable() {
    scm_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (scm.h == nullptr) {
        return GetLastError();
    }
    scm_handle service(OpenServiceW(scm.h, service_name, SERVICE_CHANGE_CONFIG));
    if (service.h == nullptr) {
        return GetLastError();
    }
    if (!ChangeServiceConfigW(service.h, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return GetLastError();
    }
    return 0;
}

int run_command(const std::string& word) {
    DWORD (*work)() = nullptr;
    if (word == "install") {
        work = install;
    } else if (word == "enable") {
        work = enable;
    } else if (word != "update_ready") {
        return 1;
    }
    if (settings.has(word + ".hang")) {
        sleep_for(word + ".hang");
    }
    if (settings.has(word + ".exit")) {
        return static_cast<int>(settings.number(word + ".exit", 0));
    }
    return work == nullptr ? 0 : static_cast<int>(work());
}

// ---- the service ----

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{};
HANDLE stop_requested = nullptr;

void report(DWORD state, DWORD wait_hint = 0) {
    static const char* const names[] = {
        "",        "stopped",          "start_pending", "stop_pending",
        "running", "continue_pending", "pause_pending", "paused"};
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = state == SERVICE_STOPPED ? settings.number("service.exit", 0) : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = wait_hint;
    record(std::string("state=") + names[state <= 7 ? state : 0]);
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            SetEvent(stop_requested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD, LPWSTR*) {
    status_handle = RegisterServiceCtrlHandlerExW(service_name, control_handler, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const std::string start = settings.text("start", "running");
    if (start == "stopped") {
        report(SERVICE_STOPPED);
        return;
    }
    if (start == "pending") {
        report(SERVICE_START_PENDING, settings.number("start.wait_hint", 5000));
        sleep_for("start.seconds");
    }
    report(SERVICE_RUNNING);
    if (start == "brief") {
        Sleep(settings.milliseconds("start.seconds", 1000));
        report(SERVICE_STOPPED);
        return;
    }
    WaitForSingleObject(stop_requested, INFINITE);
    if (settings.text("stop", "") == "hang") {
        report(SERVICE_STOP_PENDING, settings.number("stop.wait_hint", 5000));
        sleep_for("stop.seconds");
    }
    report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    record("cmdline=" + to_utf8(GetCommandLineW()));
    settings.load(lab::beside_this_module(L"CorvelService.behaviour"));

    std::wstring_view rest(args);
    while (!rest.empty() && (rest.front() == L' ' || rest.front() == L'\t')) {
        rest.remove_prefix(1);
    }
    const std::string word = to_utf8(rest.substr(0, rest.find_first_of(L" \t")));
    if (!word.empty()) {
        return run_command(word);
    }

    wchar_t name[] = L"CorvelService";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}
