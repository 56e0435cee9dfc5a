# shellcheck shell=bash
# The agent's stand-ins in a Wine prefix, for scenarios and Wine tests (source this file).
# Every function works on the prefix in WINEPREFIX; the stand-ins come from WARDEX_BUILD_DIR/lab/bin.
# Wine programs always write to files here: a $(...) capture hangs while a child of the program
# (a service, winlogon.exe) still holds the console.
#
#   standins_prefix_fresh NAME         WINEPREFIX=NAME.XXXXXX, a fresh copy of the build tree's pristine prefix
#   standins_place DIR                 copies CorvelService.exe and winlogon.exe into DIR
#   standins_winpath PATH              the Windows path ("C:\...") of PATH under $WINEPREFIX/drive_c
#   winlogon_start DIR [SECONDS]       starts DIR/winlogon.exe in the background, waits until it runs;
#                                      it ends by itself after SECONDS (600), and with it the
#                                      prefix's services
#   winlogon_stop DIR                  asks it to end and waits for it; fails when it had to be
#                                      killed
#   corvel_run DIR WORD [SECONDS]      runs DIR/CorvelService.exe WORD; returns its exit code, 124
#                                      when it still runs after SECONDS (it is then killed)
#   corvel_behaviour DIR [KEY=VALUE...] writes DIR/CorvelService.behaviour; no pairs removes it
#   corvel_sc OUT ARGS...              runs "sc ARGS..." with its output in the file OUT
#   corvel_state                       prints the service's state number (1 stopped, 2 start
#                                      pending, 3 stop pending, 4 running), or 0 when unknown
#   corvel_wait_state STATE SECONDS    waits until the service is in STATE; fails after SECONDS
#   corvel_calls DIR WORD              prints how many times CorvelService.exe ran with WORD
#   standins_cleanup [RC]              ends every program of the prefix (wineserver -k); as an EXIT
#                                      trap it removes the prefix when the script passed

_standins_lab=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lab/wine-env.sh
. "$_standins_lab/wine-env.sh"

standins_bin() { echo "${WARDEX_BUILD_DIR:?WARDEX_BUILD_DIR is not set}/lab/bin"; }

# A copy of the build tree's pristine prefix.
standins_prefix_fresh() { wine_prefix_unique "$1" "${WARDEX_BUILD_DIR:?}"; }

standins_place() {
    local dir=$1 bin
    bin=$(standins_bin)
    mkdir -p "$dir"
    cp "$bin/CorvelService.exe" "$bin/winlogon.exe" "$dir/"
    rm -f "$dir/CorvelService.calls" "$dir/CorvelService.behaviour"
}

standins_winpath() {
    local rel=${1#"$WINEPREFIX/drive_c"}
    rel=${rel//\//\\}
    echo "C:$rel"
}

winlogon_start() {
    local dir=$1 seconds=${2:-600}
    rm -f "$dir/winlogon.pid" "$dir/winlogon.stop"
    (cd "$dir" && exec wine winlogon.exe "$seconds" >"$dir/winlogon.out" 2>&1) &
    WINLOGON_PID=$!
    # Limits only bound a failure: a Wine program can take long to start on a busy machine.
    local deadline=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ -s "$dir/winlogon.pid" ] && return 0
        sleep 0.2
    done
    echo "winlogon.exe did not start" >&2
    return 1
}

winlogon_stop() {
    local dir=$1
    touch "$dir/winlogon.stop"
    [ -n "${WINLOGON_PID:-}" ] || return 0
    local deadline=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if ! kill -0 "$WINLOGON_PID" 2>/dev/null; then
            WINLOGON_PID=
            return 0
        fi
        sleep 0.2
    done
    kill "$WINLOGON_PID" 2>/dev/null || true
    WINLOGON_PID=
    return 1
}

corvel_run() {
    local dir=$1 word=$2 seconds=${3:-120} rc=0
    (cd "$dir" && exec timeout "$seconds" wine CorvelService.exe "$word") \
        >"$dir/CorvelService.$word.out" 2>&1 || rc=$?
    return $rc
}

corvel_behaviour() {
    local dir=$1
    shift
    if [ $# -eq 0 ]; then
        rm -f "$dir/CorvelService.behaviour"
    else
        printf '%s\n' "$@" >"$dir/CorvelService.behaviour"
    fi
}

corvel_sc() {
    local out=$1
    shift
    wine sc "$@" >"$out" 2>&1
}

corvel_state() {
    local out="${TMPDIR:-/tmp}/corvel_state.$$" state
    corvel_sc "$out" query CorvelService || true
    state=$(sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p' "$out" | head -n 1)
    rm -f "$out"
    echo "${state:-0}"
}

corvel_wait_state() {
    local want=$1 deadline=$((SECONDS + $2))
    while :; do
        [ "$(corvel_state)" = "$want" ] && return 0
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.5
    done
}

corvel_calls() {
    local dir=$1 word=$2
    local n
    n=$(grep -c "cmdline=.*CorvelService\.exe\"\? $word\$" "$dir/CorvelService.calls" 2>/dev/null)
    echo "${n:-0}"
}

standins_cleanup() {
    local rc=${1:-$?}
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wine_prefix_release "${WINEPREFIX:-}" "$rc"
}
