#!/usr/bin/env bash
# wine-prefix.sh make|remove BUILD_DIR: the build tree's pristine Wine prefix, which every Wine
# test and scenario copies. "make" boots it once (the 32-bit lab's WoW64 prefix for an x86
# build); "remove" ends its Wine server and deletes it, so that a test run leaves no prefix behind
# (a WoW64 prefix is over a gigabyte).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
action=${1:?usage: wine-prefix.sh make|remove BUILD_DIR}
WARDEX_BUILD_DIR=$(cd "${2:?usage: wine-prefix.sh make|remove BUILD_DIR}" && pwd)
export WARDEX_BUILD_DIR
# shellcheck source=lab/wine-env.sh
. "$here/wine-env.sh"
pristine=$WARDEX_BUILD_DIR/wine/pristine
# Copies take the same lock (wine_prefix_from_pristine): a test run that ends while another one
# in the same build tree copies the prefix waits for the copy; the next copy makes it again.
mkdir -p "$WARDEX_BUILD_DIR/wine"
exec {fd}>"$WARDEX_BUILD_DIR/wine/pristine.lock"
flock "$fd"
case "$action" in
make)
    wine_prefix_ready "$pristine"
    echo "pristine $(wine_arch) prefix: $pristine ($(du -sh "$pristine" | cut -f1))"
    ;;
remove)
    # Debian's Wine keeps the folders of its servers' sockets in a temporary folder of its own,
    # named in the prefix's "wineserver" file and shared by every copy of the prefix. Once the
    # copies' servers are gone it holds only empty lock folders: it goes with the prefix unless a
    # server still listens in it.
    servers=$(cat "$pristine/wineserver" 2>/dev/null || true)
    wine_prefix_release "$pristine" 0
    servers=${servers:+${TMPDIR:-/tmp}/$servers}
    if [[ -n "$servers" && "$servers" != *..* && -d "$servers" && -O "$servers" ]] &&
        [ -z "$(find "$servers" -name socket -print -quit)" ]; then
        rm -rf "$servers"
    fi
    ;;
*)
    echo "usage: wine-prefix.sh make|remove BUILD_DIR" >&2
    exit 2
    ;;
esac
