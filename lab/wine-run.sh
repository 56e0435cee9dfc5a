#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a Windows program under 64-bit Wine in PREFIX (made
# on first use) and returns its exit code. Output goes to our stdout/stderr as usual.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lab/wine-env.sh
. "$here/wine-env.sh"
prefix=$1
shift
wine_prefix_ready "$prefix"
set +e
WINEPREFIX="$prefix" wine "$@"
rc=$?
WINEPREFIX="$prefix" wineserver -w
exit $rc
