#!/usr/bin/env bash
# Runs the extension build and the whole Python-level suite against each supported interpreter
# in turn (each built into the cache on first use, with its own venv and build folder), then
# prints one summary line per interpreter. Exits non-zero when any of them failed.
# VESPRA_MATRIX="3.13t 3.13 3.14 3.15" (the default) names the interpreters, as VESPRA_PY values.
set -uo pipefail
cd "$(dirname "$0")/.."

read -r -a flavours <<<"${VESPRA_MATRIX:-3.13t 3.13 3.14 3.15}"
log_dir=$(mktemp -d)
trap 'rm -rf "$log_dir"' EXIT
summary=()
failed=0
for flavour in "${flavours[@]}"; do
    echo "=== test-matrix: VESPRA_PY=$flavour"
    log="$log_dir/$flavour.log"
    make --no-print-directory VESPRA_PY="$flavour" test-python 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    which=$(make -s --no-print-directory VESPRA_PY="$flavour" interpreter 2>/dev/null) || which="?"
    result=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
    if [ "$rc" = 0 ]; then
        summary+=("$(printf '%-6s %-32s ok: %s' "$flavour" "$which" "$result")")
    else
        failed=1
        summary+=("$(printf '%-6s %-32s FAILED: %s' "$flavour" "$which" "${result:-no tests ran (exit $rc)}")")
    fi
done
echo
echo "=== test-matrix summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
