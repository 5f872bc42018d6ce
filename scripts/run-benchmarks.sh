#!/usr/bin/env bash
# Runs every benchmark of a build, each in a fresh temporary working directory,
# reporting medians over repeated runs.
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
shopt -s nullglob
benches=("$build"/bench/bench_*)
[ ${#benches[@]} -gt 0 ] || { echo "no benchmarks built in $build/bench"; exit 0; }
for b in "${benches[@]}"; do
  work=$(mktemp -d)
  echo "== $(basename "$b")"
  (cd "$work" && "$b" --benchmark_repetitions="${QX_BENCH_REPETITIONS:-5}" \
      --benchmark_report_aggregates_only=true ${QX_BENCH_FILTER:+--benchmark_filter="$QX_BENCH_FILTER"})
  rm -rf "$work"
done
