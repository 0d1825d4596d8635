#!/usr/bin/env bash
# Installs the Debian packages vespra is built and tested with, when any is missing.
set -euo pipefail
# chromium: the test of `vespra view` loads a served trace in a real browser.
pkgs=(build-essential cmake g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev chromium)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
