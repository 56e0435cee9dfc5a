#!/usr/bin/env bash
# bench/startup.sh [RUNS]: how long Wardex.exe takes to start and end, against nothing.exe, a
# program that returns at once and is linked the same way. Both run RUNS times (default 11),
# interleaved, under one warm Wine session of the same prefix; prints both medians, their ratio
# and their difference.
#
# Wardex.exe runs from the lab's agent installation (signed, with the product's libraries beside it),
# and nothing.exe from the same folder. Environment: WARDEX_BUILD_DIR (default build/windows-x64),
# WARDEX_EXE (measure this Wardex.exe where it lies instead, in a plain prefix), WARDEX_BENCH_WORD
# (default "no-such-command", a word Wardex.exe does not know).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WARDEX_BUILD_DIR=${WARDEX_BUILD_DIR:-$root/build/windows-x64}
runs=${1:-11}
word=${WARDEX_BENCH_WORD:-no-such-command}
# shellcheck source=lab/standins.sh
. "$root/lab/standins.sh"
# shellcheck source=lab/lab.sh
. "$root/lab/lab.sh"

for exe in ${WARDEX_EXE:+"$WARDEX_EXE"} "$WARDEX_BUILD_DIR/lab/bin/nothing.exe" \
    "$WARDEX_BUILD_DIR/lab/bin/winlogon.exe"; do
    [ -f "$exe" ] || { echo "missing $exe: build the windows-x64 preset first" >&2; exit 1; }
done

if [ -n "${WARDEX_EXE:-}" ]; then
    export WINEPREFIX=$WARDEX_BUILD_DIR/wine/bench
    wine_prefix_ready "$WINEPREFIX"
    session="$WINEPREFIX/drive_c/bench"
    wardex=$WARDEX_EXE
else
    lab_fresh bench >"$WARDEX_BUILD_DIR/bench-lab.log" 2>&1
    lab_install "$LAB_PROGRAM" >>"$WARDEX_BUILD_DIR/bench-lab.log" 2>&1
    session=$LAB_PROGRAM
    wardex="$LAB_PROGRAM/Wardex.exe"
fi
mkdir -p "$session"
cp "$WARDEX_BUILD_DIR/lab/bin/winlogon.exe" "$WARDEX_BUILD_DIR/lab/bin/nothing.exe" "$session/"
nothing="$session/nothing.exe"
trap 'rc=$?; standins_cleanup $rc; wine_prefix_release "${LAB_DIR:-}" $rc' EXIT
# Without a program that lives on, Wine shuts its session down after every run and the next run
# pays for starting it again; winlogon.exe keeps the session warm for both programs alike.
winlogon_start "$session" 3600

# Milliseconds of one run of PROGRAM ARGS; output goes to a file, never to a pipe.
one_run() {
    local start end
    start=$(date +%s%N)
    wine "$@" >"$session/run.out" 2>&1 || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# One run of each first, so that both find the files in the cache.
one_run "$nothing" >/dev/null
one_run "$wardex" "$word" >/dev/null
base=()
subject=()
for ((i = 0; i < runs; i++)); do
    base+=("$(one_run "$nothing")")
    subject+=("$(one_run "$wardex" "$word")")
done

base_ms=$(median "${base[@]}")
subject_ms=$(median "${subject[@]}")
echo "runs:               $runs each"
echo "nothing.exe median: $base_ms ms   (${base[*]})"
echo "Wardex.exe median:  $subject_ms ms   (${subject[*]})"
awk -v s="$subject_ms" -v b="$base_ms" \
    'BEGIN { printf "ratio:              %.2f\ndifference:         %d ms\n", (b > 0 ? s / b : 0), s - b }'
