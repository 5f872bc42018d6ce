#!/usr/bin/env bash
# Until the demo lands: shows that the library builds and what it exports.
set -euo pipefail
build=${1:-build}
lib=$(ls "$build"/libQxVisor.so.* | head -n 1)
echo "Built $lib, exporting:"
nm -D --defined-only "$lib" | awk '$2 == "T" { print "  " $3 }' | sort
