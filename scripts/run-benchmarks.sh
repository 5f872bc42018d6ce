#!/usr/bin/env bash
# Runs every benchmark of a build, each in a fresh temporary working directory,
# reporting medians over repeated runs.
#
# With a second build directory (a build of the base to compare with), both
# run alternately for QX_BENCH_ROUNDS rounds (default 3), so that the load of
# a shared machine falls on both alike:
#   bash scripts/run-benchmarks.sh build-bench /tmp/base/build-bench
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
base=${2:+$(cd "$2" && pwd)}
shopt -s nullglob
benches=("$build"/bench/bench_*)
[ ${#benches[@]} -gt 0 ] || { echo "no benchmarks built in $build/bench"; exit 0; }

run() {  # <binary> <label>
  local work
  work=$(mktemp -d)
  echo "== $2 $(basename "$1")  (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  (cd "$work" && "$1" --benchmark_repetitions="${QX_BENCH_REPETITIONS:-5}" \
      --benchmark_report_aggregates_only=true ${QX_BENCH_FILTER:+--benchmark_filter="$QX_BENCH_FILTER"})
  rm -rf "$work"
}

if [ -z "$base" ]; then
  for b in "${benches[@]}"; do run "$b" ""; done
  exit 0
fi
for round in $(seq 1 "${QX_BENCH_ROUNDS:-3}"); do
  for b in "${benches[@]}"; do
    [ -x "$base/bench/$(basename "$b")" ] && run "$base/bench/$(basename "$b")" "round $round base"
    run "$b" "round $round this"
  done
done
