#!/usr/bin/env bash
# Packing speed, size and memory: kvxsfx-pack on a tree of a few thousand
# files (about 200 MiB of text and binaries from this machine, plus random
# data), against `tar -cf - | bzip2 -9` and `bzip2 -9 -k` of each file, in one
# run on this machine.  usage: bench/pack_bench.sh [MiB, default 200]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-200}
make -C "$top" --no-print-directory all >/dev/null

work=$(mktemp -d /tmp/kvxpackbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree"

# Text: headers; binaries: shared libraries; a little random data.  Taken in a
# fixed order until each share of the size is reached.
take() {  # SOURCE-DIR FIND-ARGS... -- BYTES DEST
  local budget=$1 dest=$2 src=$3; shift 3
  local total=0
  while IFS= read -r f; do
    local size; size=$(stat -c %s "$f")
    [ $((total + size)) -gt "$budget" ] && continue
    mkdir -p "$dest/$(dirname "${f#$src/}")"
    cp "$f" "$dest/${f#$src/}"
    total=$((total + size))
  done < <(find "$src" "$@" -type f -size +1k -size -8M 2>/dev/null | LC_ALL=C sort)
}
take $((mib * 1048576 * 55 / 100)) "$tree/text" /usr/include
take $((mib * 1048576 * 40 / 100)) "$tree/bin" /usr/lib/x86_64-linux-gnu -name '*.so*'
mkdir -p "$tree/random"
for i in $(seq 1 20); do head -c $((mib * 1048576 * 5 / 100 / 20)) /dev/urandom >"$tree/random/r$i.bin"; done
files=$(find "$tree" -type f | wc -l)
bytes=$(du -sb "$tree" | cut -f1)
echo "tree: $files files, $((bytes / 1048576)) MiB; $(nproc) cores"

now() { date +%s.%N; }
sync
t0=$(now)
/usr/bin/time -f '%M' -o "$work/mem" "$top/dist/kvxsfx-pack" -q -o "$work/out.exe" "$tree"
t1=$(now)
(cd "$work" && tar -cf - tree | bzip2 -9 >"$work/tree.tar.bz2")
t2=$(now)
cp -r "$tree" "$work/single"
t3=$(now)
find "$work/single" -type f -print0 | xargs -0 -n 64 bzip2 -9 -k
t4=$(now)

pack_t=$(echo "$t1 - $t0" | bc -l); tar_t=$(echo "$t2 - $t1" | bc -l); per_t=$(echo "$t4 - $t3" | bc -l)
pack_size=$(($(stat -c %s "$work/out.exe") - 53248))
tar_size=$(stat -c %s "$work/tree.tar.bz2")
per_size=$(find "$work/single" -name '*.bz2' -printf '%s\n' | awk '{s += $1} END {print s}')
printf 'kvxsfx-pack          %7.2f s  %11d bytes of payload\n' "$pack_t" "$pack_size"
printf 'tar | bzip2 -9       %7.2f s  %11d bytes   time ratio %.2f\n' "$tar_t" "$tar_size" "$(echo "$tar_t / $pack_t" | bc -l)"
printf 'bzip2 -9 -k per file %7.2f s  %11d bytes   time ratio %.2f (target >= 1.8)\n' "$per_t" "$per_size" \
  "$(echo "$per_t / $pack_t" | bc -l)"
printf 'size against per-file bzip2: %+.2f %% (target within 1 %%)\n' "$(echo "($pack_size - $per_size) * 100 / $per_size" | bc -l)"
printf 'peak memory of kvxsfx-pack: %d MiB (target < 100)\n' "$(($(cat "$work/mem") / 1024))"
"$top/dist/kvxsfx-pack" test "$work/out.exe"
