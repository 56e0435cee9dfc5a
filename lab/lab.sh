#!/usr/bin/env bash
# shellcheck shell=bash
# The lab: an agent installation in a fresh Wine prefix, with Wardex.exe and the product's
# libraries signed by a test signer made at run time.
#
# Sourced (WARDEX_BUILD_DIR is a Windows build tree, windows-x64 or the shipped windows-x86: the
# lab runs its programs under the matching Wine):
#   lab_fresh NAME            a fresh prefix and installation in a folder of its own,
#                             $WARDEX_BUILD_DIR/labs/NAME.XXXXXX; sets LAB_DIR, WINEPREFIX,
#                             LAB_PROGRAM (the program folder, Unix path) and LAB_PROGRAM_WIN (the
#                             same as Windows sees it)
#   lab_install DIR           copies Wardex.exe, log.dll, IServConfig.dll and its settings (and
#                             the agent's CorvelService.exe when its stand-in is built) into DIR
#                             and signs the binaries with the lab's signer
#   lab_binary NAME           the unsigned build output of Wardex.exe, log.dll or IServConfig.dll
#   lab_sign_as SIGNER FILE   signs FILE with the signer of that name (made on first use in the lab)
#   lab_run DIR WORD...       runs DIR/Wardex.exe with the words; LAB_RC is its exit code (the
#                             low 8 bits, as Windows exit codes reach a shell)
#   lab_done                  ends the prefix's Wine server and every program still running
#   lab_log DIR               the lines log.dll recorded in DIR, one per call:
#                             kind TAB level TAB function TAB text
#   lab_messages DIR          only the messages (kind 0): level TAB function TAB text
#   lab_winpath PATH          the Windows path of a Unix path under the prefix's drive C
#   lab_agent [running|stopped]
#                             lays out the whole agent around LAB_PROGRAM (after lab_fresh): the
#                             product folder (LAB_PRODUCT) with the version record, the agent's
#                             CorvelService.exe and a copy of CorvelUI.exe; the program folder with
#                             vdnc.ini and settings\Corvel.json and their ".md5" companions,
#                             CorvelUI.exe, PeerScout.exe, installer\installer.exe (recorder.exe
#                             copies), vdec.dll, apps_data and CorvelDP.dll; the product key with
#                             the kit's version. Registers the service
#                             and starts it unless "stopped"; winlogon.exe runs in the product
#                             folder so that the session and the service stay up. Wine creates no
#                             symbolic links, so the three links are left out.
#   lab_md5 FILE              writes FILE.md5 with FILE's digest
#   lab_stage_update VERSION  stages an agent update as the agent does (after lab_agent): the
#                             version folder LAB_PRODUCT/VERSION with a copy of the
#                             CorvelService.exe stand-in, and the update record update.json
#                             {"path": VERSION, "version": VERSION} in the product folder
#
# Run: lab/lab.sh BUILD_DIR [WORD...] lays out a fresh lab, runs Wardex.exe once and shows what
# it logged.
#
# Wine programs always write to files: a $(...) capture hangs while a child of the program still
# holds the console.

_lab_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lab/wine-env.sh
. "$_lab_here/wine-env.sh"
# shellcheck source=lab/signing.sh
. "$_lab_here/signing.sh"

# The product's folder under Program Files (what IServConfig.dll answers for property 2), the
# version folder that holds the program, and the name of the signer of the product's binaries.
LAB_PRODUCT_FOLDER='Valdrin\Agent'
LAB_VERSION=1.0.0
LAB_SIGNER='Valdrin Software'

_lab_build() { echo "${WARDEX_BUILD_DIR:?WARDEX_BUILD_DIR is not set}"; }

# The first of the candidate files that exists.
_lab_find() {
    local f
    for f in "$@"; do
        if [ -f "$f" ]; then
            echo "$f"
            return 0
        fi
    done
    echo "lab: none of these exists: $*" >&2
    return 1
}

lab_winpath() {
    local rel=${1#"$WINEPREFIX/drive_c"}
    rel=${rel//\//\\}
    echo "C:$rel"
}

# A copy of the build tree's pristine prefix.
_lab_prefix_fresh() { wine_prefix_from_pristine "$1" "$(_lab_build)"; }

_lab_signer_dir() {
    local name=$1 dir
    dir="${LAB_DIR:-$(_lab_build)/labs}/signers/${name// /_}"
    if [ ! -f "$dir/chain.pem" ]; then
        lab_make_signer "$dir" "$name"
    fi
    echo "$dir"
}

lab_sign_as() {
    local signer=$1 file=$2
    lab_sign "$(_lab_signer_dir "$signer")" "$file"
}

lab_binary() {
    local build
    build=$(_lab_build)
    case "$1" in
    Wardex.exe) _lab_find "$build/src/Wardex.exe" ;;
    log.dll) _lab_find "$build/lab/logdll/log.dll" "$build/lab/bin/log.dll" ;;
    IServConfig.dll)
        _lab_find "$build/lab/iservconfig/IServConfig.dll" "$build/lab/bin/IServConfig.dll"
        ;;
    *)
        echo "lab: unknown binary $1" >&2
        return 1
        ;;
    esac
}

lab_install() {
    local dir=$1 f
    mkdir -p "$dir"
    for f in Wardex.exe log.dll IServConfig.dll; do
        cp "$(lab_binary "$f")" "$dir/$f" || return 1
    done
    # The agent's own executable, when its stand-in is built.
    if [ -f "$(_lab_build)/lab/bin/CorvelService.exe" ]; then
        cp "$(_lab_build)/lab/bin/CorvelService.exe" "$dir/"
    fi
    printf '0=Valdrin Agent\n2=%s\n' "$LAB_PRODUCT_FOLDER" >"$dir/iservconfig.ini"
    for f in Wardex.exe log.dll IServConfig.dll CorvelService.exe; do
        if [ -f "$dir/$f" ]; then
            lab_sign_as "$LAB_SIGNER" "$dir/$f"
        fi
    done
    rm -f "$dir/wardex-log.txt"
}

lab_fresh() {
    local name=$1
    # Every lab gets a folder of its own, also when the same scenario runs twice at once in one
    # build tree: a prefix's Wine server is found, and ended, by the prefix's path, and ending it
    # ends every program it serves (Wine gives them exit code 1). A shared folder would let one
    # run end, or replace, the prefix of the other in the middle of its runs.
    mkdir -p "$(_lab_build)/labs"
    LAB_DIR=$(mktemp -d "$(_lab_build)/labs/$name.XXXXXX")
    _lab_prefix_fresh "$LAB_DIR/prefix"
    # One Wine server serves all runs of the lab (runs take about a second instead of several);
    # lab_done ends it, and it ends by itself after a minute without programs should the lab be
    # left without lab_done.
    wineserver -p60
    # 64-bit Windows names its native Program Files folder in "ProgramW6432Dir", in both registry
    # views; Wine 8 leaves the value out, so the lab machine gets it as Windows has it (the
    # 32-bit program reads the 32-bit view).
    local view
    for view in 64 32; do
        wine reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion' /v ProgramW6432Dir \
            /t REG_SZ /d 'C:\Program Files' /f /reg:$view >"$LAB_DIR/reg.out" 2>&1 || return 1
    done
    LAB_PROGRAM="$WINEPREFIX/drive_c/Program Files/${LAB_PRODUCT_FOLDER//\\//}/$LAB_VERSION"
    LAB_PROGRAM_WIN=$(lab_winpath "$LAB_PROGRAM")
    lab_install "$LAB_PROGRAM"
}

lab_md5() {
    md5sum "$1" | cut -d' ' -f1 | tr -d '\n' >"$1.md5"
}

lab_agent() {
    local state=${1:-running} bin f
    bin="$(_lab_build)/lab/bin"
    # shellcheck source=lab/standins.sh
    . "$_lab_here/standins.sh"
    LAB_PRODUCT=$(dirname "$LAB_PROGRAM")
    printf '{"path":"%s","version":"%s"}' "$LAB_VERSION" "$LAB_VERSION" >"$LAB_PRODUCT/version.json"
    mkdir -p "$LAB_PROGRAM/settings" "$LAB_PROGRAM/apps_data" "$LAB_PROGRAM/installer"
    printf '[agent]\nmode=lab\n' >"$LAB_PROGRAM/vdnc.ini"
    printf '{"app_id":"com.valdrin.lab","regpath":{"product":"SOFTWARE\\\\Valdrin Agent"}}' \
        >"$LAB_PROGRAM/settings/Corvel.json"
    lab_md5 "$LAB_PROGRAM/vdnc.ini"
    lab_md5 "$LAB_PROGRAM/settings/Corvel.json"
    printf 'lab' >"$LAB_PROGRAM/CorvelDP.dll"
    cp "$bin/recorder.exe" "$LAB_PROGRAM/CorvelUI.exe"
    cp "$bin/recorder.exe" "$LAB_PROGRAM/PeerScout.exe"
    cp "$bin/recorder.exe" "$LAB_PROGRAM/installer/installer.exe"
    cp "$bin/recorder.exe" "$LAB_PRODUCT/CorvelUI.exe"
    # The product's event client, signed by the product's signer as the shipped one is.
    cp "$(_lab_build)/lab/vdec/vdec.dll" "$LAB_PROGRAM/"
    lab_sign_as "$LAB_SIGNER" "$LAB_PROGRAM/vdec.dll"
    rm -f "$LAB_PROGRAM/CorvelService.exe"
    # The product key the installer writes: the kit's version under "Install". The shipped 32-bit
    # program reads it in the 32-bit view; the 64-bit build under test reads the native view.
    local view
    for view in 32 64; do
        wine reg add 'HKLM\SOFTWARE\Valdrin Agent\Install' /v ProductVersion /t REG_SZ \
            /d "$LAB_VERSION" /f /reg:$view >"$LAB_DIR/reg.out" 2>&1 || return 1
    done
    standins_place "$LAB_PRODUCT"
    lab_sign_as "$LAB_SIGNER" "$LAB_PRODUCT/CorvelService.exe"
    winlogon_start "$LAB_PRODUCT" 900 || return 1
    corvel_run "$LAB_PRODUCT" install || return 1
    if [ "$state" = running ]; then
        wine sc start CorvelService >"$LAB_DIR/sc.out" 2>&1 || return 1
        corvel_wait_state 4 60 || return 1
    fi
    rm -f "$LAB_PRODUCT/CorvelService.calls"
}

lab_stage_update() {
    local version=$1 folder
    folder="${LAB_PRODUCT:?lab_agent comes first}/$version"
    mkdir -p "$folder"
    cp "$(_lab_build)/lab/bin/CorvelService.exe" "$folder/" || return 1
    rm -f "$folder/CorvelService.calls" "$folder/CorvelService.behaviour"
    printf '{"path":"%s","version":"%s"}' "$version" "$version" >"$LAB_PRODUCT/update.json"
}

lab_run() {
    local dir=$1
    shift
    rm -f "$dir/wardex-log.txt"
    # Started from another folder, by its Windows path: the program must find its own folder.
    local rc=0
    (cd "$(_lab_build)" && wine "$(lab_winpath "$dir")\\Wardex.exe" "$@" \
        >"$LAB_DIR/wine.out" 2>"$LAB_DIR/wine.err") || rc=$?
    LAB_RC=$((rc & 255))
    if [ "$LAB_RC" -ne 0 ] && [ -s "$LAB_DIR/wine.err" ]; then
        echo "lab: Wardex.exe $* ended with exit code $LAB_RC; Wine said:" >&2
        tail -n 20 "$LAB_DIR/wine.err" >&2
    fi
}

# lab_done [RC]: ends the lab's Wine server and every program still running. As a script's EXIT
# trap (RC defaults to the script's exit status) it also removes the lab when the script passed,
# and keeps it and says where when it failed.
lab_done() {
    local rc=${1:-$?}
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    if [ -n "${LAB_DIR:-}" ]; then
        wine_prefix_release "$LAB_DIR" "$rc"
    fi
}

lab_log() {
    local file="$1/wardex-log.txt"
    if [ -f "$file" ]; then
        cat "$file"
    fi
}

lab_messages() {
    lab_log "$1" | awk -F'\t' '$1 == "0" { print $2 "\t" $3 "\t" $4 }'
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    wine_report_errors
    if [ $# -lt 1 ]; then
        echo "usage: lab/lab.sh BUILD_DIR [WORD...]" >&2
        exit 2
    fi
    WARDEX_BUILD_DIR=$(cd "$1" && pwd)
    export WARDEX_BUILD_DIR
    shift
    trap lab_done EXIT
    lab_fresh manual
    lab_run "$LAB_PROGRAM" "$@"
    echo "wine $LAB_PROGRAM_WIN\\Wardex.exe $*: exit code $LAB_RC"
    echo "log.dll recorded (kind, level, function, text):"
    lab_log "$LAB_PROGRAM" | sed 's/^/  /'
fi
