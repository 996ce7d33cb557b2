#!/usr/bin/env bash
# Extraction speed and memory of the stub's own code under Wine, against
# `bzip2 -dc` of the same streams and `cp` of the same stored files, in one run
# on this machine.  usage: bench/extract_bench.sh [MiB per kind, default 64]
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-64}
make -C "$top" --no-print-directory all >/dev/null
cmake --build "$top/build/host" --target bench_pack >/dev/null
# The harness of the architecture this machine runs, i686 first.
trees=$("$top/scripts/windows-trees.sh" "$top/build/win" "$top/build/win64")
win=${trees%%$'\n'*}
cmake --build "$win" --target extract_harness >/dev/null

work=$(mktemp -d /tmp/kvxbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
parts=4
per=$((mib / parts))
echo "data: $mib MiB of text in $parts bzip2 streams (-9), $mib MiB of stored files"
packed=() stored=()
for i in $(seq 1 $parts); do
  (set +o pipefail; head -c $((per * 1024 / 2))K /dev/urandom | od -An -tx1 -v -w32 | head -c ${per}M >"$work/text$i.txt")
  bzip2 -9 -k "$work/text$i.txt"
  head -c ${per}M /dev/urandom >"$work/blob$i.zip"
  packed+=(bzip2 "$work/text$i.txt.bz2" "text$i.txt")
  stored+=(stored "$work/blob$i.zip" "blob$i.zip")
done
"$top/build/host/bench_pack" "$top/dist/kvxsfx.exe" "$work/packed.exe" "${packed[@]}"
"$top/build/host/bench_pack" "$top/dist/kvxsfx.exe" "$work/stored.exe" "${stored[@]}"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
sync
t0=$(now); mkdir -p "$work/dc"
for i in $(seq 1 $parts); do bzip2 -dc "$work/text$i.txt.bz2" >"$work/dc/text$i.txt"; done
t1=$(now); mkdir -p "$work/cp"; cp "$work"/blob*.zip "$work/cp/"; t2=$(now)
bzip_time=$(elapsed "$t0" "$t1"); cp_time=$(elapsed "$t1" "$t2")
rm -rf "$work/dc" "$work/cp"

run() {  # SFX DEST [--progress] -> the harness's report line
  "$win/wine-run" "$win/extract_harness.exe" \
    "Z:$1" "Z:$2" "${@:3}" | tr -d '\r'
}
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }

packed_line=$(run "$work/packed.exe" "$work/out1")
cmp "$work/out1/text1.txt" "$work/text1.txt"
stored_line=$(run "$work/stored.exe" "$work/out2")
cmp "$work/out2/blob1.zip" "$work/blob1.zip"
progress_line=$(run "$work/packed.exe" "$work/out3" --progress)

pt=$(field seconds "$packed_line"); st=$(field seconds "$stored_line"); gt=$(field seconds "$progress_line")
printf 'bzip2 -dc      %7.3f s\n' "$bzip_time"
printf 'stub, bzip2    %7.3f s   ratio %.2f (target <= 1.25)\n' "$pt" "$(elapsed 0 "$pt / $bzip_time")"
printf 'stub + window  %7.3f s   ratio %.2f (PBM_SETPOS repaints under Wine)\n' "$gt" "$(elapsed 0 "$gt / $bzip_time")"
printf 'cp             %7.3f s\n' "$cp_time"
printf 'stub, stored   %7.3f s   ratio %.2f (target <= 2.5)\n' "$st" "$(elapsed 0 "$st / $cp_time")"
peak=$(field peak_working_set_kib "$packed_line"); base=$(field start_working_set_kib "$packed_line")
bz=$(field bzip2_peak_kib "$packed_line")
printf 'peak working set %d KiB: %d KiB above the harness at start, of which libbzip2 held at most %d KiB;\n' \
  "$peak" "$((peak - base))" "$bz"
printf 'beyond libbzip2: %d KiB (target < 8192)\n' "$((peak - base - bz))"
