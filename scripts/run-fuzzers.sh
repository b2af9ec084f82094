#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time: first over its kept crash inputs
# (fuzz/regressions/<name>/), then fuzzing from its starting inputs (fuzz/corpus/<name>/).
set -euo pipefail
build=${1:?build directory}
seconds=${2:-15}
root="$(cd "$(dirname "$0")/.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    name=${name#fuzz_}
    if [ -d "$root/fuzz/regressions/$name" ]; then
        "$target" -runs=0 "$root/fuzz/regressions/$name"/* >"$work/$name.reg.log" 2>&1 ||
            { echo "fuzz $name: regression input fails"; tail -30 "$work/$name.reg.log"; status=1; }
    fi
    mkdir -p "$work/corpus-$name"
    start=()
    [ -d "$root/fuzz/corpus/$name" ] && start=("$root/fuzz/corpus/$name")
    if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$work/" "$work/corpus-$name" "${start[@]}" >"$work/$name.log" 2>&1; then
        echo "fuzz $name: ok ($(grep -c '' "$work/$name.log") log lines)"
    else
        echo "fuzz $name: FAILED"
        tail -40 "$work/$name.log"
        status=1
    fi
done
exit $status
