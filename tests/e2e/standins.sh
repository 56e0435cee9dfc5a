#!/usr/bin/env bash
# The lab's stand-ins under Wine: CorvelService.exe installs itself and runs as a real service
# while winlogon.exe keeps the session alive, and its behaviour file makes it misbehave on purpose.
set -euo pipefail
: "${WARDEX_BUILD_DIR:?}"
src=${WARDEX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
# shellcheck source=lab/standins.sh
. "$src/lab/standins.sh"
wine_report_errors

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# A service program takes seconds to start or stop on a busy machine (an emulated 32-bit one
# longer): the wait ends as soon as the state is there, the limit only bounds a failure.
expect_state() {
    local want=$1 what=$2
    corvel_wait_state "$want" 60 || fail "$what: state $(corvel_state), expected $want"
}

standins_prefix_fresh "$WARDEX_BUILD_DIR/wine/e2e-standins"
trap standins_cleanup EXIT
agent="$WINEPREFIX/drive_c/Program Files/Corvel/Agent"
standins_place "$agent"
key='HKLM\SYSTEM\CurrentControlSet\Services\CorvelService'

echo "-- install registers a demand-start service at the quoted path, and may run again"
corvel_run "$agent" install || fail "install exit code $?"
corvel_run "$agent" install || fail "second install exit code $?"
wine reg query "$key" >"$agent/reg.txt" 2>&1 || fail "no service key"
image="\"$(standins_winpath "$agent")\\CorvelService.exe\""
grep -qF "ImagePath    REG_SZ    $image" "$agent/reg.txt" || fail "ImagePath: $(cat "$agent/reg.txt")"
grep -q "Start    REG_DWORD    0x3" "$agent/reg.txt" || fail "Start is not demand"
[ "$(corvel_calls "$agent" install)" = 2 ] || fail "calls: $(cat "$agent/CorvelService.calls")"

echo "-- the service runs while winlogon.exe lives, and stops when asked"
# winlogon.exe keeps the session, and with it the service, alive: its lifetime only bounds a
# scenario that never asks it to end, and must outlast the slowest run of the steps below.
winlogon_start "$agent" 900 || fail "winlogon.exe did not start"
corvel_sc "$agent/sc.txt" start CorvelService || fail "start: $(cat "$agent/sc.txt")"
expect_state 4 "started"
corvel_sc "$agent/sc.txt" stop CorvelService || fail "stop: $(cat "$agent/sc.txt")"
expect_state 1 "stopped"
grep -q "state=running" "$agent/CorvelService.calls" || fail "running was not recorded"

echo "-- a brief service reports running, then stopped on its own"
corvel_behaviour "$agent" start=brief start.seconds=0.5
corvel_sc "$agent/sc.txt" start CorvelService || fail "brief start: $(cat "$agent/sc.txt")"
expect_state 1 "brief service"
tail -n 2 "$agent/CorvelService.calls" | grep -q "state=stopped" || fail "brief: no stop recorded"

echo "-- a start that stays pending keeps its wait hint until the service runs"
# The pending start lasts long enough that the query lands inside it on a busy machine too (a
# Wine program can take seconds to start there, an emulated 32-bit one longer).
corvel_behaviour "$agent" start=pending start.wait_hint=7000 start.seconds=20
corvel_sc "$agent/sc.txt" start CorvelService || fail "pending start: $(cat "$agent/sc.txt")"
corvel_sc "$agent/q.txt" query CorvelService
grep -q "STATE *: 2" "$agent/q.txt" || fail "not start pending: $(cat "$agent/q.txt")"
grep -q "WAIT_HINT *: 0x1b58" "$agent/q.txt" || fail "wait hint: $(cat "$agent/q.txt")"
corvel_wait_state 4 60 || fail "not running after the pending start: state $(corvel_state)"
corvel_sc "$agent/sc.txt" stop CorvelService || fail "stop: $(cat "$agent/sc.txt")"
expect_state 1 "stopped after the pending start"

echo "-- a stop that hangs stays stop pending"
corvel_behaviour "$agent" stop=hang
corvel_sc "$agent/sc.txt" start CorvelService || fail "start: $(cat "$agent/sc.txt")"
expect_state 4 "started before the hanging stop"
corvel_sc "$agent/sc.txt" stop CorvelService || true
sleep 2
expect_state 3 "hanging stop"

echo "-- install exits with the code asked for, or hangs past the caller's patience"
corvel_behaviour "$agent" install.exit=7
rc=0
corvel_run "$agent" install || rc=$?
[ "$rc" = 7 ] || fail "install.exit gave $rc"
corvel_behaviour "$agent" install.hang=30
rc=0
corvel_run "$agent" install 3 || rc=$?
[ "$rc" = 124 ] || fail "a hanging install ended with $rc"

echo "-- enable makes the service start automatically"
corvel_behaviour "$agent"
corvel_run "$agent" enable || fail "enable exit code $?"
wine reg query "$key" /v Start >"$agent/reg.txt" 2>&1
grep -q "Start    REG_DWORD    0x2" "$agent/reg.txt" || fail "Start: $(cat "$agent/reg.txt")"

echo "-- winlogon.exe ends when asked"
kill -0 "$WINLOGON_PID" 2>/dev/null || fail "winlogon.exe ended before it was asked"
winlogon_stop "$agent" || fail "winlogon.exe did not end by itself"
echo "PASS"
