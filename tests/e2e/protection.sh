#!/usr/bin/env bash
# The load protection in a process of its own (the lab's protect-probe.exe) under Wine, against
# the lab's planted.dll wherever a planted library could lie:
#   - unsigned in a folder anybody may write: reported and loaded in report mode, refused with an
#     event in block mode, through each of the four loading functions;
#   - signed (by a signer of its own) in that folder: loaded without an event;
#   - named in the blacklist beside the program: refused in report mode too;
#   - in the program's own folder under Program Files, a system library, a mapped module: loaded
#     without an event;
#   - without a consumer the same events go, encrypted, to the dump file, which the host build's
#     reader gives back record for record; a file cut short gives the reader's "torn" error;
#   - eight threads loading all of them for a minute through the supervisor's own start (host
#     side, reporter, the lab's vdec.dll): every call answered, each distinct event sent once as a
#     "dllprotect_report" with its eleven fields in order, the engine stops;
#   - an image section made straight through ntdll, as a manual mapper would, from the unsigned
#     copy: reported and created in report mode, refused (no section handle) in block mode; the
#     signed copy passes, the blacklisted one is refused, a PAGE_EXECUTE_READ section is not
#     examined;
#   - the engine stopped while eight threads go on loading: no crash, the loads go on.
set -euo pipefail
build=${WARDEX_BUILD_DIR:?}
source_dir=${WARDEX_SOURCE_DIR:?}
# shellcheck source=lab/wine-env.sh
. "$source_dir/lab/wine-env.sh"
# shellcheck source=lab/signing.sh
. "$source_dir/lab/signing.sh"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

wine_prefix_unique "$build/wine/protection" "$build"
prefix=$WINEPREFIX
trap 'wine_prefix_release "$prefix" $?' EXIT
work=$prefix/drive_c/users/Public/planted
# The probe's own folder under its Program Files folder: a 32-bit program's is
# "Program Files (x86)" on 64-bit Windows, and only that folder counts as trusted for it.
if [ "$(wine_arch)" = x86 ]; then
    program=$prefix/drive_c/Program\ Files\ \(x86\)/ProbeTest
else
    program=$prefix/drive_c/Program\ Files/ProbeTest
fi
rm -rf "$work" "$program"
mkdir -p "$work" "$program"
chmod 777 "$work"
cp "$build/lab/bin/planted.dll" "$work/unsigned.dll"
cp "$build/lab/bin/planted.dll" "$work/signed.dll"
lab_make_signer "$work/signer" "Someone Else" && lab_sign "$work/signer" "$work/signed.dll"
cp "$build/lab/bin/planted.dll" "$work/evil.dll"
cp "$build/lab/bin/protect-probe.exe" "$build/lab/bin/planted.dll" "$build/lab/vdec/vdec.dll" \
    "$program/"
printf '{"blacklist": ["evil.dll"]}' >"$program/dllblacklist.json"

unsigned='C:\users\Public\planted\unsigned.dll'
signed='C:\users\Public\planted\signed.dll'
evil='C:\users\Public\planted\evil.dll'
out=$build/protection-probe.out

# probe ARGS...: one run of the probe from its Program Files folder; output in $out.
probe() {
    (cd "$program" && WINEPREFIX="$prefix" timeout 300 wine protect-probe.exe "$@" >"$out" 2>&1) ||
        fail "protect-probe $*: exit code $?"
    WINEPREFIX="$prefix" wineserver -w
    if grep -a "Unhandled" "$out" >/dev/null; then
        fail "protect-probe $*: crashed"
        head -n 5 "$out"
    fi
}
has() { grep -aF -- "$1" "$out" >/dev/null || fail "expected '$1' in: $(tr '\n' '~' <"$out" | head -c 1500)"; }
lacks() { ! grep -aF -- "$1" "$out" >/dev/null || fail "did not expect '$1'"; }

# Report mode (the supervisor's options, with the blacklist).
probe --options 1E --via all "$unsigned" "$signed" "$evil" planted.dll mpr.dll kernel32.dll
for f in W ExW A ExA; do
    has "load $f $unsigned: ok"
    has "load $f $signed: ok"
    has "load $f $evil: refused"
    has "load $f planted.dll: ok"
    has "load $f mpr.dll: ok"
done
for f in LoadLibraryW LoadLibraryExW LoadLibraryA LoadLibraryExA; do
    has "event: $unsigned | \\\\?\\$unsigned | VULNERABLE_PATH | $f | 0x0 | protect-probe.exe | 0x"
    # A blacklisted name is refused before it is resolved: its load path is the name as asked.
    has "event: $evil | $evil | DLL_BLOCKED | $f | 0x0 | protect-probe.exe"
done
lacks "event: $signed"
lacks "event: planted.dll"
lacks "event: mpr.dll"
lacks "event: kernel32.dll"
has "stop: 1"
events=$(tr -d '\r' <"$out" | sed -n 's/^event: //p')

# The same loads without a consumer: the engine writes the events to its dump file. Wine's
# processes are elevated, so the file lies beside the probe, not under ProgramData.
dump=$program/dllReport.protect-probe.exe.V2
reader=${WARDEX_DUMP_READER:-$source_dir/build/native/tools/dump-reader/wardex-dump-read}
if [ ! -x "$reader" ]; then
    reader=$source_dir/build/native/tools/dump-reader/wardex-dump-read
    (cd "$source_dir" && cmake --preset native >/dev/null &&
        cmake --build build/native --target wardex_dump_read -j2 >/dev/null) ||
        fail "cannot build the dump reader"
fi
rm -f "$dump"
probe --no-callback --options 1E --via all "$unsigned" "$signed" "$evil" planted.dll mpr.dll kernel32.dll
lacks "event: "
[ ! -e "$prefix/drive_c/ProgramData/48C4687D-9760-4F5B-BAB3-60351B0841E4/${dump##*/}" ] ||
    fail "a dump file under ProgramData"
[ -s "$dump" ] || fail "no dump file beside the probe"
"$reader" "$dump" >"$out.dump" 2>&1 || fail "the reader failed on $dump: $(cat "$out.dump")"
[ "$(grep -c . "$out.dump")" = 8 ] || fail "8 dump records expected: $(cat "$out.dump")"
[ "$(cat "$out.dump")" = "$events" ] ||
    fail "dump records differ from the events: $(diff <(echo "$events") "$out.dump")"
# One byte cut off: the records before the last are given, then the reader's error.
head -c -1 "$dump" >"$out.torn" || true
! "$reader" "$out.torn" >/dev/null 2>"$out.dump" || fail "a torn dump file was read without error"
grep -F "record 7 at offset" "$out.dump" | grep -F "torn record" >/dev/null ||
    fail "torn dump file: $(cat "$out.dump")"

# Block mode with every event.
probe --options 6A --via all "$unsigned" "$signed" mpr.dll
for f in W ExW A ExA; do
    has "load $f $unsigned: refused"
    has "load $f $signed: ok"
done
has "| DLL_BLOCKED | LoadLibraryExA |"
lacks "VULNERABLE_PATH"

# Eight threads for a minute through the supervisor's start, then the engine stops with no load in
# flight. The unsigned copy is also asked for in capitals: the same report.
rm -f "$program/vdec-calls.txt"
probe --host --options 1E --via all --threads 8 --seconds 60 "$unsigned" "${unsigned^^}" "$signed" \
    "$evil" planted.dll mpr.dll
has "host start: 1"
has "load ExA ${unsigned^^}: ok"
has "stop: released"
calls=$(tr -d '\r' <"$out" | sed -n 's/^calls: //p')
[ "${calls:-0}" -gt 1000 ] || fail "only ${calls:-0} calls in a minute"
# One line per submitted report: its key fields and the names of its fields in order.
reports=$(tr -d '\r' <"$program/vdec-calls.txt" | awk -F'\t' '
    $1 == "event" { on = $2 == "dllprotect_report"; names = ""; split("", v); next }
    on && $1 == "field" { names = names " " $3; v[$3] = $4; next }
    on && $1 == "end" { print tolower(v["request_path"] "|" v["load_path"] "|" v["reason"] "|" \
                                      v["process_name"] "|" v["signature"]) names; on = 0 }' | sort)
fields=" request_path load_path module_name reason function_name flags process_name caller_name"
fields+=" caller_offset error_info signature"
want="${evil,,}|${evil,,}|dll_blocked|corvelwardex|unsigned$fields
${unsigned,,}|\\\\?\\${unsigned,,}|vulnerable_path|corvelwardex|unsigned$fields"
[ "$reports" = "$want" ] || fail "reports: $(diff <(echo "$want") <(echo "$reports") | head -c 1500)"
submits=$(grep -c "^call.SubmitEvent" "$program/vdec-calls.txt" || true)
[ "$submits" = 2 ] || fail "$submits submissions, 2 expected"

# An image section of the file, made straight through ntdll: report mode with the blacklist, then
# block mode with every event. Loader-made sections (PAGE_EXECUTE_READ) are not examined.
section_event="\\\\?\\${unsigned,,} |  | REASON | NtCreateSection | 0x0 |  |  | dll is unsigned"
probe --options 9E --section "$unsigned" --section "$signed" --section "$evil" --section-rx "$unsigned"
has "section 0x10 $unsigned: status 0x0, handle written"
has "event: ${section_event/REASON/VULNERABLE_PATH_NTCREATE_SECTION}"
has "section 0x10 $signed: status 0x0, handle written"
has "section 0x10 $evil: status 0xc0000022, handle not written"
has "section 0x20 $unsigned: status 0x0, handle written"
[ "$(grep -c "^event: " "$out")" = 1 ] || fail "one section event expected"
probe --options EA --section "$unsigned" --section "$signed" --section-rx "$unsigned"
has "section 0x10 $unsigned: status 0xc0000022, handle not written"
has "event: ${section_event/REASON/DLL_BLOCKED}"
has "section 0x10 $signed: status 0x0, handle written"
has "section 0x20 $unsigned: status 0x0, handle written"
[ "$(grep -c "^event: " "$out")" = 1 ] || fail "one section event expected"

# The engine stops while eight threads go on loading.
probe --options 1A --threads 8 --seconds 6 --stop-after 2 "$unsigned" mpr.dll
has "stop: 1"
has "calls: "

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "protection: all scenarios passed"
