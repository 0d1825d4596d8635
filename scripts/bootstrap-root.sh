#!/usr/bin/env bash
# Makes once, and prints the path of, the Debian unstable root in which vespra is built and tested
# for CPython 3.14 and 3.15 (progress and refusals go to standard error).
#
# Debian's python3.14 and python3.15 are built against unstable's C library, newer than the one of
# this machine's Debian 12, so they run only in a root of their own: `debootstrap` makes it in the
# cache with both interpreters, their headers and venv modules, and the compilers and test
# libraries `make test` needs. The archive address is borrowed from the machine's own apt sources.
# scripts/in-root.sh runs a command inside it.
set -euo pipefail

cache_root="${VESPRA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vespra}"
root="$cache_root/sid-root"
suite="${VESPRA_ROOT_SUITE:-sid}"
packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
          build-essential g++ cmake make libgtest-dev libgmock-dev googletest libbenchmark-dev)

log() { echo "bootstrap-root: $*" >&2; }
die() { log "$*"; exit 1; }

mkdir -p "$cache_root"
# One build at a time: a second make waits here, then finds the first one's root.
exec 9>"$cache_root/.sid-root.lock"
flock 9
stamp="$root/.vespra-packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
    echo "$root"; exit 0
fi

[ "$(id -u)" = 0 ] || die "making the root needs root (debootstrap and chroot)"
if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 || true
    apt-get install -y -qq debootstrap >&2
fi
archive=$(bash "$(dirname "$0")/archive-address.sh") || die "no archive to make the root from"
rm -rf "$root.partial"
log "making a Debian $suite root with ${packages[*]} in $root (a few minutes)"
include=$(IFS=,; echo "${packages[*]}")
debootstrap --variant=minbase --include="$include" "$suite" "$root.partial" "$archive" \
    >"$cache_root/sid-root.log" 2>&1 || die "debootstrap failed: see $cache_root/sid-root.log"
echo "${packages[*]}" >"$root.partial/.vespra-packages"
rm -rf "$root"
mv "$root.partial" "$root"
log "made $root"
echo "$root"
