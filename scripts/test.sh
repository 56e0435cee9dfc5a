#!/usr/bin/env bash
# Runs every check of the project: formatting, the native unit tests with sanitizers, the fuzz
# targets briefly, the shipped 32-bit build and its imports, and the Windows tests and end-to-end
# scenarios of both Windows builds: the 64-bit one under the host's Wine, the shipped 32-bit one
# under the 32-bit lab (a WoW64 prefix whose 32-bit side is emulated). Installs what it needs
# first.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh

echo "== format"
scripts/check-format.sh

echo "== native: unit tests"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -L unit -j "$jobs" --output-on-failure

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for f in build/fuzz/tests/fuzz_*; do
    [ -x "$f" ] || continue
    corpus=tests/fuzz/corpus/$(basename "$f")
    mkdir -p "build/fuzz/corpus/$(basename "$f")"
    # Inputs up to 64 KiB reach the deeply nested documents of the corpus.
    "$f" -max_total_time="${WARDEX_FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -max_len=65536 \
        "build/fuzz/corpus/$(basename "$f")" $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -n 2
done

echo "== windows-x86: the shipped program"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs"
scripts/check-imports.sh build/windows-x86/src/Wardex.exe

echo "== windows-x64: Windows tests and scenarios under Wine"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
ctest --preset windows-x64 -j "$jobs" --output-on-failure

echo "== windows-x86: the shipped program's Windows tests and scenarios under the 32-bit lab"
ctest --preset windows-x86 -L x86 -j "$jobs" --output-on-failure
