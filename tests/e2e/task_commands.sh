#!/usr/bin/env bash
# "install" and "uninstall" under Wine's task scheduler: the service answers the connection, and
# the registration stops at the run level, which Wine does not implement; the error is logged
# under wWinMain and the exit code stays 0. "uninstall" without a registered task logs no error.
set -euo pipefail
# shellcheck source=lab/lab.sh
. "${WARDEX_SOURCE_DIR:?}/lab/lab.sh"
wine_report_errors

fail() {
    echo "FAIL: $*"
    lab_log "$LAB_PROGRAM" | sed 's/^/    /'
    exit 1
}

T=$'\t'

# Wine stops the task scheduler shortly after the last program of the session ends, so the
# service is started in the same session that runs Wardex.exe: one batch file does both.
run_with_scheduler() {
    cat >"$batch" <<BATCH
@net start schedule >nul 2>&1
@"$LAB_PROGRAM_WIN\\Wardex.exe" $1
@exit /b %errorlevel%
BATCH
    local rc=0
    rm -f "$LAB_PROGRAM/wardex-log.txt"
    (cd "$WARDEX_BUILD_DIR" && wine cmd /c 'C:\wardex-task.cmd' \
        >"$LAB_DIR/wine.out" 2>"$LAB_DIR/wine.err") || rc=$?
    LAB_RC=$((rc & 255))
}

# errors: the level-4 messages of the last run (function TAB text).
errors() { lab_messages "$LAB_PROGRAM" | awk -F'\t' '$1 == "4" { print $2 "\t" $3 }'; }

lab_fresh task_commands
trap lab_done EXIT
batch="$WINEPREFIX/drive_c/wardex-task.cmd"

run_with_scheduler install
[ "$LAB_RC" -eq 0 ] || fail "install: exit code $LAB_RC"
got=$(errors)
# Exactly one error, the run level's.
[[ "$got" == "wWinMain${T}IPrincipal::put_RunLevel failed: "?* && "$got" != *$'\n'* ]] ||
    fail "install logged: $got"

run_with_scheduler uninstall
[ "$LAB_RC" -eq 0 ] || fail "uninstall: exit code $LAB_RC"
[ -z "$(errors)" ] || fail "uninstall logged: $(errors)"
lab_messages "$LAB_PROGRAM" | grep -q "^16${T}wWinMain${T}cmd line: .*uninstall" ||
    fail "uninstall did not run"
echo "task commands: all checks passed"
