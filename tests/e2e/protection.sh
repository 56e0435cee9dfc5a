#!/usr/bin/env bash
# The load protection in a process of its own (the lab's protect-probe.exe) under Wine, against
# the lab's planted.dll wherever a planted library could lie:
#   - unsigned in a folder anybody may write: reported and loaded in report mode, refused with an
#     event in block mode, through each of the four loading functions;
#   - signed (by a signer of its own) in that folder: loaded without an event;
#   - named in the blacklist beside the program: refused in report mode too;
#   - in the program's own folder under Program Files, a system library, a mapped module: loaded
#     without an event;
#   - eight threads loading all of them for a minute: every call answered, the engine stops;
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

prefix=$build/wine/protection
wine_prefix_from_pristine "$prefix" "$build"
work=$prefix/drive_c/users/Public/planted
program=$prefix/drive_c/Program\ Files/ProbeTest
rm -rf "$work" "$program"
mkdir -p "$work" "$program"
chmod 777 "$work"
cp "$build/lab/bin/planted.dll" "$work/unsigned.dll"
cp "$build/lab/bin/planted.dll" "$work/signed.dll"
lab_make_signer "$work/signer" "Someone Else" && lab_sign "$work/signer" "$work/signed.dll"
cp "$build/lab/bin/planted.dll" "$work/evil.dll"
cp "$build/lab/bin/protect-probe.exe" "$build/lab/bin/planted.dll" "$program/"
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

# Block mode with every event.
probe --options 6A --via all "$unsigned" "$signed" mpr.dll
for f in W ExW A ExA; do
    has "load $f $unsigned: refused"
    has "load $f $signed: ok"
done
has "| DLL_BLOCKED | LoadLibraryExA |"
lacks "VULNERABLE_PATH"

# Eight threads for a minute, then the engine stops with no load in flight.
probe --options 1E --via all --threads 8 --seconds 60 "$unsigned" "$signed" "$evil" planted.dll mpr.dll
has "stop: 1"
calls=$(tr -d '\r' <"$out" | sed -n 's/^calls: //p')
[ "${calls:-0}" -gt 1000 ] || fail "only ${calls:-0} calls in a minute"

# The engine stops while eight threads go on loading.
probe --options 1A --threads 8 --seconds 6 --stop-after 2 "$unsigned" mpr.dll
has "stop: 1"
has "calls: "

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "protection: all scenarios passed"
