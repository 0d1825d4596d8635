#!/usr/bin/env bash
# Finds, or builds once, the CPython that vespra is built against, and prints its path on
# standard output (progress, warnings and refusals go to standard error).
#
# VESPRA_PY picks the build: 3.13t, the free-threaded one (the default), or 3.13, the regular one
# with the GIL; 3.14 and 3.15 are Debian's own (with the GIL), found only inside the unstable root
# that make enters for them (scripts/in-root.sh). Order: $VESPRA_PYTHON (any CPython 3.13 or
# newer, with a warning past 3.15; it must match VESPRA_PY when both are set); for 3.13t a
# python3.13t on PATH; the one built earlier into the cache; else build it from Debian's python3.13
# source package into the cache, each build into a folder of its own (python3.13t, python3.13). A
# python3.13 on PATH is not taken: that name is as often a shim, a free-threaded install's second
# name or an interpreter without its headers as the regular build; name it with VESPRA_PYTHON.
#
# The source package lives in the suite after bookworm, which bookworm's apt sources do not list,
# so we fetch it with a private apt configuration that borrows only the archive address from the
# machine's own sources and leaves the machine's apt configuration untouched. It is kept in the
# cache, so the second build needs no second download.
set -euo pipefail

cache_root="${VESPRA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vespra}"
suite="${VESPRA_SOURCE_SUITE:-trixie}"

log() { echo "bootstrap-python: $*" >&2; }
die() { log "$*"; exit 1; }

flavour="${VESPRA_PY:-3.13t}"
case "$flavour" in
    3.13t) want_ft=1; exe=python3.13t; configure_flags=(--disable-gil); what="free-threaded" ;;
    3.13) want_ft=0; exe=python3.13; configure_flags=(); what="regular (GIL)" ;;
    3.14|3.15) want_ft=0; exe=python$flavour; what="regular (GIL)" ;;
    *) die "VESPRA_PY=$flavour: choose 3.13t (free-threaded, the default), 3.13, 3.14 or 3.15 (with the GIL); another interpreter can be named with VESPRA_PYTHON" ;;
esac
prefix="$cache_root/python$flavour"

# Succeeds when $1 is a CPython vespra can be built for, with its C headers, and (when $2 is 1)
# of the build VESPRA_PY names; otherwise says why on stderr. A line newer than 3.13 is accepted
# with a warning.
check() {
    local py="$1" strict="$2" out impl version ft headers minor
    if ! out=$("$py" -c 'import os, sys, sysconfig
print(sys.implementation.name, "%d.%d" % sys.version_info[:2],
      int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))),
      int(os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))' 2>/dev/null); then
        log "$py does not run"
        return 1
    fi
    read -r impl version ft headers <<<"$out"
    if [ "$impl" != cpython ]; then
        log "$py is $impl, but vespra needs CPython"
        return 1
    fi
    minor="${version#3.}"
    if [ "${version%%.*}" != 3 ] || ! [[ "$minor" =~ ^[0-9]+$ ]]; then
        log "$py reports version '$version', which vespra does not know"
        return 1
    fi
    if [ "$minor" -le 11 ]; then
        log "$py is Python $version, which has no sys.monitoring; vespra needs CPython 3.13"
        return 1
    elif [ "$minor" -eq 12 ]; then
        log "$py is Python 3.12, whose C API lacks what vespra is built on (PyMutex, the Py_mod_gil slot); vespra needs CPython 3.13"
        return 1
    fi
    if [ "$headers" != 1 ]; then
        log "$py has no C headers (Python.h): install its development files (python$version-dev on Debian)"
        return 1
    fi
    if [ "$strict" = 1 ] && [ "$ft" != "$want_ft" ]; then
        log "$py is not the $what build that VESPRA_PY=$flavour asks for"
        return 1
    fi
    if [ "$minor" -gt 15 ] || { [ "$minor" -gt 13 ] && [ "$ft" = 1 ]; }; then
        [ "$ft" = 1 ] && version="$version (free-threaded)"
        log "warning: $py is Python $version: untested, vespra is tested on CPython 3.13 with and without the GIL, 3.14 and 3.15 with it"
    fi
    return 0
}

if [ -n "${VESPRA_PYTHON:-}" ]; then
    py=$(command -v "$VESPRA_PYTHON" || true)
    [ -n "$py" ] || die "VESPRA_PYTHON=$VESPRA_PYTHON: no such interpreter"
    check "$py" "${VESPRA_PY:+1}" || die "refusing VESPRA_PYTHON=$VESPRA_PYTHON"
    echo "$py"; exit 0
fi
if [ "$flavour" = 3.13t ] && py=$(command -v python3.13t 2>/dev/null) && check "$py" 1 2>/dev/null; then
    echo "$py"; exit 0
fi
# Debian's 3.14 and 3.15 live in the unstable root that make enters for them (scripts/in-root.sh).
case "$flavour" in
    3.14|3.15)
        [ -n "${VESPRA_IN_ROOT:-}" ] || die "VESPRA_PY=$flavour is built and run inside the Debian unstable root: use make, or scripts/in-root.sh COMMAND"
        py=$(command -v "$exe" 2>/dev/null) || die "no $exe in the root: remove it (scripts/bootstrap-root.sh names it) to have it made again"
        check "$py" 1 || die "refusing $py"
        echo "$py"; exit 0 ;;
esac

mkdir -p "$cache_root"
# One build of a flavour at a time: a second make waits here, then finds the first one's result.
exec 9>"$cache_root/.python$flavour.lock"
flock 9
if [ -x "$prefix/bin/$exe" ] && check "$prefix/bin/$exe" 1; then
    echo "$prefix/bin/$exe"; exit 0
fi

# --- build it -------------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || die "building the interpreter needs root for apt-get; or set VESPRA_PYTHON"

build_deps=(build-essential pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev libffi-dev
            libbz2-dev liblzma-dev libreadline-dev libsqlite3-dev libncurses-dev uuid-dev
            libgdbm-dev libgdbm-compat-dev libexpat1-dev)
missing=()
for p in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing build dependencies: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 || true
    apt-get install -y -qq "${missing[@]}" >&2
fi

# The upstream tarball of the source package, fetched once for both flavours.
source_dir="$cache_root/source"
fetch_source() {
    local archive work="$cache_root/apt"
    archive=$(bash "$(dirname "$0")/archive-address.sh") || die "no archive to fetch the source package from"
    rm -rf "$work" "$source_dir.partial"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$source_dir.partial"
    echo "deb-src $archive $suite main" > "$work/sources.list"
    local aptopts=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts="$work/parts"
                   -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
                   -o APT::Get::List-Cleanup=0 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    log "fetching the python3.13 source package from $suite"
    apt-get "${aptopts[@]}" update -qq >&2
    (cd "$source_dir.partial" && apt-get "${aptopts[@]}" source --download-only python3.13 >&2)
    rm -rf "$work" "$source_dir"
    mv "$source_dir.partial" "$source_dir"
}
(
    flock 8
    ls "$source_dir"/python3.13_*.orig.tar.* >/dev/null 2>&1 || fetch_source
) 8>"$cache_root/.source.lock"
tarball=$(ls "$source_dir"/python3.13_*.orig.tar.* 2>/dev/null | head -n 1)
[ -n "$tarball" ] || die "the source package holds no upstream tarball"

# Each flavour builds in a folder of its own, so that two builds never delete each other's.
work="$cache_root/build-$flavour"
rm -rf "$work"; mkdir -p "$work"
tar -xf "$tarball" -C "$work"
srcdir=$(find "$work" -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
[ -n "$srcdir" ] || die "unexpected layout of $tarball"

log "building the $what CPython from $(basename "$srcdir") into $prefix (a few minutes)"
(cd "$srcdir" && ./configure "${configure_flags[@]}" --prefix="$prefix" --with-ensurepip=install \
     --disable-test-modules >"$work/configure.log" 2>&1) || die "configure failed: see $work/configure.log"
(cd "$srcdir" && make -j"$(nproc)" >"$work/make.log" 2>&1) || die "make failed: see $work/make.log"
(cd "$srcdir" && make install >"$work/install.log" 2>&1) || die "make install failed: see $work/install.log"
check "$prefix/bin/$exe" 1 || die "the interpreter just built is not usable"
rm -rf "$srcdir"
log "installed $prefix/bin/$exe"
echo "$prefix/bin/$exe"
