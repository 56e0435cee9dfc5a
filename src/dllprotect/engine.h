// The load-protection engine's frame: the option word and its modes, the process-wide state, the
// start and stop that put the interceptions in place and take them out, and the events path (a
// queue served by one worker thread when the host gave a callback, the encrypted dump file
// otherwise). Its surface is three plain functions; the host reporter is its only caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "dllprotect/events_queue.h"
#include "dllprotect/protect_types.h"

namespace dllprotect {

// The folder under the common application data that holds the dump file of a process that is not
// elevated.
inline constexpr std::wstring_view dump_folder_name = L"48C4687D-9760-4F5B-BAB3-60351B0841E4";

// The engine's own state; one per process.
struct engine_state {
    std::uint32_t options = 0;
    std::atomic<bool> engine_active{false};
    std::wstring process_name;
    DllProtectEventsCbk callback = nullptr;
    void* callback_context = nullptr;
    std::unique_ptr<EventsConsumerBase> consumer;
    std::unique_ptr<events_queue> queue;
    // The interceptions are live (attached and not yet detached).
    bool attached = false;
};

[[nodiscard]] engine_state& engine() noexcept;

// Stores the host's callback; refused while the engine runs.
[[nodiscard]] bool DllProtectSetEventsCbk(DllProtectEventsCbk callback, void* context);
// Starts the engine: 1 on success, 0 on any failure (every failure is traced).
[[nodiscard]] int DllProtectStart(std::uint32_t options, const wchar_t* process_name);
// Stops it: 1 when the interceptions were removed and, once the hooks still running have finished,
// the events machinery torn down.
[[nodiscard]] int DllProtectEnd();

// Hands an event to the queue, or writes it to the dump file when there is no queue.
void submit_event(DllProtectInfo info);

// The interceptions' way into the engine. An interception reads the engine's state (options,
// folders, blacklist, events queue) only inside a scope that entered: scopes enter while the
// engine runs, and a stop closes the way in and waits for the scopes still inside before it
// tears that state down, so a hook that was running when its interception was taken out (in a
// signature check, say) finishes against the engine it started with. A scope that did not enter
// lets its call through unchecked. A hook leaves its scope before the real call, which can run for
// long (a library's initialisation) and reads nothing of the engine.
class hook_scope {
public:
    hook_scope() noexcept;
    ~hook_scope() { leave(); }
    hook_scope(const hook_scope&) = delete;
    hook_scope& operator=(const hook_scope&) = delete;

    [[nodiscard]] bool entered() const noexcept { return entered_; }
    void leave() noexcept;

private:
    bool entered_ = false;
    bool inside_ = true;
};

// Opens the way in (a start, before the interceptions are attached); closes it and returns once
// no scope is inside any more.
void open_hooks() noexcept;
void close_hooks() noexcept;

// The dump file's path for a process name: beside the executable when elevated, otherwise in
// the engine's folder under ProgramData; empty when that folder is unavailable.
void init_dump_path(const std::wstring& process_name);

// Mode tests of the option word.
[[nodiscard]] inline bool report_mode(std::uint32_t options) noexcept {
    return (options & (OPT_REPORT_MODE | OPT_BLOCK_MODE)) == OPT_REPORT_MODE;
}
[[nodiscard]] inline bool block_mode(std::uint32_t options) noexcept {
    return (options & (OPT_REPORT_MODE | OPT_BLOCK_MODE)) == OPT_BLOCK_MODE;
}

}  // namespace dllprotect
