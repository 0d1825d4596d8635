#!/usr/bin/env bash
# Prints the address of the first Debian archive (not the security one) the machine's apt uses,
# for the scripts that fetch from the same archive with an apt configuration of their own.
set -euo pipefail
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    archive=$(awk 'tolower($1)=="uris:" { for (i=2;i<=NF;i++) if ($i !~ /security/ && $i ~ /debian\/?$/) { print $i; exit } }' "$f")
    [ -n "$archive" ] && { echo "$archive"; exit 0; }
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    archive=$(awk '$1=="deb" { for (i=2;i<=NF;i++) if ($i ~ /:\/\// && $i !~ /security/ && $i ~ /debian\/?$/) { print $i; exit } }' "$f")
    [ -n "$archive" ] && { echo "$archive"; exit 0; }
done
echo "could not find a Debian archive address in /etc/apt/sources*" >&2
exit 1
