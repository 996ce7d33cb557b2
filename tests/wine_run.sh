#!/usr/bin/env bash
# The Wine wrapper's verdicts: a crash, in the program or in a program it
# starts (and that may outlive it), exits 70 after the program's own output;
# a program that ends normally keeps its status and output, with standard
# input open or closed; Wine's own services write their errors elsewhere.
# Every case runs RUNS times (default 3; make it 50 to prove a fix of the
# race), since the loader's own status is right only some of the time.
# usage: wine_run.sh WINE_RUN CRASH.EXE [RUNS]
set -u
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
wine_run=$1 crash=$2 runs=${3:-3}
out=$(mktemp /tmp/kvxwinerun.XXXXXX)
trap 'rm -f "$out" "$out.err"' EXIT
passed=0 failed=0
# arguments | exit status | a line the wrapper adds to stderr ("" for none) | standard input
while IFS='|' read -r args status said input; do
  for ((i = 0; i < runs; i++)); do
    # shellcheck disable=SC2086
    if [ "$input" = closed ]; then
      timeout 25 "$wine_run" "$crash" $args <&- >"$out" 2>"$out.err"
    else
      timeout 25 "$wine_run" "$crash" $args </dev/null >"$out" 2>"$out.err"
    fi
    got=$?
    if [ "$got" = "$status" ] && grep -qx 'to stdout' "$out" && grep -q '^to stderr' "$out.err" &&
       if [ -n "$said" ]; then grep -q "^wine-run: $said" "$out.err"; else ! grep -q '^wine-run:' "$out.err"; fi; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1)); echo "FAIL: crash $args, run $i: exit status $got"; cat "$out" "$out.err"
    fi
  done
done <<'CASES'
|70|crash.exe crashed .*Unhandled page fault|
exit 0|0||
exit 3|3||closed
child|70|crash.exe crashed .*Unhandled page fault|
orphan|70|crash.exe crashed .*Unhandled page fault|closed
CASES
# Wine's own services, started afresh for a run, write their errors apart
# from the program's: a crash of Wine's driver host (winedevice.exe) is not
# the program's.  They are looked at while the program waits to crash.
prefix=$("$wine_run" winepath -u "C:\\" 2>/dev/null) && prefix=${prefix%/dosdevices/c:*}
"$wine_run" wineserver -w
"$wine_run" "$crash" late </dev/null >/dev/null 2>&1 &
run=$!
hosts=0 into_run=0
while [ "$hosts" = 0 ] && kill -0 "$run" 2>/dev/null; do
  sleep 0.1
  for p in /proc/[0-9]*; do
    if [ "$(cat "$p/comm" 2>/dev/null)" != winedevice.exe ] ||
      ! tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$prefix"; then
      continue
    fi
    hosts=$((hosts + 1))
    case $(readlink "$p/fd/2") in *wine-run.*) into_run=$((into_run + 1)) ;; esac
  done
done
wait "$run"
if [ "$hosts" -gt 0 ] && [ "$into_run" = 0 ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL: Wine's driver hosts in $prefix: $hosts, writing into the run's errors: $into_run"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
