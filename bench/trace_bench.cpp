// A trace call of the load-protection engine while tracing is off (no settings file: the host
// build never finds one), next to a call of an empty function the compiler may not inline.
#include <benchmark/benchmark.h>

#include "logging/dbg_trace/dbg_trace.h"

namespace {

[[gnu::noinline]] void empty_function(int value) {
    benchmark::DoNotOptimize(value);
}

void empty_call(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        empty_function(++i);
    }
}

void trace_off(benchmark::State& state) {
    if (logging::dbg_trace::on()) {  // reads the settings once, outside the loop
        state.SkipWithError("tracing is on");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        DLLPROTECT_TRACE(logging::level_info, "value=%d", ++i);
        benchmark::DoNotOptimize(i);
    }
}

void trace_scope_off(benchmark::State& state) {
    for (auto _ : state) {
        DLLPROTECT_TRACE_SCOPE(logging::level_trace);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(empty_call);
BENCHMARK(trace_off);
BENCHMARK(trace_scope_off);
BENCHMARK_MAIN();
