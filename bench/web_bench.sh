#!/usr/bin/env bash
# The page that packs in a browser against kvxsfx-pack on one thread, on the
# same folder of a few hundred MB (this machine's headers and the largest of
# Wine's DLLs), in one run, taking turns: time, the page's time against the
# packer's, the peak memory of the browser's processes (all together, before
# packing, and the largest one) against the largest file, and whether the
# two files are the same.
# usage: bench/web_bench.sh [ROUNDS, default 2]
set -euo pipefail
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-2}
make -C "$top" --no-print-directory web >/dev/null
work=$(mktemp -d /tmp/kvxwebbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

folder=$work/folder
mkdir -p "$folder"
cp -r /usr/include "$folder/include" 2>/dev/null || true
find "$folder" -type l -delete
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$dlls" ] || dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
mkdir -p "$folder/dlls"
find "$dlls" -name '*.dll' -type f -printf '%s %p\n' | sort -k1,1nr >"$work/dlls"
head -n 20 "$work/dlls" | cut -d' ' -f2- | while IFS= read -r f; do cp "$f" "$folder/dlls/"; done
files=$(find "$folder" -type f | wc -l)
bytes=$(du -sb "$folder" | cut -f1)
largest=$(find "$folder" -type f -printf '%s\n' | sort -n | tail -n 1 || true)
echo "folder: $files files, $((bytes / 1048576)) MiB, the largest $((largest / 1048576)) MiB; $rounds rounds"

for round in $(seq 1 "$rounds"); do
  read -r page_t peak idle largest_process page_size joining < <(node "$top/bench/web_bench.mjs" "$top" "$folder")
  t0=$(date +%s.%N)
  TZ=Asia/Tokyo "$top/dist/kvxsfx-pack" -q --threads 1 -o "$work/cli.exe" "$folder"
  cli_t=$(echo "$(date +%s.%N) - $t0" | bc -l)
  printf 'files chosen to joined %.2f s, ' "$joining"
  printf 'page %7.2f s  kvxsfx-pack --threads 1 %7.2f s  page / packer %.2f (target <= 2)  ' "$page_t" "$cli_t" \
    "$(echo "$page_t / $cli_t" | bc -l)"
  printf 'browser (PSS) peak %d MiB, %d idle, largest process %d (target < %d)  ' "$peak" "$idle" "$largest_process" \
    $((2 * largest / 1048576 + 200))
  echo "sizes: page $page_size, packer $(stat -c %s "$work/cli.exe")"
done
