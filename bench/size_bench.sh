#!/usr/bin/env bash
# How small and how fast, one bzip2 stream per file as the format stores
# them, on corpora built from this machine: one text file, one file of Linux
# shared objects, the largest of Wine's 32-bit Windows DLLs, the largest
# fonts and the C++ headers.  For each: bzip2 -9 on each file, 7-Zip's bzip2
# writer (-mx9 -mpass=10, p7zip-full) on each file, kvxsfx-pack's default and
# its --smallest, on every core.  Prints bytes and seconds, and each against
# bzip2 -9 and against 7-Zip.  Fails unless the default's every stream is
# byte for byte the one bzip2 -9 writes for its file (where it is not stored).
# usage: bench/size_bench.sh [MiB of each single file, default 24]
set -euo pipefail
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-24}
make -C "$top" --no-print-directory host >/dev/null
cmake --build "$top/build/host" --target kvxsfx-pack >/dev/null
pack=$top/dist/kvxsfx-pack
command -v 7z >/dev/null || { echo "size_bench: 7z missing; run scripts/bootstrap.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/kvxsizebench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One file of MiB: the files FIND-ARGS finds, in a fixed order, concatenated
# (decompressed where they are gzip files) until it is that large.
fill() {  # FILE MiB FIND-ARGS...
  local file=$1 size=$(($2 * 1048576)); shift 2
  mkdir -p "$(dirname "$file")"
  : >"$file"
  while [ "$(stat -c %s "$file")" -lt "$size" ]; do
    find "$@" 2>/dev/null | LC_ALL=C sort | while IFS= read -r f; do
      case $f in *.gz) zcat "$f" 2>/dev/null ;; *) cat "$f" ;; esac
    done >>"$file"
  done
  truncate -s "$size" "$file"
}
# The COUNT largest files FIND-ARGS finds, copied into DIR.
largest() {  # DIR COUNT FIND-ARGS...
  local dir=$1 count=$2; shift 2
  mkdir -p "$dir"
  find "$@" -type f -printf '%s %p\n' 2>/dev/null | sort -k1,1nr -k2 >"$work/found"
  head -n "$count" "$work/found" | cut -d' ' -f2- | while IFS= read -r f; do cp "$f" "$dir/"; done
}

fill "$work/text/text.txt" "$mib" /usr/share/doc /usr/include -type f \( -name '*.txt' -o -name 'README*' -o -name '*.h' -o -name 'changelog*.gz' \)
fill "$work/objects/objects.so" "$mib" /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*'
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$dlls" ] || dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
largest "$work/dlls" 60 "$dlls" -name '*.dll'
largest "$work/fonts" 12 /usr/share/fonts \( -name '*.ttf' -o -name '*.otf' -o -name '*.ttc' \)
headers=$(ls -d /usr/include/c++/* | sort -V | tail -n 1)
cp -r "$headers" "$work/headers"

now() { date +%s.%N; }
# Seconds COMMAND takes.
timed() {
  local t0; t0=$(now)
  "$@"
  echo "$(now) - $t0" | bc -l
}
# The payload's streams: the sum of the entries' packed sizes.
packed() { "$pack" list --json "$1" | perl -ne '$s += $1 if /"packed": (\d+)/; END { print $s + 0 }'; }
each_file() {  # DIR COMMAND...: COMMAND FILE OUT for every file, each OUT a file of its own, listed in out/list
  local dir=$1 n=0; shift
  find "$dir" -type f -print0 | while IFS= read -r -d '' f; do
    n=$((n + 1)); "$@" "$f" "$work/out/$n.bz2"; printf '%s\t%s\n' "$n" "$f" >>"$work/out/list"
  done
}
# Fails unless each file's bzip2 -9 stream in DIR (as each_file wrote them)
# stands byte for byte in EXE, where the stream is smaller than the file (else
# the packer stores the file).
same_as_bzip2() {  # EXE DIR
  perl -e '
    my ($exe, $dir) = @ARGV;
    local $/;
    open(my $in, "<:raw", $exe) or die; my $payload = <$in>;
    open(my $list, "<", "$dir/list") or die; my $bad = 0;
    for (split /\n/, <$list>) {
      my ($n, $file) = split /\t/, $_, 2;
      open(my $s, "<:raw", "$dir/$n.bz2") or die; my $stream = <$s>;
      next if length($stream) >= -s $file;
      if (index($payload, $stream) < 0) { print STDERR "size_bench: $file: its stream is not the one bzip2 -9 writes\n"; $bad++; }
    }
    exit($bad ? 1 : 0);' "$1" "$2"
}
bzip2_one() { bzip2 -9 -c "$1" >"$2"; }
sevenzip_one() { rm -f "$2"; 7z a -tbzip2 -mx9 -mpass=10 "$2" "$1" >/dev/null; }

printf '%-8s %5s %12s | %-11s %-11s %-11s %-11s | %-7s %-7s %-7s | %s\n' corpus files bytes "bzip2 -9" "7-Zip" "ours" \
  "smallest" "7z/bz2" "small/bz" "small/7z" "time: bzip2, 7-Zip, ours, smallest; 7-Zip / smallest"
for corpus in text objects dlls fonts headers; do
  dir=$work/$corpus
  files=$(find "$dir" -type f | wc -l)
  bytes=$(du -sb "$dir" | cut -f1)
  rm -rf "$work/out" "$work/bzip2" && mkdir -p "$work/out"
  bzip2_t=$(timed each_file "$dir" bzip2_one)
  bzip2_size=$(du -cb "$work"/out/*.bz2 | tail -n 1 | cut -f1)
  mv "$work/out" "$work/bzip2" && mkdir -p "$work/out"
  seven_t=$(timed each_file "$dir" sevenzip_one)
  seven_size=$(du -cb "$work"/out/*.bz2 | tail -n 1 | cut -f1)
  ours_t=$(timed "$pack" -q -o "$work/ours.exe" "$dir")
  small_t=$(timed "$pack" -q --smallest -o "$work/small.exe" "$dir")
  "$pack" test "$work/small.exe" >/dev/null
  same_as_bzip2 "$work/ours.exe" "$work/bzip2" || { echo "size_bench: $corpus: the default's streams are not bzip2 -9's" >&2; exit 1; }
  ours_size=$(packed "$work/ours.exe") small_size=$(packed "$work/small.exe")
  printf '%-8s %5d %12d | %11d %11d %11d %11d | %7.4f %7.4f %7.4f | %.1f s, %.1f s, %.1f s, %.1f s; %.2f x\n' \
    "$corpus" "$files" "$bytes" "$bzip2_size" "$seven_size" "$ours_size" "$small_size" \
    "$(echo "$seven_size / $bzip2_size" | bc -l)" "$(echo "$small_size / $bzip2_size" | bc -l)" \
    "$(echo "$small_size / $seven_size" | bc -l)" "$bzip2_t" "$seven_t" "$ours_t" "$small_t" \
    "$(echo "$seven_t / $small_t" | bc -l)"
done
echo "ours: kvxsfx-pack's default, each stream checked to be as bzip2 -9 writes it; smallest: kvxsfx-pack --smallest; $(nproc) cores"
echo "targets: smallest no larger than 7-Zip on every corpus; dlls <= 0.958 and objects <= 0.93 of bzip2 -9;"
echo "         7-Zip / smallest time >= 5"
