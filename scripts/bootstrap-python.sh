#!/usr/bin/env bash
# Finds, or builds once, the free-threaded CPython 3.13 that vespra is built against, and
# prints its path on standard output (progress goes to standard error).
#
# Order: $VESPRA_PYTHON; a python3.13t on PATH; the one built earlier into the cache; else build
# it from Debian's python3.13 source package into the cache. The source package lives in the
# suite after bookworm, which bookworm's apt sources do not list, so we fetch it with a private
# apt configuration that borrows only the archive address from the machine's own sources and
# leaves the machine's apt configuration untouched.
set -euo pipefail

cache_root="${VESPRA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vespra}"
prefix="$cache_root/python3.13t"
suite="${VESPRA_SOURCE_SUITE:-trixie}"

log() { echo "bootstrap-python: $*" >&2; }
die() { log "$*"; exit 1; }

# Succeeds when $1 is a CPython 3.13 built without the GIL; otherwise says why on stderr.
check() {
    local py="$1" out
    if ! out=$("$py" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2], int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))' 2>/dev/null); then
        log "$py does not run"
        return 1
    fi
    case "$out" in
        "3.13 1") return 0 ;;
        "3.13 0") log "$py is CPython 3.13 but not free-threaded (built without --disable-gil)"; return 1 ;;
        *) log "$py is Python ${out% *}, but vespra needs CPython 3.13"; return 1 ;;
    esac
}

if [ -n "${VESPRA_PYTHON:-}" ]; then
    py=$(command -v "$VESPRA_PYTHON" || true)
    [ -n "$py" ] || die "VESPRA_PYTHON=$VESPRA_PYTHON: no such interpreter"
    check "$py" || die "refusing VESPRA_PYTHON=$VESPRA_PYTHON: it must be a free-threaded CPython 3.13"
    echo "$py"; exit 0
fi
if py=$(command -v python3.13t 2>/dev/null) && check "$py"; then
    echo "$py"; exit 0
fi
if [ -x "$prefix/bin/python3.13t" ] && check "$prefix/bin/python3.13t"; then
    echo "$prefix/bin/python3.13t"; exit 0
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

# The archive address: the first Debian archive (not the security one) the machine's apt uses.
archive=""
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    archive=$(awk 'tolower($1)=="uris:" { for (i=2;i<=NF;i++) if ($i !~ /security/ && $i ~ /debian\/?$/) { print $i; exit } }' "$f")
    [ -n "$archive" ] && break
done
if [ -z "$archive" ]; then
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        archive=$(awk '$1=="deb" { for (i=2;i<=NF;i++) if ($i ~ /:\/\// && $i !~ /security/ && $i ~ /debian\/?$/) { print $i; exit } }' "$f")
        [ -n "$archive" ] && break
    done
fi
[ -n "$archive" ] || die "could not find a Debian archive address in /etc/apt/sources*"

work="$cache_root/build"
rm -rf "$work"; mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/src"
echo "deb-src $archive $suite main" > "$work/apt/sources.list"
aptopts=(-o Dir::Etc::sourcelist="$work/apt/sources.list" -o Dir::Etc::sourceparts="$work/apt/parts"
         -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache"
         -o APT::Get::List-Cleanup=0 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
log "fetching the python3.13 source package from $suite"
apt-get "${aptopts[@]}" update -qq >&2
(cd "$work/src" && apt-get "${aptopts[@]}" source --download-only python3.13 >&2)
tarball=$(ls "$work"/src/python3.13_*.orig.tar.* 2>/dev/null | head -n 1)
[ -n "$tarball" ] || die "the source package holds no upstream tarball"
tar -xf "$tarball" -C "$work/src"
srcdir=$(find "$work/src" -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
[ -n "$srcdir" ] || die "unexpected layout of $tarball"

log "building CPython from $(basename "$srcdir") with --disable-gil (a few minutes)"
(cd "$srcdir" && ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install \
     --disable-test-modules >"$work/configure.log" 2>&1) || die "configure failed: see $work/configure.log"
(cd "$srcdir" && make -j"$(nproc)" >"$work/make.log" 2>&1) || die "make failed: see $work/make.log"
(cd "$srcdir" && make install >"$work/install.log" 2>&1) || die "make install failed: see $work/install.log"
check "$prefix/bin/python3.13t" || die "the interpreter just built is not usable"
rm -rf "$srcdir"
log "installed $prefix/bin/python3.13t"
echo "$prefix/bin/python3.13t"
