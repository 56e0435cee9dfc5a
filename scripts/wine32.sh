#!/usr/bin/env bash
# The 32-bit Wine of the lab. The shipped Wardex.exe is a 32-bit program; on 64-bit Windows it
# runs as a WoW64 process. These machines' kernel executes no 32-bit code, and 32-bit Wine cannot
# be installed beside the host's, so the lab keeps a Debian bookworm chroot with Wine's 32-bit
# side and runs that side's code under qemu's user-mode emulation. In a 64-bit (WoW64) prefix
# only the 32-bit processes are emulated: the Wine server, services and WMI run natively.
#
#   scripts/wine32.sh setup     makes the chroot (debootstrap, wine with wine32:i386, qemu-i386
#                               10 from bookworm-backports) and registers qemu; idempotent
#   scripts/wine32.sh check     fails unless the chroot is complete and qemu is registered
#   scripts/wine32.sh exec [--chdir DIR] TOOL [ARGS...]
#                               runs a Wine tool (wine, wineserver, wineboot) inside the chroot
#                               with the host's paths: the lab's wrappers in lab/wine32/ call this
#
# The chroot lies in WARDEX_W32_ROOT (default /var/lib/wardex-w32/root), outside any checkout,
# so every clone on the machine shares it. Nothing is mounted on the host: each call enters a
# mount namespace of its own, binds what Wine needs there, and the binds end with the last
# process of that call (a Wine server started by it included).
set -euo pipefail

W32_HOME=${WARDEX_W32_HOME:-/var/lib/wardex-w32}
ROOT=${WARDEX_W32_ROOT:-$W32_HOME/root}
QEMU=$W32_HOME/qemu/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
# The i386 ELF magic and mask of Debian's qemu-user-static; F opens the interpreter when it is
# registered, so the handler works inside the chroot too.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# qemu 7.2 of bookworm hangs in Wine's address-space reservation; 10 works.
QEMU_SUITE=bookworm-backports
QEMU_MIN_MAJOR=10

# The Debian mirror the host's apt already uses (deb822 or one-line sources).
host_mirror() {
    {
        awk '/^URIs:/ {print $2}' /etc/apt/sources.list.d/*.sources 2>/dev/null
        awk '$1 == "deb" {print $2}' /etc/apt/sources.list 2>/dev/null
    } | grep -v -- -security | sed -n 1p || true
}

in_root() {
    chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

qemu_ok() {
    [ -x "$QEMU" ] || return 1
    local major
    major=$("$QEMU" --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
    [ "${major:-0}" -ge "$QEMU_MIN_MAJOR" ]
}

# The handler is machine-wide and a package may register an older qemu under the same name:
# check it before each use.
binfmt_ensure() {
    [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT"
    if [ -e "$BINFMT/qemu-i386" ]; then
        if grep -qx enabled "$BINFMT/qemu-i386" && grep -qx "interpreter $QEMU" "$BINFMT/qemu-i386"; then
            return 0
        fi
        echo -1 >"$BINFMT/qemu-i386"
    fi
    echo ":qemu-i386:M::$MAGIC:$MASK:$QEMU:F" >"$BINFMT/register"
}

# Mounts for the set-up's own apt runs; undone when the set-up ends.
setup_mounts() {
    local d
    for d in proc sys dev; do
        mkdir -p "$ROOT/$d"
        mountpoint -q "$ROOT/$d" || mount --rbind "/$d" "$ROOT/$d"
        mount --make-rslave "$ROOT/$d"
    done
}
setup_unmount() {
    local d
    for d in dev sys proc; do
        if mountpoint -q "$ROOT/$d"; then umount -R "$ROOT/$d" || umount -lR "$ROOT/$d" || true; fi
    done
}

setup() {
    if check 2>/dev/null; then
        return 0
    fi
    local mirror
    mirror=${WARDEX_W32_MIRROR:-$(host_mirror)}
    [ -n "$mirror" ] || {
        echo "wine32: no Debian mirror found in the host's apt sources; set WARDEX_W32_MIRROR" >&2
        exit 1
    }
    command -v debootstrap >/dev/null || apt-get install -y -q --no-install-recommends debootstrap
    echo "wine32: setting up the 32-bit Wine chroot in $ROOT (a few minutes, once)"
    mkdir -p "$W32_HOME"
    if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
        rm -rf "$ROOT"
        debootstrap --variant=minbase bookworm "$ROOT" "$mirror" >"$W32_HOME/debootstrap.log" 2>&1 || {
            tail -n 20 "$W32_HOME/debootstrap.log" >&2
            exit 1
        }
    fi
    trap setup_unmount EXIT
    setup_mounts
    # qemu comes from backports, pinned low so that nothing else is taken from there.
    echo "deb $mirror $QEMU_SUITE main" >"$ROOT/etc/apt/sources.list.d/wardex-qemu.list"
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n' "$QEMU_SUITE" \
        >"$ROOT/etc/apt/preferences.d/wardex-qemu"
    in_root dpkg --add-architecture i386
    in_root apt-get update -q >"$W32_HOME/apt.log" 2>&1 || {
        tail -n 20 "$W32_HOME/apt.log" >&2
        exit 1
    }
    if ! qemu_ok; then
        # Only the static emulator is needed: extracted, not installed.
        rm -f "$ROOT"/tmp/qemu-user_*.deb
        in_root sh -c "cd /tmp && apt-get download -q -t $QEMU_SUITE qemu-user" >>"$W32_HOME/apt.log" 2>&1
        rm -rf "$W32_HOME/qemu"
        dpkg-deb -x "$ROOT"/tmp/qemu-user_*.deb "$W32_HOME/qemu"
        rm -f "$ROOT"/tmp/qemu-user_*.deb
        qemu_ok || {
            echo "wine32: $QEMU is not qemu $QEMU_MIN_MAJOR or newer" >&2
            exit 1
        }
    fi
    binfmt_ensure
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        wine wine64 wine32:i386 >>"$W32_HOME/apt.log" 2>&1 || {
        tail -n 20 "$W32_HOME/apt.log" >&2
        exit 1
    }
    in_root apt-get clean
    local version
    version=$(in_root /usr/lib/wine/wine64 --version 2>/dev/null || echo "wine version unknown")
    setup_unmount
    trap - EXIT
    check
    echo "wine32: ready ($("$QEMU" --version | head -n 1); $version)"
}

check() {
    [ -x "$ROOT/usr/lib/wine/wine64" ] && [ -x "$ROOT/usr/lib/wine/wine" ] || {
        echo "wine32: the chroot $ROOT lacks Wine; run scripts/wine32.sh setup" >&2
        return 1
    }
    qemu_ok || {
        echo "wine32: no qemu-i386 $QEMU_MIN_MAJOR or newer at $QEMU; run scripts/wine32.sh setup" >&2
        return 1
    }
    binfmt_ensure
}

# The paths a Wine program of the lab sees as on the host: the checkout (its build trees, labs
# and scripts) and the temporary folder (Wine's server sockets, the tests' scratch folders).
_bind_paths() {
    local p
    for p in "$@"; do
        [ -d "$p" ] || continue
        mkdir -p "$ROOT$p"
        mount --rbind "$p" "$ROOT$p"
    done
}

# Runs inside the private mount namespace of one call.
_inner() {
    local chdir=$1 paths=$2
    shift 2
    local d
    for d in proc sys dev; do
        mkdir -p "$ROOT/$d"
        mount --rbind "/$d" "$ROOT/$d"
    done
    local IFS=:
    # shellcheck disable=SC2086
    _bind_paths ${paths}
    unset IFS
    # Wine's own variables and the tests' (WARDEX_*), which Windows programs of the lab read.
    local env=(PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 DISPLAY= WINEARCH="${WINEARCH:-win64}"
        WINEDEBUG="${WINEDEBUG:--all}") v
    for v in $(compgen -e); do
        case "$v" in
        WINEPREFIX | WINEDLLOVERRIDES | WINEPATH | WINELOADER | WARDEX_*) env+=("$v=${!v}") ;;
        esac
    done
    exec chroot "$ROOT" /usr/bin/env -i "${env[@]}" \
        sh -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' sh "$chdir" "$@"
}

exec_tool() {
    local chdir=$PWD
    if [ "${1:-}" = --chdir ]; then
        chdir=$2
        shift 2
    fi
    [ $# -ge 1 ] || {
        echo "usage: scripts/wine32.sh exec [--chdir DIR] TOOL [ARGS...]" >&2
        exit 2
    }
    check
    local here src paths
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    src=$(cd "$here/.." && pwd)
    paths="${TMPDIR:-/tmp}:/tmp:$src${WARDEX_BUILD_DIR:+:$WARDEX_BUILD_DIR}"
    exec unshare --mount --propagation private "$here/wine32.sh" _inner "$chdir" "$paths" "$@"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
setup) setup ;;
check) check ;;
exec) exec_tool "$@" ;;
_inner) _inner "$@" ;;
*)
    echo "usage: scripts/wine32.sh setup|check|exec [--chdir DIR] TOOL [ARGS...]" >&2
    exit 2
    ;;
esac
