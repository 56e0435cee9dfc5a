# Shared Wine settings for the lab, the Wine tests and the demo (source this file).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# The build tree under test says which Wine runs its programs: a 32-bit build (its "wine-arch"
# file, written by CMake, says x86) runs under the 32-bit lab's Wine, a WoW64 prefix whose
# 32-bit side is emulated (scripts/wine32.sh); a 64-bit build under the host's Wine. The lab's
# wrappers named wine, wineserver and wineboot come first on the PATH, so every script below
# runs unchanged against either build.
_wine_env_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_arch() {
    local build=${WARDEX_BUILD_DIR:-}
    if [ -n "$build" ] && [ "$(cat "$build/wine-arch" 2>/dev/null)" = x86 ]; then
        echo x86
    else
        echo x64
    fi
}
if [ "$(wine_arch)" = x86 ]; then
    case ":$PATH:" in
    *":$_wine_env_here/wine32:"*) ;;
    *) export PATH="$_wine_env_here/wine32:$PATH" ;;
    esac
fi

# wine_report_errors: a scenario that stops on an unexpected failure says where and why: the line,
# the command, its exit code, and the end of Wine's own output when the lab has one.
wine_report_errors() {
    set -E
    trap '_wine_on_error $? $LINENO "$BASH_COMMAND"' ERR
}
_wine_on_error() {
    local rc=$1 line=$2 cmd=$3 f
    trap - ERR
    echo "ERROR: line $line: '$cmd' failed with exit code $rc" >&2
    for f in "${LAB_DIR:-/nonexistent}"/wine.err "${LAB_DIR:-/nonexistent}"/reg.out; do
        if [ -s "$f" ]; then
            echo "--- the end of $f:" >&2
            tail -n 20 "$f" >&2
        fi
    done
}

# wine_prefix_ready DIR: makes DIR an initialised Wine prefix (once), then waits until it is idle.
wine_prefix_ready() {
    local dir=$1
    mkdir -p "$dir"
    if [ ! -f "$dir/system.reg" ]; then
        _wine_end_lingering_server "$dir"
        WINEPREFIX="$dir" wine wineboot -i >/dev/null 2>&1 || true
        WINEPREFIX="$dir" wineserver -w
    fi
}

# wine_prefix_fresh DIR TEMPLATE: DIR becomes a copy of the pristine prefix TEMPLATE (made once),
# so a scenario that changes machine state starts from a clean machine without a full boot.
wine_prefix_fresh() {
    local dir=$1 template=$2
    wine_prefix_ready "$template"
    rm -rf "$dir"
    mkdir -p "$dir"
    # The system folders are nearly all of a prefix (over a gigabyte in a WoW64 one) and nothing
    # writes there once the prefix is booted: the copy shares their files with the template
    # through hard links. Everything else is copied.
    local big=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs) d
    tar -C "$template" "${big[@]/#/--exclude=./}" -cf - . | tar -C "$dir" -xf -
    for d in "${big[@]}"; do
        if [ -d "$template/$d" ]; then
            cp -al "$template/$d" "$dir/$d"
        fi
    done
    _wine_end_lingering_server "$dir"
}

# A Wine server is found by the device and inode of its prefix folder (Debian's Wine keys them
# under the temporary folder named in the prefix's "wineserver" file, which copies share). A new
# prefix folder may reuse the inode of a removed one whose server still lingers; that server must
# not serve it, and must be gone before the new prefix's first program starts.
_wine_end_lingering_server() {
    WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$1" wineserver -w >/dev/null 2>&1 || true
}

# wine_prefix_release DIR RC: ends DIR's Wine server and, when RC is 0 (the test passed), removes
# DIR, a prefix or a lab of a test (a WoW64 prefix is over a gigabyte); otherwise keeps it and
# says where it is. WARDEX_KEEP_LABS=1 keeps it in any case.
wine_prefix_release() {
    local dir=$1 rc=$2
    [ -n "$dir" ] && [ -d "$dir" ] || return 0
    if [ -d "$dir/drive_c" ]; then
        WINEPREFIX="$dir" wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX="$dir" wineserver -w >/dev/null 2>&1 || true
    fi
    if [ "$rc" -eq 0 ] && [ -z "${WARDEX_KEEP_LABS:-}" ]; then
        rm -rf "$dir"
    else
        echo "kept for inspection: $dir" >&2
    fi
}

# wine_prefix_from_pristine DIR BUILD_DIR: exports WINEPREFIX=DIR, a fresh copy of the build tree's
# pristine prefix (made once; parallel scenarios take turns with a lock).
wine_prefix_from_pristine() {
    local dir=$1 build=$2 fd
    mkdir -p "$build/wine"
    exec {fd}>"$build/wine/pristine.lock"
    flock "$fd"
    wine_prefix_fresh "$dir" "$build/wine/pristine"
    flock -u "$fd"
    exec {fd}>&-
    export WINEPREFIX=$dir
}

# wine_prefix_unique NAME BUILD_DIR: like wine_prefix_from_pristine, in a new folder NAME.XXXXXX.
# A Wine server is found, and ended, by its prefix's path: two runs of one scenario in one build
# tree must never share a prefix, or one ends the other's programs (Wine gives them exit code 1).
wine_prefix_unique() {
    local dir
    mkdir -p "$(dirname "$1")"
    dir=$(mktemp -d "$1.XXXXXX")
    wine_prefix_from_pristine "$dir" "$2"
}
