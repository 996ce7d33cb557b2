#!/usr/bin/env bash
# Fuzzes each target for SECONDS (default 60), two at a time, starting from
# the committed seed corpus; new inputs collect in build/fuzz/corpus, faults
# in build/fuzz/findings.  A fault's input belongs in tests/fuzz/corpus once
# it is fixed, so `make test` replays it for good.
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
fuzz=$top/build/fuzz
mkdir -p "$fuzz/findings"
declare -A max_len=([entries]=65536 [extract]=65536 [paths]=302 [pathtext]=600 [reader]=65536 [unpack]=65536 [bwt]=4096
  [image]=65536 [exclude]=4096)
run() {
  local t=$1
  mkdir -p "$fuzz/corpus/$t"
  (cd "$fuzz/findings" && "$fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
      -print_final_stats=1 -artifact_prefix="$fuzz/findings/$t-" \
      "$fuzz/corpus/$t" "$top/tests/fuzz/corpus/$t" >"$fuzz/findings/$t.log" 2>&1) &&
    echo "$t: $(grep -a -E 'stat::number_of_executed_units' "$fuzz/findings/$t.log" | awk '{print $2}') runs, no fault" ||
    { echo "$t: FAULT, see $fuzz/findings/$t.log"; return 1; }
}
status=0
run entries & run paths & wait -n || status=1; wait -n || status=1
run extract & run pathtext & wait -n || status=1; wait -n || status=1
run reader & run unpack & wait -n || status=1; wait -n || status=1
run image & run exclude & wait -n || status=1; wait -n || status=1
run bwt || status=1
exit $status
