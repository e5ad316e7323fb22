#!/usr/bin/env bash
# Runs every benchmark executable the build produced (or the one named).
set -euo pipefail
build_dir="$1"; shift || true
for bench in "$build_dir"/bench/bench-*; do
    [ -f "$bench" ] && [ -x "$bench" ] || continue
    if [ $# -gt 0 ] && [[ "$(basename "$bench")" != *"$1"* ]]; then continue; fi
    echo "== $(basename "$bench")"
    "$bench"
done
