// Traces one scope with a narrow and a wide line inside, then a level-8 line; the log file is
// closed with its end banner when the process ends.
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"

namespace {

void probe_scope() {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    DLLPROTECT_TRACE(logging::level_info, "narrow %s %d", "text", 7);
    DLLPROTECT_TRACEW(logging::level_info, L"wide %ls", L"text");
}

}  // namespace

int main() {
    probe_scope();
    logging::dbg_trace::message(logging::level_warning, "[PROBE] ", "tolerated");
    return logging::dbg_trace::on() ? 1 : 0;
}
