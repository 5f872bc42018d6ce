#!/usr/bin/env bash
# The demo: a scale in a folder. Learns six products from real photos, puts a
# held-back photo on a simulated camera's tray, recognises it with AutoDetect,
# confirms it with SetFeedBack, then measures accuracy on the whole photo set.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
grocery=$(cd "${QX_SHARED_DIR:-$root/../shared}/data/grocery" && pwd)
qxvisor="$build/qxvisor"
start=$(date +%s)

work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# code  catalogue name  unit price  photo folder
products=(
  "1001|Banana|1.99|Fruit/Banana"
  "1002|Carrots|0.89|Vegetables/Carrots"
  "1003|Aubergine|2.49|Vegetables/Aubergine"
  "1004|Kiwi|0.45|Fruit/Kiwi"
  "1005|Pineapple|2.99|Fruit/Pineapple"
  "1006|Red Bell Pepper|0.79|Vegetables/Pepper/Red-Bell-Pepper"
)

echo "== 1. A product catalogue like the POS program's, and dev.ini pointing at it"
{
  echo "CREATE TABLE qx_goods (pluNo TEXT, name TEXT, unitPrice TEXT, priceUnitDes TEXT, imageUrl TEXT, keywordPinyin TEXT);"
  for p in "${products[@]}"; do
    IFS='|' read -r code name price folder <<<"$p"
    echo "INSERT INTO qx_goods VALUES ('$code', '$name', '$price', 'kg', NULL, '$(echo "$name" | tr -d ' ' | tr 'A-Z' 'a-z')');"
  done
} | sqlite3 catalogue.db
printf "[default]\nsaveImage = 1\ncatalogDb = %s\n" "$work/catalogue.db" > dev.ini
cat dev.ini

echo
echo "== 2. Five training photos per product into pic_data/<code>/, then LearnFromPicData"
for p in "${products[@]}"; do
  IFS='|' read -r code name price folder <<<"$p"
  mkdir -p "pic_data/$code"
  ls "$grocery/train/$folder"/*.jpg | head -n 5 | while read -r photo; do cp "$photo" "pic_data/$code/"; done
  echo "  $code $name: $(ls "pic_data/$code" | wc -l) photos"
done
"$qxvisor" learn

echo
echo "== 3. A simulated camera: 30 frames of a held-back kiwi photo lying on the tray"
kiwi=$(ls "$grocery/val/Fruit/Kiwi"/*.jpg | head -n 1)
mkdir -p frames
"$build/qx_tray_frames" "$kiwi" frames 150 70 340 340 30
echo "  $(ls frames | wc -l) frames in frames/, showing $(basename "$kiwi")"
export QX_CAMERA_SOURCE="$work/frames/%03d.jpg"
"$qxvisor" crop set 150 70 340 340

echo
echo "== 4. AutoDetect on the camera, then the cashier confirms the kiwi (SetFeedBack)"
"$qxvisor" detect --camera 0 --confirm 1004 --name Kiwi
echo "  pic_data/1004 now holds $(ls pic_data/1004 | wc -l) photos (a confirmed choice among several candidates is learned and filed)"

echo
echo "== 5. How well does it recognise? eval: 3 photos learned per kind, all 50 kinds, every val photo"
mkdir -p eval
(cd eval && "$qxvisor" eval "$grocery/train" "$grocery/val" --shots 3 | tail -n 2)

echo
echo "Done in $(( $(date +%s) - start )) s. The demo's files are in $work:"
echo "  featurexYz.db (learned samples and records), pic_data/ (training photos and the confirmed tray picture),"
echo "  QXPhoto/ (frames and crops of this run), tmp/daily_*.txt (the library's log), eval/ (the accuracy run)."
