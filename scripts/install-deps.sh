#!/usr/bin/env bash
# Installs the Debian packages vespra is built and tested with, when any is missing.
set -euo pipefail
pkgs=(build-essential cmake g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev)
# chromium: the test of `vespra view` loads a served trace in a real browser, and skips where
# there is none. Optional: a machine without it still builds and tests, and the Debian unstable
# root of 3.14 and 3.15 (which has its packages from scripts/bootstrap-root.sh) goes without.
optional=()
[ -n "${VESPRA_IN_ROOT:-}" ] || optional=(chromium)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing=() wanted=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${optional[@]}"; do installed "$p" || wanted+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#wanted[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
    [ ${#missing[@]} -eq 0 ] && exit 0
    echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]} ${wanted[*]}" >&2
updated=true
apt-get update -qq || updated=false
if [ ${#missing[@]} -gt 0 ]; then
    $updated || echo "install-deps: apt-get update failed; trying the package lists there are" >&2
    apt-get install -y -qq "${missing[@]}"
fi
if [ ${#wanted[@]} -gt 0 ] && ! apt-get install -y -qq "${wanted[@]}"; then
    echo "install-deps: could not install ${wanted[*]}; the tests that need it will skip" >&2
fi
