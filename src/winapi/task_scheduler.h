// The task scheduler facility: COM for the calling thread, and the root folder of the Task
// Scheduler service, in which the program registers, finds and deletes its own task. Errors
// carry the failing call's HRESULT in the win_error category and a text naming the call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// A text for a call could not be allocated (E_OUTOFMEMORY from the COM string allocator). It is
// raised, not returned: it is a COM error, not a failed call.
class com_error : public std::runtime_error {
public:
    explicit com_error(std::int32_t hr) : std::runtime_error("COM error"), hr_(hr) {}
    [[nodiscard]] std::int32_t code() const noexcept { return hr_; }

private:
    std::int32_t hr_;
};

// A task started by one logon trigger that runs one program. The folder fixes the rest: the
// highest run level, interactive-token logon, and running on battery power.
struct logon_task {
    std::wstring name;
    std::wstring author;
    std::wstring user;  // the account the task runs as
    std::wstring trigger_id;
    std::wstring delay;                // duration text, such as "PT15M"
    std::wstring repetition_interval;  // duration text; no repetition when empty
    std::wstring program_path;
    std::wstring arguments;       // not set when empty
    std::wstring working_folder;  // not set when empty
};

// The root folder of a connected task service; dropping it releases the folder and the service.
class task_folder {
public:
    virtual ~task_folder() = default;

    // Creates the task or updates it in place, its triggers and actions replaced by the task's
    // own. The value lists the failures that were tolerated: the two battery settings.
    [[nodiscard]] virtual stdext::expected<std::vector<stdext::error>> register_task(
        const logon_task& task) = 0;
    // The stored name of the task found under name (the look-up ignores letter case), or none;
    // a name that cannot be read counts as none.
    [[nodiscard]] virtual stdext::expected<std::optional<std::wstring>> registered_name(
        const std::wstring& name) = 0;
    [[nodiscard]] virtual stdext::expected<void> delete_task(const std::wstring& exact_name) = 0;
};

class task_scheduler {
public:
    virtual ~task_scheduler() = default;

    // CoInitialize(nullptr) / CoUninitialize() on the calling thread.
    [[nodiscard]] virtual stdext::expected<void> co_initialize() = 0;
    virtual void co_uninitialize() = 0;
    // Creates the task service, connects it to the local machine and opens the root folder.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<task_folder>> connect() = 0;
};

}  // namespace winapi
