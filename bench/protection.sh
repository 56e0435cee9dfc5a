#!/usr/bin/env bash
# bench/protection.sh [ROUNDS]: what the load protection adds to library loads, under Wine, in one
# process (the lab's protect-probe.exe): LoadLibraryW of a module that is already mapped, and the
# load and release of a system library that is not, each with the engine off and on, in turns.
# Prints the medians and their ratios.
#
# Environment: WARDEX_BUILD_DIR (default build/windows-x64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WARDEX_BUILD_DIR:-$root/build/windows-x64}
probe=$build/lab/bin/protect-probe.exe
[ -f "$probe" ] || { echo "missing $probe: build the windows-x64 preset first" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bash "$root/lab/wine-run.sh" "$build/wine/bench" "$probe" --bench "${1:-2000}" >"$out" 2>&1 ||
    { cat "$out" >&2; exit 1; }
cat "$out"
