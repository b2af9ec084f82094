#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time: first over its kept crash inputs
# (fuzz/regressions/<name>/), then fuzzing from its starting inputs (fuzz/corpus/<name>/), with
# its dictionary (fuzz/<name>.dict) when it has one.
set -euo pipefail
build=${1:?build directory}
seconds=${2:-15}
root="$(cd "$(dirname "$0")/.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shopt -s nullglob
status=0
ran=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    ran=$((ran + 1))
    name=$(basename "$target")
    name=${name#fuzz_}
    kept=("$root/fuzz/regressions/$name"/*)
    if [ ${#kept[@]} -gt 0 ]; then
        "$target" -runs=0 "${kept[@]}" >"$work/$name.reg.log" 2>&1 ||
            { echo "fuzz $name: regression input fails"; tail -30 "$work/$name.reg.log"; status=1; }
    fi
    mkdir -p "$work/corpus-$name"
    start=()
    [ -d "$root/fuzz/corpus/$name" ] && start=("$root/fuzz/corpus/$name")
    # A target's dictionary, fuzz/<name>.dict, beside its starting inputs.
    dict=()
    [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
    if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "${dict[@]}" \
        -artifact_prefix="$work/" "$work/corpus-$name" "${start[@]}" >"$work/$name.log" 2>&1; then
        echo "fuzz $name: ok ($(grep -c '' "$work/$name.log") log lines)"
    else
        echo "fuzz $name: FAILED"
        tail -40 "$work/$name.log"
        status=1
    fi
done
# A build without the fuzz option has no targets: that is a broken run, not a clean one.
if [ "$ran" -eq 0 ]; then
    echo "fuzz: no fuzz_* targets in $build/fuzz"
    exit 1
fi
exit $status
