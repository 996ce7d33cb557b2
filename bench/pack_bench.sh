#!/usr/bin/env bash
# Packing speed, size and memory, in one run on this machine:
#   - a tree of a few thousand files (text and binaries from this machine,
#     plus random data) against `tar -cf - | bzip2 -9` and `bzip2 -9 -k` of
#     each file;
#   - one large file each of text, binaries and random data, against
#     `bzip2 -9`, `pbzip2 -9` and `lbzip2 -9` with as many threads as the
#     packer uses by default, and against the packer over Debian's libbzip2,
#     with where the packer's time goes, stage by stage (perf);
#   - a source tree of many small files against `tar | lbzip2 -9`.
# usage: bench/pack_bench.sh [TREE-MiB, default 200] [FILE-MiB, default 128]
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-200}
single_mib=${2:-128}
cores=$(nproc)
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
printf 'bzip2 -9 -k per file %7.2f s  %11d bytes   time ratio %.2f (target >= 1.9)\n' "$per_t" "$per_size" \
  "$(echo "$per_t / $pack_t" | bc -l)"
printf 'size against per-file bzip2: %+.2f %% (target within 1 %%)\n' "$(echo "($pack_size - $per_size) * 100 / $per_size" | bc -l)"
printf 'peak memory of kvxsfx-pack: %d MiB (target < 100)\n' "$(($(cat "$work/mem") / 1024))"
"$top/dist/kvxsfx-pack" test "$work/out.exe"
rm -rf "$tree" "$work/single" "$work/out.exe"

# One large file at a time: text (this machine's headers and documents,
# repeated in a fixed order up to the size), binaries (its shared libraries)
# and random data.  The packer against bzip2, pbzip2 and lbzip2 with as many
# threads as it uses by default, and against itself over Debian's libbzip2
# (kvxsfx-pack-libbz2, the packer as it was before it sorted blocks itself):
# the two must write the same bytes.
fill() {  # FILE MiB FIND-ARGS...: the found files, concatenated up to the size
  local file=$1 size=$(($2 * 1048576)); shift 2
  mkdir -p "$(dirname "$file")"
  while [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -lt "$size" ]; do
    find "$@" 2>/dev/null | LC_ALL=C sort | xargs cat >>"$file" 2>/dev/null
  done
  truncate -s "$size" "$file"
}
cmake --build "$top/build/host" --target kvxsfx-pack-libbz2 >/dev/null
fill "$work/text/large.txt" "$single_mib" /usr/include /usr/share/doc -type f \( -name '*.h' -o -name '*.txt' -o -name 'README*' \)
fill "$work/binaries/large.so" $((single_mib / 2)) /usr/lib/x86_64-linux-gnu -type f -name '*.so*'
mkdir -p "$work/random" && head -c $((single_mib / 4 * 1048576)) /dev/urandom >"$work/random/large.bin"

# This machine's speed varies by several percent from minute to minute: the
# tools take turns, $rounds rounds, and the median time of each counts.
rounds=${ROUNDS:-3}
# timed NAME OUTPUT COMMAND...: adds a time to NAME's list, keeps the size and peak memory.
timed() {
  local name=$1 output=$2; shift 2
  sync
  local t0 t1; t0=$(now)
  /usr/bin/time -f '%M' -o "$work/mem" "$@"
  t1=$(now)
  echo "$t1 - $t0" | bc -l >>"$work/$name.times"
  eval "${name}_size=$(stat -c %s "$output")"
  eval "${name}_mem=$(($(cat "$work/mem") / 1024))"
}
median() { sort -n "$work/$1.times" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }

single() {  # KIND TOOL...: one file of that kind, each tool timed
  local kind=$1; shift
  local file; file=$(ls "$work/$kind"/*)
  rm -f "$work"/*.times
  echo
  echo "one file: $(($(stat -c %s "$file") / 1048576)) MiB of $kind; $cores threads; median of $rounds rounds"
  for round in $(seq 1 "$rounds"); do
    for tool in "$@"; do
      case $tool in
        pack) timed pack "$work/pack.exe" "$top/dist/kvxsfx-pack" -q -o "$work/pack.exe" "$work/$kind" ;;
        libbz2) timed libbz2 "$work/libbz2.exe" "$top/build/host/kvxsfx-pack-libbz2" -q -o "$work/libbz2.exe" "$work/$kind" ;;
        bzip2) timed bzip2 "$work/b.bz2" sh -c "bzip2 -9 -c '$file' >'$work/b.bz2'" ;;
        pbzip2) timed pbzip2 "$work/p.bz2" sh -c "pbzip2 -9 -p$cores -c '$file' >'$work/p.bz2'" ;;
        lbzip2) timed lbzip2 "$work/l.bz2" sh -c "lbzip2 -9 -n$cores -c '$file' >'$work/l.bz2'" ;;
      esac
    done
  done
  local pack_t; pack_t=$(median pack)
  for tool in "$@"; do
    local t; t=$(median $tool)
    eval "size=\$${tool}_size mem=\$${tool}_mem"
    printf '%-8s %7.2f s  %11d bytes  %5d MiB   this / kvxsfx-pack time %.2f\n' "$tool" "$t" "$size" "$mem" \
      "$(echo "$t / $pack_t" | bc -l)"
  done
  # The two packers must write the same bytes: a difference is a fault, and
  # ends the benchmark.
  if ! cmp "$work/pack.exe" "$work/libbz2.exe"; then
    echo "FAIL: kvxsfx-pack and kvxsfx-pack-libbz2 wrote different bytes" >&2
    exit 1
  fi
  echo "kvxsfx-pack and kvxsfx-pack-libbz2 wrote the same $pack_size bytes"
  "$top/dist/kvxsfx-pack" test "$work/pack.exe" >/dev/null
}
# Where the packer's time goes on one corpus, by stage, from perf's samples
# of a run on one thread (skipped where perf cannot sample).
stages() {  # KIND
  perf record -q -o "$work/perf.data" "$top/dist/kvxsfx-pack" -q --threads 1 -o "$work/stages.exe" "$work/$1" \
    >/dev/null 2>&1 || { echo "stages: perf cannot sample here"; return 0; }
  perf report -i "$work/perf.data" --stdio --no-children --sort dso,sym 2>/dev/null | awk '
    function stage(dso, sym) {
      if (sym ~ /KVX_sortRotationsInduced|induced::/) return "induced sort"
      if (sym ~ /SortInducing|IsRotationOrder|LooksRandom|BZ2_blockSort$/) return "routing, check, last column"
      if (sym ~ /mainSort|fallbackSort|mainGtU|mainQSort|mainSimpleSort|fallbackQSort|fallbackSimpleSort|BZ2_blockSortStock/) return "libbzip2 sorter"
      if (sym ~ /generateMTFValues|memchr|memmove|memcpy/) return "move-to-front"
      if (sym ~ /compressBlock|sendMTFValues|BZ2_hb|bsW|bsPutU/) return "Huffman coding"
      if (sym ~ /handle_compress|copy_input|add_pair|flush_RL|BZ2_crcUpdate|BZ2_bzCompress/) return "input: run-length coding and CRC"
      if (sym ~ /BlockCutter/) return "block cutter"
      return "other"
    }
    /^ *[0-9.]+%/ { sym = $0; sub(/.*\] /, "", sym); total[stage($2, sym)] += $1 + 0 }
    END { for (s in total) printf "  %-34s %5.1f %%\n", s, total[s] }' | sort -k1,1
}

# A source tree of many small files (this machine's headers), packed as a
# folder, against tar and lbzip2 on every core, taking turns.
tree_against_lbzip2() {
  rm -rf "$work/sources" && mkdir -p "$work/sources"
  cp -rL /usr/include "$work/sources/include" 2>/dev/null || true  # links followed; broken ones left out
  find "$work/sources" -type l -delete
  echo
  echo "a source tree: $(find "$work/sources" -type f | wc -l) files, $(($(du -sb "$work/sources" | cut -f1) / 1048576)) MiB; median of $rounds rounds"
  rm -f "$work"/*.times
  for round in $(seq 1 "$rounds"); do
    timed pack "$work/pack.exe" "$top/dist/kvxsfx-pack" -q -o "$work/pack.exe" "$work/sources"
    timed tarlbzip2 "$work/t.tar.bz2" sh -c "cd '$work' && tar -cf - sources | lbzip2 -9 -n$cores >'$work/t.tar.bz2'"
  done
  local pack_t lbz_t; pack_t=$(median pack) lbz_t=$(median tarlbzip2)
  printf 'kvxsfx-pack        %7.2f s  %11d bytes\n' "$pack_t" "$pack_size"
  printf 'tar | lbzip2 -9    %7.2f s  %11d bytes   tar|lbzip2 / kvxsfx-pack time %.2f\n' "$lbz_t" "$tarlbzip2_size" \
    "$(echo "$lbz_t / $pack_t" | bc -l)"
}

single text pack libbz2 bzip2 pbzip2 lbzip2
echo "target: lbzip2 / kvxsfx-pack time >= 1.10"
stages text
single binaries pack libbz2 bzip2 pbzip2 lbzip2
echo "target: lbzip2 / kvxsfx-pack time >= 1.00"
stages binaries
single random pack libbz2
echo "target: kvxsfx-pack-libbz2 / kvxsfx-pack time >= 1.00"
stages random
tree_against_lbzip2
echo "peak memory target: <= 100 MiB"

# The block sorters alone on the same data: the packer's induced sort against
# libdivsufsort (the anchor) and libbzip2's sorter.
echo
cmake --build "$top/build/host" --target bench_sort >/dev/null
"$top/build/host/bench_sort" "$work/text/large.txt" "$work/binaries/large.so" "$work/random/large.bin"
