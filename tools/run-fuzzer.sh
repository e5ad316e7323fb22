#!/usr/bin/env bash
# Runs one libFuzzer target for RELAYO_FUZZ_SECONDS (default 15) seconds, starting from
# the given input folders (seeds, regressions). What it learns is kept in WORK/corpus for
# the next run; the input of a crash is written to WORK/crashes/.
# usage: run-fuzzer.sh FUZZER WORK [INPUT_FOLDER...]
set -euo pipefail
fuzzer="$1"
work="$2"
shift 2
mkdir -p "$work/corpus" "$work/crashes"
inputs=()
for folder in "$@"; do
    [ -d "$folder" ] && inputs+=("$folder")
done
exec "$fuzzer" -max_total_time="${RELAYO_FUZZ_SECONDS:-15}" -timeout=10 -rss_limit_mb=2048 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$work/crashes/" \
    "$work/corpus" "${inputs[@]}"
