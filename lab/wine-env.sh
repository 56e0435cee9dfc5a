# Shared Wine settings for the lab, the Wine tests and the demo (source this file).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# wine_prefix_ready DIR: makes DIR an initialised Wine prefix (once), then waits until it is idle.
wine_prefix_ready() {
    local dir=$1
    mkdir -p "$dir"
    if [ ! -f "$dir/system.reg" ]; then
        WINEPREFIX="$dir" wine wineboot -i >/dev/null 2>&1 || true
        WINEPREFIX="$dir" wineserver -w
    fi
}

# wine_prefix_fresh DIR TEMPLATE: DIR becomes a copy of the pristine prefix TEMPLATE (made once),
# so a scenario that changes machine state starts from a clean machine without a full boot.
wine_prefix_fresh() {
    local dir=$1 template=$2
    wine_prefix_ready "$template"
    WINEPREFIX="$dir" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$dir"
    cp -a "$template" "$dir"
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
