#!/usr/bin/env bash
# The relay's systemd unit keeps its exposure (systemd-analyze security) under 2.5.
# usage: unit-exposure.sh UNIT; skipped (77) where systemd-analyze is missing.
set -euo pipefail
command -v systemd-analyze >/dev/null || exit 77
report="$(systemd-analyze security --offline=true --no-pager "$1")"
exposure="$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$report")"
echo "exposure $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e < 2.5) }'
