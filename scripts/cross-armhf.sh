#!/usr/bin/env bash
# Builds the library and its tests for the scale's board (32-bit Arm, hard-float)
# and runs the test suite under user-mode emulation.
#
# The armhf -dev packages cannot be co-installed with the amd64 ones through
# dpkg (OpenCV, and XNNPACK and pthreadpool, whose headers and static parts
# clash), so they are unpacked into a private sysroot instead; CMake finds
# XNNPACK and pthreadpool there through the toolchain file's find root. Unpacking runs no
# package scripts: the links those scripts would make are made here by hand.
#
# Usage: scripts/cross-armhf.sh [BUILD_DIR]   (default build-armhf)
# Environment: JOBS (default 2), QX_ARMHF_SYSROOT (default BUILD_DIR/sysroot),
# QX_ARMHF_CTEST_ARGS (extra ctest arguments, e.g. "-R Store").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-armhf}
mkdir -p "$out"
out=$(cd "$out" && pwd)
sysroot=${QX_ARMHF_SYSROOT:-$out/sysroot}
jobs=${JOBS:-2}
triplet=arm-linux-gnueabihf
start=$(date +%s)
stamp() { echo "== [$(( $(date +%s) - start ))s] $*"; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

stamp "host tools"
bash "$root/scripts/install-deps.sh"
host_packages=(crossbuild-essential-armhf qemu-user-static mmdebstrap)
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# What the library and its tests link, as armhf packages.
target_packages=(
  libc6-dev libstdc++-12-dev
  libopencv-dev libsqlite3-dev libcurl4-openssl-dev
  libspdlog-dev libfmt-dev rapidjson-dev libhnswlib-dev
  libxnnpack-dev libpthreadpool-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
)
want="${target_packages[*]}"

if [ "$(cat "$sysroot/.qx-packages" 2>/dev/null)" != "$want" ]; then
  stamp "armhf sysroot in $sysroot"
  # The machine's own Debian archive entries (not third-party ones), same release.
  sources=$(grep -l -E '^[^#]*(deb\.debian\.org|/debian/?( |$))' \
              /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -1 || true)
  [ -n "$sources" ] || { echo "no Debian archive in the apt sources" >&2; exit 1; }
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  $sudo rm -rf "$sysroot"
  $sudo mmdebstrap --quiet --mode=root --variant=extract --architectures=armhf \
    --include="$(IFS=,; echo "${target_packages[*]}")" \
    "$suite" "$sysroot" "$sources"

  # The blas/lapack alternatives that the packages' scripts would have chosen.
  for lib in libblas.so.3 liblapack.so.3; do
    impl=$(cd "$sysroot/usr/lib/$triplet" && ls -1 ./*/"$lib" 2>/dev/null | sort | head -1)
    [ -n "$impl" ] || { echo "no $lib in the sysroot" >&2; exit 1; }
    $sudo ln -sfn "${impl#./}" "$sysroot/usr/lib/$triplet/$lib"
  done
  # The emulated tests must see the host's /dev and /tmp, not the sysroot's.
  $sudo rm -rf "$sysroot/dev" "$sysroot/tmp"
  # Absolute links would lead the linker and the emulator out of the sysroot.
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    $sudo ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
  done < <(find "$sysroot/usr" "$sysroot/lib" -type l -lname '/*' -print0)
  # RapidJSON's package file names the host's /usr/include outright.
  while IFS= read -r -d '' f; do
    $sudo sed -i 's|"/usr/include"|"${CMAKE_SYSROOT}/usr/include"|' "$f"
  done < <(find "$sysroot/usr" -path '*/cmake/RapidJSON/RapidJSONConfig.cmake' -print0)
  echo "$want" | $sudo tee "$sysroot/.qx-packages" >/dev/null
fi

stamp "configure"
build="$out/build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
  -DQX_ARMHF_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQX_BUILD_BENCH=OFF

stamp "build"
cmake --build "$build" -j "$jobs"

stamp "test under qemu-arm-static"
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j "$jobs" ${QX_ARMHF_CTEST_ARGS:-}
stamp "done"
