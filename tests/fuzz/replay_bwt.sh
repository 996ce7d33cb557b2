#!/bin/sh
# Replays fuzz_bwt's corpus, then each seed named after a path of the block
# sorter (path-NAME or path-NAME-...) alone, failing unless one of its blocks
# takes that path: a seed that drifts to another path fails here.
# usage: replay_bwt.sh FUZZ_BWT CORPUS
set -eu
fuzz=$1 corpus=$2
"$fuzz" -runs=0 "$corpus"
for path in small random periodic induced; do
  for seed in "$corpus/path-$path" "$corpus/path-$path"-*; do
    [ -e "$seed" ] || continue
    FUZZ_BWT_EXPECT=$path "$fuzz" "$seed" >/dev/null 2>&1 || { echo "FAIL: $seed takes no block along the path $path"; exit 1; }
  done
done
echo "every path-* seed takes its path"
