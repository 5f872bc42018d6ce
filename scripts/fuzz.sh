#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (AddressSanitizer,
# UndefinedBehaviorSanitizer, libFuzzer) in build-fuzz and runs each one in
# turn, FUZZ_SECONDS in all (default 240) shared evenly, one process at a
# time. Each target starts from its committed corpus and the dictionary of the
# same name; what it learns goes to build-fuzz/corpus/<target> (the committed
# corpus is never written), crashes to build-fuzz/findings/<target>/.
#   FUZZ_TARGETS="ini_reader json_reader"  only these targets
#   FUZZ_ARGS="-dict=... -jobs=..."        more libFuzzer options
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${FUZZ_BUILD:-build-fuzz}")
seconds=${FUZZ_SECONDS:-240}
jobs=${JOBS:-2}

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (apt-get install clang libclang-rt-dev)"; exit 1; }
done
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQX_SANITIZE=address,undefined -DQX_FUZZ=ON -DQX_BUILD_BENCH=OFF ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" --target fuzz_targets -j "$jobs"

targets=${FUZZ_TARGETS:-$(cd tests/fuzz && ls -d corpus/*/ | xargs -n1 basename)}
count=$(echo $targets | wc -w)
each=$(( seconds / count ))
[ "$each" -ge 1 ] || each=1
status=0
for target in $targets; do
  program="$build/tests/fuzz/fuzz_$target"
  [ -x "$program" ] || { echo "fuzz: no program for $target"; status=1; continue; }
  # Absolute paths: a target may move into a working folder of its own.
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  options=(-max_total_time="$each" -print_final_stats=1 -artifact_prefix="$findings/")
  [ -f "tests/fuzz/dict/$target.dict" ] && options+=(-dict="$root/tests/fuzz/dict/$target.dict")
  # The text parsers work line by line or piece by piece: longer inputs than
  # a dev.ini or a cloud answer (a feature text: its 1.6 kB) only slow them down.
  case "$target" in
    feature_text) options+=(-max_len=2048) ;;
    ini_reader|json_reader) options+=(-max_len=512) ;;
  esac
  seeds=("$root/tests/fuzz/corpus/$target")
  # The engine tests' tiny models (tests/fuzz/CMakeLists.txt names them too).
  [ "$target" = onnx_model ] && seeds+=("$root/tests/data/engine")
  echo "== $target: $each s"
  # The learned corpus first: new inputs are written to the first folder only.
  if ! nice "$program" "${options[@]}" ${FUZZ_ARGS:-} "$work" "${seeds[@]}" >"$findings/log.txt" 2>&1; then
    echo "fuzz: $target found a fault; the input is in $findings/, the output in $findings/log.txt"
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$findings/log.txt" | sed 's/^/   /' || true
done
exit $status
