#!/usr/bin/env bash
# bench/trace.sh: what a trace call of the load-protection engine costs while tracing is off,
# against a call of an empty function that is not inlined. Builds an optimised native tree
# without sanitizers (build/bench), runs the benchmark and prints the ratio trace / empty call.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target trace_bench -j2 >/dev/null
out=$(mktemp "${TMPDIR:-/tmp}/wardex-trace-bench.XXXXXX")
trap 'rm -f "$out"' EXIT
"$build/bench/trace_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null >"$out"
# The median real time (ns) of each benchmark.
median() { awk -F, -v name="\"$1_median\"" '$1 == name { print $3 }' "$out"; }
empty=$(median empty_call)
trace=$(median trace_off)
scope=$(median trace_scope_off)
printf 'empty call      %8.3f ns\n' "$empty"
printf 'trace off       %8.3f ns\n' "$trace"
printf 'trace scope off %8.3f ns\n' "$scope"
awk -v t="$trace" -v e="$empty" 'BEGIN { printf "ratio trace/empty call %.2f\n", t / e }'
