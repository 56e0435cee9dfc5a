#!/usr/bin/env bash
# "repair" against a whole agent installation under Wine, each scenario in a fresh lab: a healthy
# agent, settings changed behind their checksum, a stopped service, a stopped service that was
# started three times already, an agent update in progress, and two remedies within 30 minutes.
set -euo pipefail
# shellcheck source=lab/lab.sh
. "${WARDEX_SOURCE_DIR:?}/lab/lab.sh"
wine_report_errors

T=$'\t'
scenario=
fail() {
    echo "FAIL ($scenario): $*"
    lab_messages "$LAB_PROGRAM" | sed 's/^/    /'
    exit 1
}
trap lab_done EXIT

# A fresh lab with the agent laid out, its service running or stopped.
fresh() {
    scenario=$1
    echo "-- $scenario"
    lab_done
    lab_fresh "repair-$2"
    lab_agent "$3" || fail "the lab's agent could not be laid out"
}
repair() {
    lab_run "$LAB_PROGRAM" repair
    [ "$LAB_RC" = 0 ] || fail "exit code $LAB_RC"
}
logged() { lab_messages "$LAB_PROGRAM" | grep -F -- "$1" >/dev/null; }
expect_logged() { logged "$1" || fail "not logged: $1"; }
state_file() { cat "$LAB_PROGRAM/storage/wardex.json" 2>/dev/null; }
repair_logs() { find "$WINEPREFIX/drive_c/ProgramData/VDLogging/Wardex/repair" -name '*.log' 2>/dev/null; }
reported_action() {
    awk -F'\t' '$1 == "field" && $3 == "action" { print $4 }' "$LAB_PROGRAM/vdec-calls.txt" \
        2>/dev/null | tr -d '\r'
}
installer_calls() { cat "$LAB_PROGRAM/installer/installer.calls" 2>/dev/null; }
# The stored counters, as "repair=N start=N".
counters() {
    state_file | python3 -c 'import json, sys
d = json.load(sys.stdin)
print("repair=%d start=%d" % (d["repair"]["count"], d.get("start_service", {}).get("count", 0)))'
}

fresh "a healthy agent: small fixes only, nothing kept, nothing reported" healthy running
# The updating flag is read in the 64-bit registry view: the key in the 32-bit view alone (where a
# 32-bit process writes by default) is not an update in progress.
wine reg add 'HKLM\SOFTWARE\Valdrin Agent\Install\AgentUpdating' /f /reg:32 >"$LAB_DIR/reg.out" 2>&1
repair
expect_logged "16${T}repair${T}not updating"
expect_logged "16${T}repair${T}is running & valid settings, check symlinks"
# Wine creates no links: every entry is missing and its creation reports success.
[ "$(lab_messages "$LAB_PROGRAM" | grep -c "symlinks::restore${T}create success")" = 3 ] ||
    fail "three links were not created"
logged "MUST REPAIR" && fail "a healthy agent was repaired"
[ -z "$(state_file)" ] || fail "state file written: $(state_file)"
[ -z "$(repair_logs)" ] || fail "repair log written: $(repair_logs)"
[ ! -f "$LAB_PROGRAM/vdec-calls.txt" ] || fail "an event was reported"
[ -z "$(installer_calls)" ] || fail "the installer ran"

fresh "settings changed after their checksum: reinstall" changed running
printf 'changed\n' >>"$LAB_PROGRAM/vdnc.ini"
repair
expect_logged "16${T}repair${T}running=true valid settings=false"
expect_logged "16${T}repair${T}MUST REPAIR"
[ "$(counters)" = "repair=1 start=0" ] || fail "counters: $(state_file)"
installer_calls | grep -q "session=1 cmdline=.*installer\.exe\"\? /source:wardex_repair$" ||
    fail "installer: $(installer_calls)"
# The repaired marker lands in the 32-bit registry view, and only there.
wine reg query 'HKLM\SOFTWARE\Valdrin Agent\repaired' /reg:32 >"$LAB_DIR/marker.txt" 2>&1 ||
    fail "no repaired marker: $(cat "$LAB_DIR/marker.txt")"
wine reg query 'HKLM\SOFTWARE\Valdrin Agent\repaired' /reg:64 >"$LAB_DIR/marker.txt" 2>&1 &&
    fail "the repaired marker is in the 64-bit view"
[ "$(reported_action)" = repair ] || fail "reported: $(reported_action)"
log=$(repair_logs)
[ -n "$log" ] || fail "no repair log"
grep -q "service is running: true" "$log" || fail "repair log: $(cat "$log")"
grep -q "TRY REPAIR" "$log" || fail "repair log: $(cat "$log")"

fresh "the service stopped: started through install, enable and a start" stopped stopped
repair
expect_logged "16${T}repair${T}success start service"
[ "$(corvel_calls "$LAB_PRODUCT" install)" = 1 ] && [ "$(corvel_calls "$LAB_PRODUCT" enable)" = 1 ] ||
    fail "agent commands: $(cat "$LAB_PRODUCT/CorvelService.calls")"
[ "$(corvel_state)" = 4 ] || fail "service state $(corvel_state)"
[ "$(counters)" = "repair=0 start=1" ] || fail "counters: $(state_file)"
[ "$(reported_action)" = start_service ] || fail "reported: $(reported_action)"
grep -q '"is_service_running": false' "$LAB_PROGRAM/vdec-calls.txt" || fail "run record"
# Wine has no event log queries: both halves fail, and the record's history is empty.
grep -q '"win_events_log": \[\]}' "$LAB_PROGRAM/vdec-calls.txt" || fail "events: $(grep reason= "$LAB_PROGRAM/vdec-calls.txt")"
expect_logged "8${T}get_corvelservice_win_events${T}get_corvelservice_app_win_events err=31 event_log::query failed"

fresh "the service stopped after three starts: reinstall without a start" started3 stopped
mkdir -p "$LAB_PROGRAM/storage"
printf '{"local_update":{"count":0,"time":0,"version":""},"repair":{"count":0,"time":0},"start_service":{"count":3,"time":1},"tolvar_report":{"last_report_time":0}}' \
    >"$LAB_PROGRAM/storage/wardex.json"
repair
expect_logged "16${T}repair${T}MUST REPAIR"
[ "$(corvel_calls "$LAB_PRODUCT" install)" = 0 ] || fail "the service was started"
[ "$(counters)" = "repair=1 start=0" ] || fail "counters: $(state_file)"

fresh "an agent update in progress: nothing else" updating running
wine reg add 'HKLM\SOFTWARE\Valdrin Agent\Install\AgentUpdating' /f /reg:64 >"$LAB_DIR/reg.out" 2>&1
repair
expect_logged "16${T}repair${T}is updating"
logged "not updating" && fail "the run went on"
[ -z "$(state_file)" ] || fail "state file written"

fresh "two remedies within 30 minutes: one report" twice running
printf 'changed\n' >>"$LAB_PROGRAM/vdnc.ini"
repair
repair
expect_logged "16${T}report_agent_repair${T}don't send tolvar event, too soon"
[ "$(grep -c '^event' "$LAB_PROGRAM/vdec-calls.txt")" = 1 ] ||
    fail "submitted: $(grep -c '^event' "$LAB_PROGRAM/vdec-calls.txt")"
[ "$(counters)" = "repair=2 start=0" ] || fail "counters: $(state_file)"
echo PASS
