#!/usr/bin/env bash
# bench/download.sh [MIB] [RUNS]: download throughput of the program's HTTP client from the lab's
# loopback server, against curl fetching the same file from the same server. A file of MIB MiB
# (default 64) is fetched RUNS times (default 5) by each, in turns; prints both medians in MiB/s
# and their ratio (client / curl).
#
# The client runs as lab/http_get's http-get.exe under one warm Wine session (kept alive by the
# lab's winlogon.exe); Wine's start-up is measured once with an empty file and taken off.
# Environment: WARDEX_BUILD_DIR (default build/windows-x64). Needs curl and python3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WARDEX_BUILD_DIR=${WARDEX_BUILD_DIR:-$root/build/windows-x64}
mib=${1:-64}
runs=${2:-5}
# shellcheck source=lab/standins.sh
. "$root/lab/standins.sh"
for f in "$WARDEX_BUILD_DIR/lab/bin/http-get.exe" "$WARDEX_BUILD_DIR/lab/bin/winlogon.exe"; do
    [ -f "$f" ] || { echo "missing $f: build the windows-x64 preset first" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "curl is needed: apt-get install curl" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/wardex-download.XXXXXX")
export WINEPREFIX=$WARDEX_BUILD_DIR/wine/bench-download
wine_prefix_ready "$WINEPREFIX"
session="$WINEPREFIX/drive_c/bench"
mkdir -p "$session"
cp "$WARDEX_BUILD_DIR/lab/bin/http-get.exe" "$WARDEX_BUILD_DIR/lab/bin/winlogon.exe" "$session/"
head -c $((mib * 1048576)) /dev/urandom >"$work/big.bin"
: >"$work/empty.bin"
python3 "$root/lab/http_server.py" --folder "$work" --port-file "$work/port" --time-limit 1800 \
    >"$work/server.out" 2>"$work/server.err" &
server=$!
cleanup() {
    kill "$server" 2>/dev/null || true
    standins_cleanup
    rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
port=$(cat "$work/port")
winlogon_start "$session" 1800

ms() { echo $(($(date +%s%N) / 1000000)); }
client_run() {
    local start end
    start=$(ms)
    wine 'C:\bench\http-get.exe' "http://127.0.0.1:$port/files/$1" 'C:\bench\out.bin' \
        >"$work/client.out" 2>&1 || { echo "http-get failed: $(cat "$work/client.out")" >&2; exit 1; }
    end=$(ms)
    echo $((end - start))
}
curl_run() {
    local start end
    start=$(ms)
    curl -s -o "$work/curl.bin" "http://127.0.0.1:$port/files/$1"
    end=$(ms)
    echo $((end - start))
}
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

client_run empty.bin >/dev/null
overhead=()
for ((i = 0; i < 3; i++)); do overhead+=("$(client_run empty.bin)"); done
start_ms=$(median "${overhead[@]}")
client=()
curls=()
for ((i = 0; i < runs; i++)); do
    client+=("$(client_run big.bin)")
    curls+=("$(curl_run big.bin)")
done
cmp -s "$work/big.bin" "$session/out.bin" || { echo "the client's copy differs" >&2; exit 1; }
client_ms=$(( $(median "${client[@]}") - start_ms ))
curl_ms=$(median "${curls[@]}")
echo "file:                 $mib MiB, $runs runs each"
echo "Wine start-up:        $start_ms ms (an empty download; taken off the client's times)"
echo "client runs (ms):     ${client[*]}"
echo "curl runs (ms):       ${curls[*]}"
awk -v m="$mib" -v c="$client_ms" -v u="$curl_ms" 'BEGIN {
    cr = (c > 0 ? m * 1000 / c : 0); ur = (u > 0 ? m * 1000 / u : 0)
    printf "client median:        %.1f MiB/s\ncurl median:          %.1f MiB/s\nratio (client/curl):  %.2f\n", cr, ur, (ur > 0 ? cr / ur : 0) }'
