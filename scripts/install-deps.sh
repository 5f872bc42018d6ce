#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Checks
# with dpkg first, so a machine that has them all goes straight to building.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils file
  libopencv-dev libsqlite3-dev sqlite3 libcurl4-openssl-dev
  libspdlog-dev libfmt-dev rapidjson-dev libhnswlib-dev
  libxnnpack-dev libpthreadpool-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  python3 python3-numpy python3-onnx
  chromium chromium-driver python3-selenium
)
[ "${QX_WITH_BENCH_EXTRAS:-0}" = 1 ] && packages+=(libfaiss-dev)
# `make fuzz`: clang with its libFuzzer and sanitizer run-time libraries.
[ "${QX_WITH_FUZZ:-0}" = 1 ] && packages+=(clang libclang-rt-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
