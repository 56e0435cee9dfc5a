#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a Windows program under Wine in PREFIX.XXXXXX, a new
# copy of the build tree's pristine prefix, and returns its exit code. Output goes to our stdout
# and stderr as usual. The prefix is removed when the program succeeds and kept when it fails.
# WARDEX_BUILD_DIR names the build tree, and so the Wine (the 32-bit lab's for an x86 build).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lab/wine-env.sh
. "$here/wine-env.sh"
prefix=$1
shift
build=${WARDEX_BUILD_DIR:-$(dirname "$(dirname "$prefix")")}
wine_prefix_unique "$prefix" "$build"
prefix=$WINEPREFIX
set +e
wine "$@"
rc=$?
wineserver -w
wine_prefix_release "$prefix" "$rc"
exit $rc
