#!/usr/bin/env bash
# The remote update under Wine: after three reinstalls within three hours, "repair" fetches the
# update document from the lab's loopback server, downloads the installer it names, checks its
# signature and signer against its own and starts it in the user's session. An installer signed
# by another signer is not started, its file is removed, and the run falls back to the reinstall.
set -euo pipefail
# shellcheck source=lab/lab.sh
. "${WARDEX_SOURCE_DIR:?}/lab/lab.sh"
wine_report_errors

T=$'\t'
scenario=
server=
served=
fail() {
    echo "FAIL ($scenario): $*"
    lab_messages "$LAB_PROGRAM" | grep -v log_installed_files | sed 's/^/    /'
    [ -n "$served" ] && sed 's/^/    server: /' "$served/server.err"
    exit 1
}
stop_server() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
        server=
    fi
}
trap 'rc=$?; stop_server; lab_done $rc' EXIT

# A fresh lab whose settings point at a loopback server that serves the recorder stand-in as the
# installer, signed by SIGNER; the agent needs a remedy (vdnc.ini changed) and three reinstalls
# were counted a minute ago.
fresh() {
    scenario=$1
    echo "-- $scenario"
    stop_server
    lab_done
    lab_fresh "remote-$2"
    lab_agent running || fail "the lab's agent could not be laid out"
    served="$LAB_DIR/served"
    rm -rf "$served"
    mkdir -p "$served"
    cp "$WARDEX_BUILD_DIR/lab/bin/recorder.exe" "$served/installer.exe"
    lab_sign_as "$3" "$served/installer.exe"
    python3 "$WARDEX_SOURCE_DIR/lab/http_server.py" --folder "$served" \
        --port-file "$served/port" --time-limit 300 >"$served/server.out" 2>"$served/server.err" &
    server=$!
    for _ in $(seq 600); do  # at most a minute, on a busy machine
        [ -s "$served/port" ] && break
        sleep 0.1
    done
    [ -s "$served/port" ] || fail "the HTTP server did not start"
    printf '{"app_id":"com.valdrin.lab","regpath":{"product":"SOFTWARE\\\\Valdrin Agent"},"update":"http://127.0.0.1:%s/update.json"}' \
        "$(cat "$served/port")" >"$LAB_PROGRAM/settings/Corvel.json"
    lab_md5 "$LAB_PROGRAM/settings/Corvel.json"
    printf 'changed\n' >>"$LAB_PROGRAM/vdnc.ini"
    mkdir -p "$LAB_PROGRAM/storage"
    printf '{"local_update":{"count":0,"time":0,"version":""},"repair":{"count":3,"time":%s},"start_service":{"count":1,"time":1},"tolvar_report":{"last_report_time":0}}' \
        "$(($(date +%s) - 60))" >"$LAB_PROGRAM/storage/wardex.json"
}
repair() {
    lab_run "$LAB_PROGRAM" repair
    [ "$LAB_RC" = 0 ] || fail "exit code $LAB_RC"
}
logged() { lab_messages "$LAB_PROGRAM" | grep -F -- "$1" >/dev/null; }
expect_logged() { logged "$1" || fail "not logged: $1"; }
# The calls of the downloaded installer, wherever the temporary folder is.
update_calls() { find "$WINEPREFIX/drive_c/users" -name '*.calls' -exec cat {} + 2>/dev/null || true; }
# The downloaded installers left in the temporary folder (three letters, a number, ".tmp").
downloads() {
    find "$WINEPREFIX/drive_c/users" -regextype posix-extended \
        -regex '.*/[a-z]{3}[0-9A-Fa-f]+\.tmp' 2>/dev/null | wc -l
}
counters() {
    python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
print("repair=%d start=%d" % (d["repair"]["count"], d["start_service"]["count"]))' \
        "$LAB_PROGRAM/storage/wardex.json"
}
reported_action() {
    awk -F'\t' '$1 == "field" && $3 == "action" { print $4 }' "$LAB_PROGRAM/vdec-calls.txt" \
        2>/dev/null | tr -d '\r'
}

fresh "an installer signed by the program's signer: downloaded, checked and started" same "$LAB_SIGNER"
repair
expect_logged "16${T}repair${T}TRY UPDATE"
logged "update::exec" && fail "the update logged a failure"
logged "MUST REPAIR" && fail "the agent was reinstalled after the update"
update_calls | grep -q "session=1 cmdline=.* /source:wardex_update$" || fail "installer: $(update_calls)"
[ "$(counters)" = "repair=0 start=0" ] || fail "counters: $(counters)"
[ "$(reported_action)" = json_update ] || fail "reported: $(reported_action)"
[ "$(downloads)" = 1 ] || fail "the started installer's file: $(downloads)"
grep -q "GET /update.json" "$served/server.err" || fail "no document fetched"

fresh "an installer signed by somebody else: not started, the run reinstalls" other "Somebody Else"
repair
expect_logged "8${T}repair${T}UPDATE FAILED"
expect_logged "16${T}repair${T}MUST REPAIR"
[ -z "$(update_calls)" ] || fail "the foreign installer ran: $(update_calls)"
[ "$(downloads)" = 0 ] || fail "the refused installer stayed in the temporary folder"
[ "$(counters)" = "repair=4 start=0" ] || fail "counters: $(counters)"
grep -q "wardex_repair" "$LAB_PROGRAM/installer/installer.calls" || fail "no reinstall"
echo PASS
