#!/usr/bin/env bash
# The page that packs in a browser against kvxsfx-pack on one thread, on the
# same folder of a few hundred MB (this machine's headers and the largest of
# Wine's DLLs), in one run, taking turns: time, the page's time against the
# packer's, the peak memory of the browser's processes (all together, before
# packing, and the largest one) against the largest file, and whether the
# two files are the same, byte for byte (cmp).  Then the page opens a file of
# 8,000 entries and about 250 MiB: its listing, its test against kvxsfx-pack
# test, and its .zip with the browser's peak memory.
# usage: bench/web_bench.sh [ROUNDS, default 2] [open: the opening part alone]
set -euo pipefail
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-2}
only=${2:-}
make -C "$top" --no-print-directory web >/dev/null
work=$(mktemp -d /tmp/kvxwebbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

folder=$work/folder
[ "$only" = open ] || {
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
  read -r page_t peak idle largest_process page_file joining < <(node "$top/bench/web_bench.mjs" "$top" "$folder")
  t0=$(date +%s.%N)
  TZ=Asia/Tokyo "$top/dist/kvxsfx-pack" -q --threads 1 -o "$work/cli.exe" "$folder"
  cli_t=$(echo "$(date +%s.%N) - $t0" | bc -l)
  printf 'files chosen to joined %.2f s, ' "$joining"
  printf 'page %7.2f s  kvxsfx-pack --threads 1 %7.2f s  page / packer %.2f (target <= 2)  ' "$page_t" "$cli_t" \
    "$(echo "$page_t / $cli_t" | bc -l)"
  printf 'browser (PSS) peak %d MiB, %d idle, largest process %d (target < %d)  ' "$peak" "$idle" "$largest_process" \
    $((2 * largest / 1048576 + 200))
  if cmp -s "$page_file" "$work/cli.exe"; then echo "bytes: the same"; else echo "bytes: DIFFERENT"; fi
  rm -f "$page_file"
done
}

# Opening: a file of 8,000 entries and about 250 MiB, made by the packer, is
# listed, tested and extracted as a .zip by the page; the test against
# kvxsfx-pack test (one thread), taking turns.
opened=$work/open
mkdir -p "$opened/in"
python3 - "$opened/in" <<'EOF'
import os, sys, random
random.seed(39)
words = [w.encode() for w in ('kvx sfx page open list test extract folder file entry block stream data time name '
                              'size bytes zip stored compressed damaged signed').split()]
for i in range(8000):
    path = os.path.join(sys.argv[1], 'd%02d' % (i % 40), 'f%05d.%s' % (i, ['txt', 'bin', 'dat', 'zip'][i % 4]))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    size = random.randint(8, 72) << 10
    with open(path, 'wb') as f:  # two parts in three that nothing compresses, one of words
        f.write(os.urandom(size * 2 // 3) + b' '.join(random.choices(words, k=size // 18))[:size // 3])
EOF
"$top/dist/kvxsfx-pack" -q -o "$opened/open.exe" "$opened/in"
rm -rf "$opened/in"
size=$(stat -c %s "$opened/open.exe")
echo "open: $((size / 1048576)) MiB, 8,000 entries; $rounds rounds"
for round in $(seq 1 "$rounds"); do
  read -r list_t rows test_t zip_t peak idle zip_size test_cpu < <(node "$top/bench/web_bench.mjs" "$top" "$opened/open.exe" --open)
  # The packer's time and processor time (user and system), as bash's time says.
  read -r cli_t cli_user cli_system < <({ TIMEFORMAT='%R %U %S'; time "$top/dist/kvxsfx-pack" test "$opened/open.exe" >/dev/null; } 2>&1)
  cli_cpu=$(echo "$cli_user + $cli_system" | bc -l)
  printf 'listed %d rows in %.2f s (target <= 2)  test: page %.2f s, kvxsfx-pack test %.2f s, page / packer %.2f (target <= 2), ' \
    "$rows" "$list_t" "$test_t" "$cli_t" "$(echo "$test_t / $cli_t" | bc -l)"
  printf 'processor time %.2f s against %.2f s, %.2f  ' "$test_cpu" "$cli_cpu" "$(echo "$test_cpu / $cli_cpu" | bc -l)"
  printf '.zip %.2f s, %d MiB, browser (PSS) peak %d MiB, %d idle, peak - idle %d MiB (target <= %d)\n' "$zip_t" \
    $((zip_size / 1048576)) "$peak" "$idle" $((peak - idle)) $((size / 1048576 + 100))
done
