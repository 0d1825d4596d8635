#!/usr/bin/env bash
# Runs a command inside the Debian unstable root that holds CPython 3.14 and 3.15
# (scripts/bootstrap-root.sh makes it on first use), from the same directory as here.
#
# The checkout and the `shared` folder beside it appear inside at the paths they have outside, so
# that builds, venvs and the tests' tools are found by the same names on both sides; /proc, /dev
# (with /dev/shm, which multiprocessing needs) and /sys are the machine's. The mounts live in a
# mount namespace of the command's own and vanish with it: nothing is left to unmount, and runs
# in parallel do not disturb each other.
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: in-root.sh COMMAND [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")/.." && pwd)
root=$(bash "$here/scripts/bootstrap-root.sh")
checkout=$(git -C "$here" rev-parse --show-toplevel 2>/dev/null || echo "$here")

binds=("$checkout")
# A worktree's git data lives in the main checkout: git inside needs it at the same path.
common=$(git -C "$checkout" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
[ -n "$common" ] && [ "${common#"$checkout"/}" = "$common" ] && binds+=("$common")
[ -d "$checkout/../shared" ] && binds+=("$(cd "$checkout/../shared" && pwd)")

export VESPRA_IN_ROOT=1
exec unshare --mount --propagation private -- bash -c '
    set -e
    root=$1 cwd=$2; shift 2
    while [ "$1" != -- ]; do
        mkdir -p "$root$1"
        mount --rbind "$1" "$root$1"
        shift
    done
    shift
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    exec chroot "$root" /usr/bin/env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
' in-root "$root" "$PWD" "${binds[@]}" -- "$@"
