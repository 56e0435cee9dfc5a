#!/usr/bin/env bash
# The demo: builds Wardex.exe and the lab's stand-ins of the agent, lays out a whole agent
# installation in a fresh Wine prefix, runs "Wardex.exe repair" on the healthy agent, then breaks
# the agent twice (stops its service; changes a settings file behind its checksum) and runs
# "repair" after each, showing what the program logged, its repair log and its state file.
#
#   scripts/demo.sh [x86|x64]   x86 (default): the shipped 32-bit program, as a WoW64 process
#                               under the 32-bit lab; x64: the 64-bit build under the host's Wine
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-x86}
case "$arch" in
x86 | x64) ;;
*)
    echo "usage: scripts/demo.sh [x86|x64]" >&2
    exit 2
    ;;
esac
scripts/deps.sh

echo "== building Wardex.exe and the lab stand-ins (windows-$arch)"
cmake --preset "windows-$arch" >/dev/null
cmake --build --preset "windows-$arch" -j 2 --target Wardex logdll iservconfig_standin \
    vdec_standin lab_corvelservice lab_winlogon lab_recorder >/dev/null

export WARDEX_BUILD_DIR=$PWD/build/windows-$arch
# shellcheck source=lab/lab.sh
. lab/lab.sh
wine_report_errors
# The demo's lab stays for a look around; the next demo replaces it.
export WARDEX_KEEP_LABS=1
trap lab_done EXIT

echo "== laying out the agent installation in a fresh Wine prefix"
lab_fresh demo >/dev/null
lab_agent running >"$LAB_DIR/agent.out" 2>&1 || { cat "$LAB_DIR/agent.out"; exit 1; }
echo "product folder:  $(lab_winpath "$LAB_PRODUCT")"
echo "                 version.json, CorvelService.exe (the agent's service, running), CorvelUI.exe"
echo "program folder:  $LAB_PROGRAM_WIN"
echo "                 Wardex.exe, log.dll, IServConfig.dll, vdec.dll (lab stand-ins, signed by a"
echo "                 test signer \"$LAB_SIGNER\" made just now), vdnc.ini and settings\\Corvel.json"
echo "                 with their .md5 companions, CorvelUI.exe, PeerScout.exe, installer\\installer.exe"

repair_logs="$WINEPREFIX/drive_c/ProgramData/VDLogging/Wardex/repair"
# Runs "repair" and shows what it did.
repair_and_show() {
    rm -rf "$repair_logs" "$LAB_PROGRAM/vdec-calls.txt"
    lab_run "$LAB_PROGRAM" repair
    echo "   exit code: $LAB_RC"
    echo "   what Wardex.exe logged through log.dll (level, function: text; traces left out):"
    lab_messages "$LAB_PROGRAM" | awk -F'\t' '{ printf "     %2s  %s: %s\n", $1, $2, $3 }'
    local log
    log=$(find "$repair_logs" -name '*.log' 2>/dev/null | head -n 1 || true)
    if [ -n "$log" ]; then
        echo "   the repair log ($(lab_winpath "$log")):"
        tr -d '\r' <"$log" | sed 's/^/     /'
    else
        echo "   no repair log section was written"
    fi
    if [ -f "$LAB_PROGRAM/storage/wardex.json" ]; then
        echo "   the state file storage\\wardex.json: $(cat "$LAB_PROGRAM/storage/wardex.json")"
    else
        echo "   no state file was written"
    fi
    if [ -f "$LAB_PROGRAM/vdec-calls.txt" ]; then
        echo "   the repair event as the event client received it:"
        sed -n '/^event\t/,/^end$/p' "$LAB_PROGRAM/vdec-calls.txt" | tr -d '\r' | tr '\t' ' ' |
            sed 's/^/     /'
    fi
    if [ -f "$LAB_PROGRAM/installer/installer.calls" ]; then
        echo "   the agent's installer was started: $(tail -n 1 "$LAB_PROGRAM/installer/installer.calls")"
    fi
}

echo
[ "$arch" = x86 ] && echo "(the 32-bit program runs emulated: each run takes a few seconds)"
echo "== 1. the agent is healthy: wine \"$LAB_PROGRAM_WIN\\Wardex.exe\" repair"
repair_and_show

echo
echo "== 2. the agent's service is stopped (sc stop CorvelService), then \"repair\""
wine sc stop CorvelService >"$LAB_DIR/sc.out" 2>&1
corvel_wait_state 1 20 || echo "   (the service did not stop)"
repair_and_show
echo "   service state now: $(corvel_state) (4 is running)"

echo
echo "== 3. vdnc.ini is changed behind its checksum, then \"repair\""
printf 'tampered=1\n' >>"$LAB_PROGRAM/vdnc.ini"
repair_and_show

cat <<'TEXT'

== what this shows
  1. On a healthy agent the run checks the settings' checksums, finds the service running, puts
     back the product folder's links (Wine creates no real links, so each is "not exists", then
     "create success"), finds CorvelUI.exe in place and, since Wine cannot tell it that
     PeerScout.exe runs, installs and starts the discovery component. It writes no repair log,
     no state file and sends no report.
  2. With the service stopped it writes a repair log section (the installed files with version,
     size and MD5), starts the service through the agent's "install" and "enable" commands and the
     service control manager, counts the start in the state file and reports "start_service" with
     a run record that carries the service's registry values and its event history (Wine has no
     event log queries, so both halves fail and the history is the empty list "[]").
  3. With a settings file changed behind its checksum it must reinstall: it counts the repair,
     clears the start count, starts installer\installer.exe /source:wardex_repair in the user's
     session and sets the volatile "repaired" key. Its "repair" report comes less than 30 minutes
     after the one of step 2, so it is held back ("don't send tolvar event, too soon").
TEXT
