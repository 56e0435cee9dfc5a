#!/usr/bin/env bash
# A planted event client library, as Wardex.exe's load protection reports it.
#
# The agent's vdec.dll is missing from the program folder and an unsigned copy of the lab's
# stand-in lies in a folder anybody may write, on the PATH. A "repair" of a stopped service wants
# to send its report through the program folder's vdec.dll: that load fails, which the protection
# reports; reporting loads "vdec.dll" by its bare name, which the search resolves to the planted
# copy: reported as a vulnerable path and, in report mode, loaded all the same. Both reports reach
# the planted library with every field in order; the repair itself goes on.
set -euo pipefail
# shellcheck source=lab/lab.sh
. "${WARDEX_SOURCE_DIR:?}/lab/lab.sh"
wine_report_errors
trap lab_done EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

lab_fresh planted-report
lab_agent stopped
planted="$WINEPREFIX/drive_c/users/Public/planted"
mkdir -p "$planted"
chmod 777 "$planted"
# The planted copy is the stand-in as built, unsigned; the product's signed one is gone.
rm "$LAB_PROGRAM/vdec.dll"
cp "$WARDEX_BUILD_DIR/lab/vdec/vdec.dll" "$planted/vdec.dll"
rm -f "$planted/vdec-calls.txt"
WINEPATH='C:\users\Public\planted' lab_run "$LAB_PROGRAM" repair
[ "$LAB_RC" -eq 0 ] || fail "exit code $LAB_RC"

T=$'\t'
calls="$planted/vdec-calls.txt"
[ -f "$calls" ] || fail "the planted vdec.dll received nothing"
# The submitted events as the stand-in saw them, with the caller's offset (an address in
# Wardex.exe) checked apart.
events=$(tr -d '\r' <"$calls" 2>/dev/null | awk -F'\t' '$1 == "event" || $1 == "field" || $1 == "end"')
offsets=$(printf '%s\n' "$events" | awk -F'\t' '$3 == "caller_offset" { print $4 }')
for offset in $offsets; do
    [[ $offset =~ ^0x[0-9a-f]+$ ]] || fail "caller_offset '$offset'"
done
[ "$(printf '%s\n' "$offsets" | wc -w)" -eq 2 ] || fail "expected two reports"

report() { # REQUEST LOAD MODULE REASON ERROR_INFO: one expected report, the offset left out
    printf '%s\n' "event${T}dllprotect_report${T}2${T}com.valdrin.lab" \
        "field${T}A${T}request_path${T}$1" "field${T}A${T}load_path${T}$2" \
        "field${T}W${T}module_name${T}$3" "field${T}A${T}reason${T}$4" \
        "field${T}A${T}function_name${T}LoadLibraryW" "field${T}A${T}flags${T}0x0" \
        "field${T}W${T}process_name${T}CorvelWardex" "field${T}A${T}caller_name${T}Wardex.exe" \
        "field${T}A${T}error_info${T}$5" "field${T}A${T}signature${T}UNSIGNED" "end"
}
program_win='C:\Program Files\Valdrin\Agent\1.0.0'
# The Program Files folder the engine compares with is the process's own: a 32-bit process on
# 64-bit Windows has "Program Files (x86)".
prog_files='C:\Program Files'
[ "$(wine_arch)" = x86 ] && prog_files='C:\Program Files (x86)'
want="$(report "$program_win\\vdec.dll" UNKNOWN UNKNOWN LOAD_FAILED 'err:0x2')
$(report vdec.dll '\\?\C:\users\Public\planted\vdec.dll' vdec.dll VULNERABLE_PATH \
    "paths: exe: $program_win\\ prog: $prog_files")"
got=$(printf '%s\n' "$events" | grep -v "${T}caller_offset${T}")
if [ "$got" != "$want" ]; then
    fail "the reports differ:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | sed 's/^/    /' || true
fi
# The client is made once, for the first report, and released at the end.
[ "$(grep -c "^call${T}Init$" "$calls")" -eq 1 ] || fail "Init called other than once"
[ "$(tail -n 1 "$calls" | tr -d '\r')" = "call${T}Uninit" ] || fail "the client was not released last"

# The repair report could not be sent, and the repair went on.
log=$(lab_messages "$LAB_PROGRAM")
grep -F "create vdec_factory instance has failed: LoadVdec failed" <<<"$log" >/dev/null ||
    fail "no failed repair report in the log"
grep -F "${T}repair${T}success start service" <<<"$log" >/dev/null || fail "the service was not started"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "planted report: both reports reached the planted library"
