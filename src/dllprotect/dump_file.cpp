#include "dllprotect/dump_file.h"

#include <exception>
#include <string_view>

#include "dllprotect/dump_record.h"
#include "dllprotect/trust_decisions.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "stdext/final_path.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace dllprotect {
namespace {

// The opened file, unless it is reached through a link or junction: its final path must be the
// path asked for (letter case aside).
stdext::expected<winapi::unique_append_handle> open_dump_file(winapi::append_file& files,
                                                              const std::wstring& path) {
    return files.open(path).and_then(
        [&path](auto&& opened) -> stdext::expected<winapi::unique_append_handle> {
            if (!stdext::path::is_final_path_of(opened.final_path, path)) {
                return stdext::unexpected(winapi::win_failure(winapi::error_invalid_file_name_link,
                                                              "final path differs"));
            }
            return std::move(opened.file);
        });
}

bool WriteStringToFile(winapi::append_file& files, winapi::append_handle file,
                       std::string_view bytes) {
    const winapi::append_write done = files.write(file, bytes);
    if (done.error != 0 || done.written != bytes.size()) {
        DLLPROTECT_TRACE(logging::level_error, "WriteFile failed 0x%x  dw: 0x%x size: 0x%x",
                         done.error, done.written, static_cast<unsigned>(bytes.size()));
        return false;
    }
    return true;
}

}  // namespace

bool DumpDllProtEvent(DllProtectInfo info) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    const std::wstring& path = decisions().dump_file_path;
    if (path.empty()) {
        return false;
    }
    auto& files = winapi::facility<winapi::append_file>::get();
    auto file = open_dump_file(files, path);
    // Another writer holds the file without read sharing; it lets go within milliseconds.
    for (int retry = 0; !file && retry < dump_open_retries &&
                        file.error().code.value() == winapi::error_sharing_violation;
         ++retry) {
        winapi::facility<winapi::clock>::get().sleep_ms(dump_open_retry_ms);
        file = open_dump_file(files, path);
    }
    if (!file) {
        DLLPROTECT_TRACE(logging::level_error, "cannot open write file");
        return false;
    }
    const winapi::append_handle handle = file->get();
    if (auto size = files.size(handle); size && *size > dump_file_size_limit) {
        (void)files.set_end(handle, 0);
    }
    const auto end = files.seek_end(handle);
    if (!DumpEventToFile(handle, dump_record_text(info))) {
        DLLPROTECT_TRACE(logging::level_error, "DumpEventToFile failed");
        if (end) {
            (void)files.set_end(handle, *end);
        }
    }
    return true;
}

bool DumpEventToFile(winapi::append_handle file, const std::string& text) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    DLLPROTECT_TRACE(logging::level_info, "event dump is: %s", text.c_str());
    std::string ciphertext;
    try {
        ciphertext = encrypt_dump_record(text);
    } catch (const std::exception&) {
        DLLPROTECT_TRACE(logging::level_error, "encrypt failed");
        return false;
    }
    auto& files = winapi::facility<winapi::append_file>::get();
    return WriteStringToFile(files, file,
                             dump_length_prefix(static_cast<std::uint32_t>(ciphertext.size()))) &&
           WriteStringToFile(files, file, ciphertext);
}

}  // namespace dllprotect
