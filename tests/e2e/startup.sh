#!/usr/bin/env bash
# Start-up of Wardex.exe in the lab's agent installation, one Wine prefix for all runs.
#
# A correctly signed installation under Program Files: every command word, known or not, runs
# between the start and the end of logging, logs its command line and the protection status, and
# ends with exit code 0. "repair" runs under the "check_agent" trace; other words do not.
#
# The start-up refuses quietly (exit code 0, nothing but the start and end of logging, or nothing
# at all before logging) when a product library is not signed by the program's own signer, the
# program runs outside the product's Program Files folder, or its path is too long for its folder
# to be entered.
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

T=$'\t'
started="32${T}scopped_log_init::scopped_log_init${T}ScoppedLogInit"
ended="32${T}scopped_log_init::~scopped_log_init${T}~ScoppedLogInit"
status="16${T}wWinMain${T}dllprotect status=true"

# run WORD... : one run; checks the exit code and the lines every accepted start writes.
run() {
    local label="Wardex.exe $*" messages
    lab_run "$LAB_PROGRAM" "$@"
    [ "$LAB_RC" -eq 0 ] || fail "$label: exit code $LAB_RC"
    mapfile -t messages < <(lab_messages "$LAB_PROGRAM")
    local n=${#messages[@]}
    if [ "$n" -lt 4 ]; then
        fail "$label: expected at least 4 messages, got $n"
        lab_log "$LAB_PROGRAM"
        return
    fi
    [ "${messages[0]}" = "$started" ] || fail "$label: first message is '${messages[0]}'"
    [ "${messages[$((n - 1))]}" = "$ended" ] || fail "$label: last message is '${messages[$((n - 1))]}'"
    # The whole command line, as the process received it: the program's path and the words.
    local cmd="${messages[1]}"
    case "$cmd" in
    "16${T}wWinMain${T}cmd line: "*Wardex.exe*) ;;
    *) fail "$label: second message is '$cmd'" ;;
    esac
    local words="$*"
    if [ -n "$words" ] && [ "${cmd%" $words"}" = "$cmd" ]; then
        fail "$label: command line does not end with '$words': '$cmd'"
    fi
    [ "${messages[2]}" = "$status" ] || fail "$label: third message is '${messages[2]}'"
}

traced() { lab_log "$LAB_PROGRAM" | grep -q "^1${T}32${T}check_agent${T}-> check_agent()$"; }

lab_fresh startup

run repair
traced || fail "repair: no check_agent trace"
lab_log "$LAB_PROGRAM" | grep -q "^-1${T}32${T}check_agent${T}<- check_agent() \[" ||
    fail "repair: the check_agent trace does not end"

run REPAIR
traced || fail "REPAIR: no check_agent trace"

run Install
traced && fail "Install: ran the check_agent trace"

run frobnicate repair
traced && fail "an unknown word ran the check_agent trace"
[ "$(lab_messages "$LAB_PROGRAM" | wc -l)" -eq 4 ] || fail "an unknown word logged more than 4 lines"

run
[ "$(lab_messages "$LAB_PROGRAM" | wc -l)" -eq 4 ] || fail "no word: logged more than 4 lines"

# Refusals.
only_bracket="32${T}scopped_log_init::scopped_log_init${T}ScoppedLogInit
32${T}scopped_log_init::~scopped_log_init${T}~ScoppedLogInit"

# expect DIR LABEL EXPECTED: one "repair" run from DIR; EXPECTED is the whole list of messages.
expect() {
    local dir=$1 label=$2 expected=$3 got
    lab_run "$dir" repair
    [ "$LAB_RC" -eq 0 ] || fail "$label: exit code $LAB_RC"
    got=$(lab_messages "$dir")
    if [ "$got" != "$expected" ]; then
        fail "$label: logged"
        lab_log "$dir" | sed 's/^/    /'
    fi
}

program=$LAB_PROGRAM
pristine="$LAB_DIR/pristine"
rm -rf "$pristine"
cp -a "$program" "$pristine"
restore() { cp "$pristine/$1" "$program/$1"; }

# log.dll signed by somebody else is never loaded: it records nothing, not even its start.
cp "$pristine/log.dll" "$program/log.dll"
lab_sign_as "Somebody Else" "$program/log.dll"
lab_run "$program" repair
[ "$LAB_RC" -eq 0 ] || fail "foreign log.dll: exit code $LAB_RC"
[ ! -e "$program/wardex-log.txt" ] || fail "foreign log.dll was loaded: $(lab_log "$program")"
restore log.dll

# An unsigned, a tampered and a foreign iservconfig.dll end the run right after logging started.
cp "$(lab_binary IServConfig.dll)" "$program/IServConfig.dll"
expect "$program" "unsigned iservconfig.dll" "$only_bracket"

restore IServConfig.dll
printf 'tampered' >>"$program/IServConfig.dll"
expect "$program" "tampered iservconfig.dll" "$only_bracket"

restore IServConfig.dll
lab_sign_as "Somebody Else" "$program/IServConfig.dll"
expect "$program" "foreign iservconfig.dll" "$only_bracket"
restore IServConfig.dll

# A signed copy of the program outside the product's folder ends after logging started.
elsewhere="$WINEPREFIX/drive_c/Elsewhere/$LAB_VERSION"
mkdir -p "$elsewhere"
cp -r "$pristine"/* "$elsewhere/"
expect "$elsewhere" "copy outside Program Files" "$only_bracket"

# So does one two levels below the product folder.
deeper="$program/nested"
mkdir -p "$deeper"
cp -r "$pristine"/* "$deeper/"
expect "$deeper" "copy two levels below the product folder" "$only_bracket"

# The Program Files folder is "ProgramW6432Dir" of the program's own registry view (the 32-bit
# view for the shipped 32-bit program on 64-bit Windows): missing there, the start stops; a
# different value in the other view changes nothing.
own_view=64
other_view=32
if [ "$(wine_arch)" = x86 ]; then
    own_view=32
    other_view=64
fi
version_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion'
set_folder() { # VIEW FOLDER
    wine reg add "$version_key" /v ProgramW6432Dir /t REG_SZ /d "$2" /f /reg:"$1" \
        >"$LAB_DIR/reg.out" 2>&1
}
wine reg delete "$version_key" /v ProgramW6432Dir /f /reg:$own_view >"$LAB_DIR/reg.out" 2>&1
expect "$program" "no ProgramW6432Dir in the ${own_view}-bit view" "$only_bracket"
set_folder $own_view 'C:\Program Files'
set_folder $other_view 'C:\Elsewhere'
run repair
set_folder $other_view 'C:\Program Files'

# A copy whose path does not fit the 261-character buffer its folder is entered with stops
# before anything, logging included: it must not run in the folder it was started from.
long="$(dirname "$program")/$(printf 'x%.0s' $(seq 230))"
mkdir -p "$long"
cp -r "$pristine"/* "$long/"
expect "$long" "a program path of more than 261 characters" ""
[ ! -e "$(_lab_build)/storage" ] || fail "a state folder was made where the program was started"
rm -rf "$long"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "start-up: all runs as expected"
