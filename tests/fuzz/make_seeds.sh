#!/usr/bin/env bash
# Makes the seeds that come from the library's own files again: the stores of
# the store_import target (real exports of the library, learned through the
# qxvisor tool from a few photos of the grocery set; only the exported stores
# are kept, never a photo) and the model header of the onnx_model target (the
# embedded model's first bytes: its header and first twelve nodes, no weights,
# with the graph's length made to fit). The older_release_* stores come from
# a release before the store named the engine that made its features: they
# keep the import's migration fuzzed, and are not made again.
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

python3 - "$2/models/produce_mnv2_160.onnx" "$out/../onnx_model/model_header" <<'PYTHON'
import sys

def varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at

def encode(value):
    out = bytearray()
    while True:
        out.append((value & 0x7F) | (0x80 if value > 0x7F else 0))
        value >>= 7
        if not value:
            return bytes(out)

def field_end(data, at):
    """The end of the field starting at `at`, and its key."""
    key, at = varint(data, at)
    if key & 7 == 0:
        return varint(data, at)[1], key
    length, at = varint(data, at)
    return at + length, key

model = open(sys.argv[1], "rb").read()
kept, at, graph_seen = b"", 0, False
while at < len(model):
    end, key = field_end(model, at)
    if key == 0x3A:  # the graph: its first twelve nodes only
        inner = varint(model, varint(model, at)[1])[1]
        nodes = b""
        for _ in range(12):
            node_end, _ = field_end(model, inner)
            nodes += model[inner:node_end]
            inner = node_end
        kept += b"\x3a" + encode(len(nodes)) + nodes
        graph_seen = True
    elif not graph_seen or key == 0x42:  # the header fields, and the operator set
        kept += model[at:end]
    at = end
open(sys.argv[2], "wb").write(kept)
PYTHON
ls -l "$out/../onnx_model"
