#!/usr/bin/env bash
# bench/trust_check.sh [ROUNDS]: the load protection's whole check of an untrusted, unsigned
# library against one bare WinVerifyTrust call on the same file, under Wine, as a ratio of medians.
# The library is the lab's planted.dll in a folder anybody may write.
#
# Environment: WARDEX_BUILD_DIR (default build/windows-x64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WARDEX_BUILD_DIR:-$root/build/windows-x64}
rounds=${1:-200}
for f in "$build/bench/trust-check-bench.exe" "$build/lab/bin/planted.dll"; do
    [ -f "$f" ] || { echo "missing $f: build the windows-x64 preset first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 777 "$work/writable"
cp "$build/lab/bin/planted.dll" "$work/writable/planted.dll"
library="Z:$(echo "$work/writable/planted.dll" | tr / '\\')"
bash "$root/lab/wine-run.sh" "$build/wine/bench" "$build/bench/trust-check-bench.exe" \
    "$library" "$rounds" >"$work/out.txt" 2>&1 || { cat "$work/out.txt" >&2; exit 1; }
cat "$work/out.txt"
