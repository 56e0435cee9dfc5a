# Shared Wine settings for the lab, the Wine tests and the demo (source this file).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

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
    _wine_end_lingering_server "$dir"
    rm -rf "$dir"
    cp -a "$template" "$dir"
    _wine_end_lingering_server "$dir"
}

# A Wine server is found by the device and inode of its prefix folder. A new prefix folder may
# reuse the inode of a removed one whose server still lingers; that server must not serve it.
_wine_end_lingering_server() {
    WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true
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
