#!/usr/bin/env bash
# Packing speed, size and memory, in one run on this machine:
#   - a tree of a few thousand files (text and binaries from this machine,
#     plus random data) against `tar -cf - | bzip2 -9` and `bzip2 -9 -k` of
#     each file;
#   - one large file each of text, binaries and random data, against
#     `bzip2 -9`, `pbzip2 -9` and `lbzip2 -9` with as many threads as the
#     packer uses by default, and against the packer over Debian's libbzip2,
#     with where the packer's time goes, stage by stage (perf);
#   - folders: a header tree of thousands of small files and a folder of
#     Windows programs, against `tar | lbzip2 -9`, with the per-file costs.
# On every corpus an earlier revision of the packer (the baseline) takes
# turns with this one, so that a slowdown shows apart from the other tools'
# noise.  The baseline is the commit in bench/baseline, moved forward when a
# round ends, or BASELINE=REVISION; it is built in a git worktree under
# build/baseline/, once per commit.  Speed ratios are the other's time over
# this packer's.  Exits 1 when this packer takes more than 3 % more user CPU
# seconds than the baseline on any corpus (the median of the rounds' ratios;
# wall time, which this machine's load sways by far more, is printed beside
# it), after printing every table; 2 when a stream is not bzip2's or the
# baseline cannot be found.
# usage: [BASELINE=REVISION] bench/pack_bench.sh [TREE-MiB, default 200] [FILE-MiB, default 128]
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-200}
single_mib=${2:-128}
cores=$(nproc)
baseline_rev=${BASELINE:-$(cat "$top/bench/baseline")}
baseline=$(git -C "$top" rev-parse -q --verify "$baseline_rev^{commit}") ||
  { echo "pack_bench: no commit $baseline_rev to compare with (bench/baseline, or BASELINE=REVISION)" >&2; exit 2; }
make -C "$top" --no-print-directory all >/dev/null

# The baseline's packer, built in its own worktree, which gets this one's
# libbzip2 source.  Only the host packer is built; it carries this revision's
# stub, which does not change how fast it packs.
# A build that did not finish leaves no stamp, and is made again; a folder
# that is no worktree (an interrupted checkout) is made anew.
base_tree=$top/build/baseline/$baseline
base_pack=$base_tree/dist/kvxsfx-pack
if [ ! -e "$base_tree/built" ]; then
  echo "building the baseline ${baseline:0:7} in $base_tree"
  if [ ! -e "$base_tree/.git" ]; then
    rm -rf "$base_tree"
    git -C "$top" worktree add -f --detach "$base_tree" "$baseline" >/dev/null
  fi
  ln -sfn "$(readlink -f "$top/.deps")" "$base_tree/.deps"
  mkdir -p "$base_tree/dist" && cp "$top/dist/kvxsfx.exe" "$base_tree/dist/"
  cmake -S "$base_tree" -B "$base_tree/build/host" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$base_tree/build/host" --target kvxsfx-pack -j"${JOBS:-$(nproc)}" >/dev/null
  touch "$base_tree/built"
fi
echo "baseline: $(git -C "$top" log -1 --format='%h of %cd' --date=short "$baseline")"
# The verdict: the corpora where this packer takes more than 3 % more CPU
# seconds.  The two run one after the other in each round, each first in
# every other round, and the median of the rounds' ratios counts, which a
# machine whose load drifts from round to round affects less than a ratio of
# medians.  CPU seconds, not wall time: on a loaded machine the same binary
# against itself gave wall ratios of 0.53 to 1.82 a round and medians under
# 0.97, where its CPU seconds stayed within a few percent and caught an 8 %
# slowdown in every round.
slower=
median_ratio() {  # LIST-A LIST-B: the median of A's values over B's, line by line
  paste "$1" "$2" | awk '{ print $1 / $2 }' | sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }'
}
against_baseline() {  # CORPUS: sets speed_ratio and cpu_ratio (the baseline's over this packer's), notes a slowdown
  speed_ratio=$(median_ratio "$work/base.times" "$work/pack.times")
  cpu_ratio=$(median_ratio "$work/base.cpu" "$work/pack.cpu")
  # CPU time comes in 10 ms steps: a corpus packed in under a CPU second is
  # too short for the verdict (the default sizes take several).
  local base_cpu; base_cpu=$(sort -n "$work/base.cpu" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')
  if [ "$(echo "$base_cpu < 1" | bc -l)" = 1 ]; then
    echo "($1: under a CPU second a run, too short for the verdict)"
  elif [ "$(echo "$cpu_ratio * 1.03 < 1" | bc -l)" = 1 ]; then
    slower="$slower $1"
  fi
}
# turns ROUND TOOL...: the tools in the order of this round, the packer and
# the baseline swapped in every other round.
turns() {
  local round=$1; shift
  if [ $((round % 2)) = 1 ]; then echo "$@"; else echo "$@" | sed 's/\bpack\b/@/; s/\bbase\b/pack/; s/@/base/'; fi
}

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
# This machine's speed varies by several percent from minute to minute: the
# tools take turns, $rounds rounds, and the median time of each counts.
rounds=${ROUNDS:-3}
# timed NAME OUTPUT COMMAND...: adds a time to NAME's list, keeps the size and peak memory.
timed() {
  local name=$1 output=$2; shift 2
  sync
  local t0 t1; t0=$(now)
  /usr/bin/time -f '%M %U %S' -o "$work/mem" "$@"
  t1=$(now)
  echo "$t1 - $t0" | bc -l >>"$work/$name.times"
  local kib user sys; read -r kib user sys <"$work/mem"
  # The verdict's CPU seconds are the program's own (user): the system's go
  # largely to reading what the page cache does not hold yet, which falls on
  # whichever runs first (the same code against itself, one round, the
  # packer first: 0.92 and 0.96 on the folders with them, 0.98 and 1.01
  # without).
  echo "$user" >>"$work/$name.cpu"
  eval "${name}_size=$(stat -c %s "$output")"
  eval "${name}_mem=$((kib / 1024))"
  eval "${name}_cpu=$(echo "$user + $sys" | bc -l)"
}
# pack_and_base ROUND OUTPUT INPUT: the packer (into OUTPUT) and the baseline
# on INPUT, in this round's order.
pack_and_base() {
  local tool
  for tool in $(turns "$1" pack base); do
    case $tool in
      pack) timed pack "$2" "$top/dist/kvxsfx-pack" -q -o "$2" "$3" ;;
      base) timed base "$work/base.exe" "$base_pack" -q -o "$work/base.exe" "$3" ;;
    esac
  done
}
median() { sort -n "$work/$1.times" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }

# The packer and the baseline take turns on the tree; the bzip2s run once.
rm -f "$work"/*.times "$work"/*.cpu
for round in $(seq 1 "$rounds"); do
  pack_and_base "$round" "$work/out.exe" "$tree"
done
t1=$(now)
(cd "$work" && tar -cf - tree | bzip2 -9 >"$work/tree.tar.bz2")
t2=$(now)
cp -r "$tree" "$work/single"
t3=$(now)
find "$work/single" -type f -print0 | xargs -0 -n 64 bzip2 -9 -k
t4=$(now)

pack_t=$(median pack); base_t=$(median base); tar_t=$(echo "$t2 - $t1" | bc -l); per_t=$(echo "$t4 - $t3" | bc -l)
pack_size=$(($(stat -c %s "$work/out.exe") - 53248))
tar_size=$(stat -c %s "$work/tree.tar.bz2")
per_size=$(find "$work/single" -name '*.bz2' -printf '%s\n' | awk '{s += $1} END {print s}')
printf 'kvxsfx-pack          %7.2f s  %11d bytes of payload (median of %d)\n' "$pack_t" "$pack_size" "$rounds"
against_baseline tree
printf 'baseline %s     %7.2f s                 speed: kvxsfx-pack / baseline %.2f x (CPU %.2f x)\n' \
  "${baseline:0:7}" "$base_t" "$speed_ratio" "$cpu_ratio"
printf 'tar | bzip2 -9       %7.2f s  %11d bytes   time ratio %.2f\n' "$tar_t" "$tar_size" "$(echo "$tar_t / $pack_t" | bc -l)"
printf 'bzip2 -9 -k per file %7.2f s  %11d bytes   time ratio %.2f (target >= 1.9)\n' "$per_t" "$per_size" \
  "$(echo "$per_t / $pack_t" | bc -l)"
printf 'size against per-file bzip2: %+.2f %% (target within 1 %%)\n' "$(echo "($pack_size - $per_size) * 100 / $per_size" | bc -l)"
printf 'peak memory of kvxsfx-pack: %d MiB (target < 100)\n' "$pack_mem"
"$top/dist/kvxsfx-pack" test "$work/out.exe"
rm -rf "$tree" "$work/single" "$work/out.exe" "$work/base.exe"

# One large file at a time: text (this machine's headers and documents,
# repeated in a fixed order up to the size), binaries (its shared libraries)
# and random data.  The packer against bzip2, pbzip2 and lbzip2 with as many
# threads as it uses by default.  The packer's stream must be byte for byte
# what `bzip2 -9` wrote: the entry is the last thing in the file.
fill() {  # FILE MiB FIND-ARGS...: the found files, concatenated up to the size
  local file=$1 size=$(($2 * 1048576)); shift 2
  mkdir -p "$(dirname "$file")"
  while [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -lt "$size" ]; do
    find "$@" 2>/dev/null | LC_ALL=C sort | xargs cat >>"$file" 2>/dev/null
  done
  truncate -s "$size" "$file"
}
fill "$work/text/large.txt" "$single_mib" /usr/include /usr/share/doc -type f \( -name '*.h' -o -name '*.txt' -o -name 'README*' \)
fill "$work/binaries/large.so" $((single_mib / 2)) /usr/lib/x86_64-linux-gnu -type f -name '*.so*'
mkdir -p "$work/random" && head -c $((single_mib / 4 * 1048576)) /dev/urandom >"$work/random/large.bin"

single() {  # KIND TOOL...: one file of that kind, each tool timed
  local kind=$1; shift
  local file; file=$(ls "$work/$kind"/*)
  rm -f "$work"/*.times "$work"/*.cpu
  echo
  echo "one file: $(($(stat -c %s "$file") / 1048576)) MiB of $kind; $cores threads; median of $rounds rounds"
  for round in $(seq 1 "$rounds"); do
    for tool in $(turns "$round" "$@"); do
      case $tool in
        pack) timed pack "$work/pack.exe" "$top/dist/kvxsfx-pack" -q -o "$work/pack.exe" "$work/$kind" ;;
        base) timed base "$work/base.exe" "$base_pack" -q -o "$work/base.exe" "$work/$kind" ;;
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
  against_baseline "$kind"
  printf 'speed: kvxsfx-pack / baseline %.2f x (CPU %.2f x)   kvxsfx-pack / lbzip2 %.2f x\n' \
    "$speed_ratio" "$cpu_ratio" "$(echo "$(median lbzip2) / $pack_t" | bc -l)"
  # The packer's stream must be bzip2's (random data is stored, as it does
  # not shrink): a difference is a fault, and ends the benchmark.
  if [ "$kind" != random ] && ! tail -c "$bzip2_size" "$work/pack.exe" | cmp -s - "$work/b.bz2"; then
    echo "FAIL: kvxsfx-pack's stream is not the bytes bzip2 -9 wrote" >&2
    exit 2
  fi
  [ "$kind" = random ] || echo "kvxsfx-pack's stream is the $bzip2_size bytes bzip2 -9 wrote"
  "$top/dist/kvxsfx-pack" test "$work/pack.exe" >/dev/null
}
# perf's samples, by stage: the stages of compression, then the costs a
# folder pays per file (opening and reading, stream set-up, the entry's CRC,
# name conversion, the hand-off between threads).  Reads `perf report` on
# standard input; prints "stage share".
stage_shares() {
  awk '
    function stage(dso, sym) {
      if (sym ~ /KVX_sortRotationsInduced|induced::/) return "induced sort"
      if (sym ~ /SortInducing|IsRotationOrder|LooksRandom|BZ2_blockSort$/) return "routing, check, last column"
      if (sym ~ /mainSort|fallbackSort|mainGtU|mainQSort|mainSimpleSort|fallbackQSort|fallbackSimpleSort|BZ2_blockSortStock/) return "libbzip2 sorter"
      if (sym ~ /generateMTFValues|KVX_mtfValuesWide|CodeWide|PutChange|PutZeros|MoveToFront|RunDigits/) return "move-to-front"
      if (sym ~ /compressBlock|sendMTFValues|BZ2_hb|bsW|bsPutU/) return "Huffman coding"
      if (sym ~ /BZ2_crcUpdate/) return "per file: entry CRC"
      if (sym ~ /handle_compress|copy_input|add_pair|flush_RL|BZ2_bzCompress$/) return "input: run-length coding"
      if (sym ~ /BlockCutter/) return "block cutter"
      if (sym ~ /iconv|gconv|Utf8ToCp932|Cp932ToUtf8/) return "per file: name conversion"
      if (sym ~ /BZ2_bzCompressInit|BZ2_bzCompressReset|BZ2_bzCompressEnd|Compressor|malloc|free|memset|cfree|mmap|munmap|madvise|brk/) return "per file: stream set-up, work space"
      if (sym ~ /irqentry_exit|exc_page_fault|handle_softirqs/) return "kernel: interrupts, page faults"
      if (sym ~ /futex|pthread|schedule|task_switch|wake|ttwu|enqueue|dequeue|__lll_lock|condition_variable|Pipeline::(Take|Next)/) return "per file: hand-off between threads"
      if (dso ~ /kernel/ && sym ~ /open|read|stat|getattr|lookup|path|dentry|inode|iter|filemap|ext4|close|fd|getdents|page_cache|folio|permission|do_sys|syscall|entry_SYSCALL/) return "per file: open, read, stat"
      if (sym ~ /ReadSmallFile|ChunkReader|Collect|fopen|fread|__libc_(read|open)|opendir|readdir/) return "per file: open, read, stat"
      if (sym ~ /memchr|memmove|memcpy/) return "copies"
      return "other"
    }
    /^ *[0-9.]+%/ { sym = $0; sub(/.*\] /, "", sym); total[stage($2, sym)] += $1 + 0 }
    END { for (s in total) printf "%s\t%.2f\n", s, total[s] }' | sort
}

# Where the packer's time goes on one corpus, by stage, from perf's samples
# of a run on THREADS threads (skipped where perf cannot sample).  Given the
# CPU seconds of an unprofiled run and the number of files, it also prints
# the CPU time per file of each stage.
stages() {  # DIR [THREADS] [CPU-SECONDS FILES]
  local dir=$1 threads=${2:-1} cpu=${3:-} files=${4:-}
  perf record -q -o "$work/perf.data" "$top/dist/kvxsfx-pack" -q --threads "$threads" -o "$work/stages.exe" "$dir" \
    >/dev/null 2>&1 || { echo "stages: perf cannot sample here"; return 0; }
  echo "where the time goes ($threads thread(s), perf)"
  perf report -i "$work/perf.data" --stdio --no-children --sort dso,sym 2>/dev/null | stage_shares |
    awk -F '\t' -v cpu="$cpu" -v files="$files" '{
      if (cpu != "" && files > 0) printf "  %-40s %5.1f %%  %7.1f us per file\n", $1, $2, $2 / 100 * cpu * 1e6 / files
      else printf "  %-40s %5.1f %%\n", $1, $2 }'
}
# Folders as distributors pack them, against `tar -cf - DIR | lbzip2 -9` on
# the same number of cores, taking turns: a header tree of thousands of small
# files (this machine's /usr/include) and a folder of Windows programs (the
# 60 largest of Wine's PE DLLs, or of this machine's shared libraries where
# Wine's are missing).  On the header tree the packer also runs on one
# thread, and perf says where the time goes and what each file costs.
copy_headers() {  # DEST
  mkdir -p "$1"
  cp -rL /usr/include "$1/include" 2>/dev/null || true  # links followed; broken ones left out
  find "$1" -type l -delete
}
copy_programs() {  # DEST
  mkdir -p "$1"
  local dir
  for dir in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/x86_64-windows \
      /usr/lib/wine/i386-windows /usr/lib/x86_64-linux-gnu; do
    if ls "$dir"/*.dll >/dev/null 2>&1; then
      ls -S "$dir"/*.dll | awk 'NR <= 60' | xargs cp -t "$1"
      return
    fi
  done
  find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -printf '%s %p\n' | sort -rn | awk 'NR <= 60' |
    cut -d' ' -f2- | xargs cp -t "$1"
}
folder_against_lbzip2() {  # NAME COPY-FUNCTION [one-thread]
  local name=$1 dir=$work/$1
  rm -rf "$dir" && "$2" "$dir"
  local files; files=$(find "$dir" -type f | wc -l)
  echo
  echo "folder $name: $files files, $(($(du -sb "$dir" | cut -f1) / 1048576)) MiB; $cores threads; median of $rounds rounds"
  rm -f "$work"/*.times "$work"/*.cpu
  for round in $(seq 1 "$rounds"); do
    pack_and_base "$round" "$work/pack.exe" "$dir"
    timed tarlbzip2 "$work/t.tar.bz2" sh -c "cd '$work' && tar -cf - '$name' | lbzip2 -9 -n$cores >'$work/t.tar.bz2'"
    if [ "${3:-}" = one-thread ]; then
      timed one "$work/one.exe" "$top/dist/kvxsfx-pack" -q --threads 1 -o "$work/one.exe" "$dir"
    fi
  done
  local pack_t lbz_t base_t; pack_t=$(median pack) lbz_t=$(median tarlbzip2) base_t=$(median base)
  printf 'kvxsfx-pack        %7.2f s  %11d bytes  %5d MiB\n' "$pack_t" "$pack_size" "$pack_mem"
  printf 'baseline %s   %7.2f s  %11d bytes  %5d MiB\n' "${baseline:0:7}" "$base_t" "$base_size" "$base_mem"
  printf 'tar | lbzip2 -9    %7.2f s  %11d bytes  %5d MiB   tar|lbzip2 / kvxsfx-pack time %.2f\n' \
    "$lbz_t" "$tarlbzip2_size" "$tarlbzip2_mem" "$(echo "$lbz_t / $pack_t" | bc -l)"
  against_baseline "$name"
  printf 'speed: kvxsfx-pack / baseline %.2f x (CPU %.2f x)   kvxsfx-pack / tar|lbzip2 %.2f x\n' \
    "$speed_ratio" "$cpu_ratio" "$(echo "$lbz_t / $pack_t" | bc -l)"
  if [ "${3:-}" = one-thread ]; then
    local one_t; one_t=$(median one)
    printf 'kvxsfx-pack, 1 thread %4.2f s   %d threads are %.2f x one thread\n' "$one_t" "$cores" \
      "$(echo "$one_t / $pack_t" | bc -l)"
    stages "$dir" "$cores" "$pack_cpu" "$files"
  fi
}

single text pack base bzip2 pbzip2 lbzip2
echo "targets: lbzip2 / kvxsfx-pack time >= 1.50; baseline / kvxsfx-pack >= 1.08 against fd2a222"
stages "$work/text"
single binaries pack base bzip2 pbzip2 lbzip2
echo "targets: lbzip2 / kvxsfx-pack time >= 1.30; baseline / kvxsfx-pack >= 1.08 against fd2a222"
stages "$work/binaries"
single random pack base bzip2 lbzip2
stages "$work/random"
folder_against_lbzip2 headers copy_headers one-thread
echo "targets: tar|lbzip2 / kvxsfx-pack >= 1.00; $cores threads >= 1.8 x one (on 2 cores)"
folder_against_lbzip2 programs copy_programs
echo "target: tar|lbzip2 / kvxsfx-pack >= 1.30"
echo "peak memory target: < 100 MiB"

# The block sorters alone on the same data: the packer's induced sort against
# libdivsufsort (the anchor) and libbzip2's sorter.
echo
cmake --build "$top/build/host" --target bench_sort >/dev/null
"$top/build/host/bench_sort" "$work/text/large.txt" "$work/binaries/large.so" "$work/random/large.bin"

# The verdict against the baseline, once every table is out.
echo
if [ -n "$slower" ]; then
  echo "FAIL: more than 3 % more CPU seconds than the baseline ${baseline:0:7} on:$slower" >&2
  exit 1
fi
echo "no corpus took more than 3 % more CPU seconds than the baseline ${baseline:0:7}"
