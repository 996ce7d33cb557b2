#!/usr/bin/env bash
# Which Windows build trees the tests run in: both where a 32-bit program runs;
# the x86_64 tree alone, with one line saying why, where it does not run or
# KVX_NO_32BIT=1 is set.  The probe is swapped for a program that runs and for
# an ELF file for no machine this kernel knows ("Exec format error").
set -u
script=$(cd "$(dirname "$0")/.." && pwd)/scripts/windows-trees.sh
dir=$(mktemp -d /tmp/kvxtrees.XXXXXX)
trap 'rm -rf "$dir"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' >"$dir/foreign"
chmod +x "$dir/foreign"
passed=0 failed=0

expect() {  # NAME TREES NOTE VAR=VALUE...: the trees printed, and the note ("" for none)
  local name=$1 trees=$2 note=$3; shift 3
  local out err
  out=$(env "$@" "$script" w32 w64 2>"$dir/err" | tr '\n' ' ')
  err=$(cat "$dir/err")
  local said=true
  if [ -n "$note" ]; then
    [ "$(wc -l <"$dir/err")" = 1 ] && grep -qF "$note" "$dir/err" && grep -q "cannot run on this machine" "$dir/err" || said=false
  else
    [ -z "$err" ] || said=false
  fi
  if [ "$out" = "$trees" ] && $said; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAIL: $name: printed '$out', said '$err'"
  fi
}

expect "32-bit runs" "w32 w64 " "" KVX_PROBE_32BIT=/bin/true KVX_NO_32BIT=
expect "32-bit cannot run" "w64 " "($dir/foreign: Exec format error)" KVX_PROBE_32BIT="$dir/foreign" KVX_NO_32BIT=
expect "forced 64-bit only" "w64 " "KVX_NO_32BIT=1 is set" KVX_PROBE_32BIT=/bin/true KVX_NO_32BIT=1
expect "no 32-bit loader" "w64 " "No such file or directory" KVX_PROBE_32BIT="$dir/missing" KVX_NO_32BIT=

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
