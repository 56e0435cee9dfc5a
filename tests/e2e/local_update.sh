#!/usr/bin/env bash
# "repair" with an agent update staged beside the installed version, each scenario in a fresh lab:
# a staged version that takes over, and one that fails three times and is then held back.
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

fresh() {
    scenario=$1
    echo "-- $scenario"
    lab_done
    lab_fresh "local-update-$2"
    lab_agent running || fail "the lab's agent could not be laid out"
    lab_stage_update 2.0.0 || fail "the update could not be staged"
    STAGED="$LAB_PRODUCT/2.0.0"
}
repair() {
    lab_run "$LAB_PROGRAM" repair
    [ "$LAB_RC" = 0 ] || fail "exit code $LAB_RC"
}
logged() { lab_messages "$LAB_PROGRAM" | grep -F -- "$1" >/dev/null; }
expect_logged() { logged "$1" || fail "not logged: $1"; }
# The stored attempt record, as "count=N version=V", and its time.
attempts() {
    python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))["local_update"]
print("count=%d version=%s" % (d["count"], d["version"]))' "$LAB_PROGRAM/storage/wardex.json"
}
attempt_time() {
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["local_update"]["time"])' \
        "$LAB_PROGRAM/storage/wardex.json"
}

fresh "a staged version that takes over: the check-and-repair run is skipped" success
repair
expect_logged "16${T}try_local_update${T}update success"
expect_logged "16${T}check_agent${T}success update"
logged "16${T}repair${T}not updating" && fail "the check-and-repair run ran"
[ "$(corvel_calls "$STAGED" update_ready)" = 1 ] || fail "update_ready runs: $(corvel_calls "$STAGED" update_ready)"
grep -q 'cmdline=.*2\.0\.0\\CorvelService\.exe"\? update_ready$' "$STAGED/CorvelService.calls" ||
    fail "command line: $(cat "$STAGED/CorvelService.calls")"
[ ! -e "$LAB_PRODUCT/update.json" ] || fail "update.json is still there"
[ "$(attempts) time=$(attempt_time)" = "count=0 version= time=0" ] ||
    fail "attempt record: $(cat "$LAB_PROGRAM/storage/wardex.json")"
grep -q '"reason": "found update.json", "update.json": {"path": "2.0.0", "version": "2.0.0"}' \
    "$LAB_PROGRAM/vdec-calls.txt" || fail "report: $(cat "$LAB_PROGRAM/vdec-calls.txt")"

fresh "a staged version that fails: three attempts, then held back" failing
corvel_behaviour "$STAGED" update_ready.exit=1
for i in 1 2 3; do
    repair
    expect_logged "4${T}run_update${T}run CorvelService.exe update_ready result=1"
    expect_logged "16${T}repair${T}not updating"
    logged "success update" && fail "run $i: reported a success"
    [ "$(corvel_calls "$STAGED" update_ready)" = "$i" ] || fail "run $i: update_ready runs"
    [ "$(attempts)" = "count=$i version=2.0.0" ] ||
        fail "run $i: attempt record: $(cat "$LAB_PROGRAM/storage/wardex.json")"
done
[ -e "$LAB_PRODUCT/update.json" ] || fail "update.json was removed"
repair
[ "$(corvel_calls "$STAGED" update_ready)" = 3 ] || fail "a fourth attempt was made"
logged "run_update" && fail "run_update ran"
expect_logged "16${T}repair${T}not updating"
[ "$(attempts)" = "count=3 version=2.0.0" ] ||
    fail "attempt record: $(cat "$LAB_PROGRAM/storage/wardex.json")"
echo PASS
