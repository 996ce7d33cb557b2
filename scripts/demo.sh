#!/usr/bin/env bash
# The demo: packs examples/ into a self-extracting file with the packer, runs
# it under Wine on a virtual display, confirms its dialog, waits for the
# completion message, lists what was extracted and keeps screenshots.  It runs
# the i686 stub, the product, where the machine runs 32-bit programs, and the
# x86_64 build of the same stub where it does not.
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/demo
mkdir -p "$top/build"
trees=$("$top/scripts/windows-trees.sh" "$top/build/win" "$top/build/win64" 2>"$out.why") || { cat "$out.why" >&2; exit 1; }
tree=${trees%%$'\n'*}
if [ "$tree" = "$top/build/win" ]; then
  stub=$top/dist/kvxsfx.exe which="the i686 stub, as shipped"
else
  stub=$tree/dist/kvxsfx.exe which="the x86_64 build of the stub"
fi
prefix=$tree/wineprefix
sfx="$out/サンプル.exe"
rm -rf "$out"
mkdir -p "$out/shots"

# The examples, with the large product list generated beside them.
cp -a "$top/examples" "$out/examples"
perl "$top/tools/demo/products.pl" >"$out/examples/データ/製品一覧.csv"

echo "== packing examples/"
# MS-DOS times are local times: pack in the time zone the demo extracts in.
# The distributor's own icon, from a PNG; working files left out.
TZ=Asia/Tokyo "$top/dist/kvxsfx-pack" --stub "$stub" -o "$sfx" --title "KVX サンプル" \
  --message "サンプルのファイルを解凍します。" --dest 'C:\KVXサンプル' --icon "$top/tools/demo/icon.png" \
  --exclude '*.bak' "$out/examples"
"$top/dist/kvxsfx-pack" list "$sfx"
if [ "$tree" != "$top/build/win" ]; then
  why=$(sed -n 's/^note: the i686 Windows tests and programs cannot run on this machine: \(.*\); the x86_64.*/: \1/p' "$out.why")
  echo "(The i686 stub cannot run here$why,"
  echo " so the demo packs and runs the x86_64 test build of the stub,"
  echo " $stub; that is why the listing says it is not the stub the packer carries.)"
fi

echo "== running it under Wine: $which"
rm -rf "$prefix/drive_c/KVXサンプル"
"$tree/wine-run" "$tree/demo_run.exe" "Z:$sfx" "Z:$out/shots" 2>/dev/null | tr -d '\r'

echo "== extracted into C:\\KVXサンプル"
(cd "$prefix/drive_c/KVXサンプル" && TZ=Asia/Tokyo find . -type f -printf '%TY-%Tm-%Td %TH:%TM:%TS %8s  %P\n' | sed 's/\.[0-9]* / /' | sort -k4)
diff -r "$out/examples" "$prefix/drive_c/KVXサンプル" && echo "identical to examples/"

for shot in "$out"/shots/*.bmp; do
  convert "$shot" "${shot%.bmp}.png" && rm "$shot"
done
echo "== screenshots in $out/shots"
ls "$out/shots"
