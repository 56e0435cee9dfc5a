#!/usr/bin/env bash
# bench/repair.sh [RUNS]: what a healthy "repair" costs beyond start-up. Wardex.exe runs RUNS
# times (default 11) with "repair" against the lab's healthy agent and as many times with a word
# it does not know (start-up and tear-down alone), interleaved, under one warm Wine session of the
# same prefix; prints both medians, their ratio and their difference.
#
# Environment: WARDEX_BUILD_DIR (default build/windows-x64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WARDEX_BUILD_DIR=${WARDEX_BUILD_DIR:-$root/build/windows-x64}
runs=${1:-11}
# shellcheck source=lab/lab.sh
. "$root/lab/lab.sh"

for exe in "$WARDEX_BUILD_DIR/src/Wardex.exe" "$WARDEX_BUILD_DIR/lab/bin/recorder.exe"; do
    [ -f "$exe" ] || { echo "missing $exe: build the windows-x64 preset first" >&2; exit 1; }
done

trap lab_done EXIT
# The agent's winlogon.exe keeps the session warm for both kinds of run alike.
lab_fresh bench-repair >"$WARDEX_BUILD_DIR/bench-repair-lab.log" 2>&1
lab_agent running >>"$WARDEX_BUILD_DIR/bench-repair-lab.log" 2>&1
wardex="$LAB_PROGRAM/Wardex.exe"

# Milliseconds of one run of Wardex.exe WORD; output goes to a file, never to a pipe.
one_run() {
    local start end
    start=$(date +%s%N)
    (cd "$LAB_PROGRAM" && wine "$wardex" "$1" >"$LAB_DIR/run.out" 2>&1) || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# One run of each first, so that both find the files in the cache.
one_run no-such-command >/dev/null
one_run repair >/dev/null
grep -q "is running & valid settings" "$LAB_PROGRAM/wardex-log.txt" ||
    { echo "the lab's agent is not healthy: see $LAB_PROGRAM/wardex-log.txt" >&2; exit 1; }
base=()
subject=()
for ((i = 0; i < runs; i++)); do
    base+=("$(one_run no-such-command)")
    subject+=("$(one_run repair)")
done

base_ms=$(median "${base[@]}")
subject_ms=$(median "${subject[@]}")
echo "runs:                   $runs each"
echo "start-up alone median:  $base_ms ms   (${base[*]})"
echo "healthy repair median:  $subject_ms ms   (${subject[*]})"
awk -v s="$subject_ms" -v b="$base_ms" \
    'BEGIN { printf "ratio:                  %.2f\ndifference:             %d ms\n", (b > 0 ? s / b : 0), s - b }'
