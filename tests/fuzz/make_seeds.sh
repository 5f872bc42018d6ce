#!/usr/bin/env bash
# Makes the seed stores of the store_import target again: real exports of the
# library, learned through the qxvisor tool from a few photos of the grocery
# set. Only the exported stores are kept, never a photo.
#   tests/fuzz/make_seeds.sh BUILD_DIR SHARED_DIR
set -euo pipefail
tool=$(realpath "$1/qxvisor")
photos=$(realpath "$2/data/grocery/train/Fruit")
out=$(realpath "$(dirname "$0")/corpus/store_import")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "$out"

run() { "$tool" batch - >/dev/null; }
keep() { cp data-copy "$out/$1"; }

printf 'export\n' | run && keep empty_store
printf 'crop set 0 0 640 480\n' | run
{
  echo "test-detect $photos/Banana/Banana_001.jpg --confirm 1001"
  echo "test-detect $photos/Kiwi/Kiwi_001.jpg --confirm 1002"
  echo "test-detect $photos/Lemon/Lemon_001.jpg --confirm 1003"
  echo "test-detect $photos/Banana/Banana_002.jpg"
  echo "export"
} | run && keep three_products
# The export holds its own recognitions: Init empties them at every start.
printf 'norecommend 1002\ntest-detect %s --confirm 1004\nexport\n' "$photos/Lime/Lime_001.jpg" | run && keep withdrawn_product
ls -l "$out"
