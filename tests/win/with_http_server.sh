#!/usr/bin/env bash
# with_http_server.sh COMMAND [ARGS...]: runs COMMAND while the lab's loopback HTTP server serves a
# folder with a random "installer.exe". The command finds the server's port in WARDEX_HTTP_PORT
# and the folder, as a Windows program sees it, in WARDEX_HTTP_FOLDER. The server is stopped when
# the command ends (and stops by itself after ten minutes in any case).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/wardex-http.XXXXXX")
head -c 100003 /dev/urandom >"$work/installer.exe"
python3 "$source_dir/lab/http_server.py" --folder "$work" --port-file "$work/port" \
    --time-limit 600 >"$work/server.out" 2>"$work/server.err" &
server=$!
stop_server() {
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap stop_server EXIT

for _ in $(seq 600); do  # at most a minute, on a busy machine
    [ -s "$work/port" ] && break
    sleep 0.1
done
if [ ! -s "$work/port" ]; then
    echo "the HTTP server did not start:" >&2
    cat "$work/server.err" >&2
    exit 1
fi
WARDEX_HTTP_PORT=$(cat "$work/port")
WARDEX_HTTP_FOLDER="Z:${work//\//\\}"
export WARDEX_HTTP_PORT WARDEX_HTTP_FOLDER

set +e
"$@"
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
    echo "--- requests the server saw:" >&2
    cat "$work/server.err" >&2
fi
exit "$rc"
