#!/usr/bin/env bash
# bench/blowfish.sh: the dump file's Blowfish-CBC against OpenSSL's on records of 256 and 1024
# bytes, a fresh key schedule per record as the dump writes them, and the block loop alone.
# Builds an optimised native tree without sanitizers (build/bench) and prints the ratio
# ours / OpenSSL of the median times (below 1: ours is faster).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target blowfish_bench -j2 >/dev/null
out=$(mktemp "${TMPDIR:-/tmp}/wardex-blowfish-bench.XXXXXX")
trap 'rm -f "$out"' EXIT
"$build/bench/blowfish_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null >"$out"
# The median real time (ns) of a benchmark with its argument.
median() { awk -F, -v name="\"$1/$2_median\"" '$1 == name { print $3 }' "$out"; }
for kind in record cbc; do
    for size in 256 1024; do
        ours=$(median "ours_$kind" "$size")
        theirs=$(median "openssl_$kind" "$size")
        awk -v k="$kind" -v s="$size" -v o="$ours" -v t="$theirs" 'BEGIN {
            printf "%-6s %5d bytes  ours %9.1f ns  openssl %9.1f ns  ratio %.2f\n", k, s, o, t, o / t }'
    done
done
