#!/usr/bin/env bash
# Which Windows build trees the tests run in: both where a 32-bit program runs;
# the x86_64 tree alone, with one line saying why, where it does not run or
# KVX_NO_32BIT=1 is set.  The probe is swapped for a program that runs, an ELF
# file for no machine this kernel knows ("Exec format error") and no file.
set -u
script=$(cd "$(dirname "$0")/.." && pwd)/scripts/windows-trees.sh
dir=$(mktemp -d /tmp/kvxtrees.XXXXXX)
trap 'rm -rf "$dir"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' >"$dir/foreign"
chmod +x "$dir/foreign"
passed=0 failed=0
# probe | KVX_NO_32BIT | the trees printed | what the one line on stderr says ("" for no line)
while IFS='|' read -r probe force trees note; do
  out=$(KVX_PROBE_32BIT=$probe KVX_NO_32BIT=$force "$script" w32 w64 2>"$dir/err" | tr '\n' ' ')
  lines=$(grep -c . "$dir/err")
  if [ "$out" = "$trees" ] && if [ -z "$note" ]; then [ "$lines" = 0 ]; else [ "$lines" = 1 ] &&
       grep -q "cannot run on this machine: .*$note" "$dir/err"; fi; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAIL: probe $probe, KVX_NO_32BIT=$force: printed '$out', said '$(cat "$dir/err")'"
  fi
done <<EOF2
/bin/true||w32 w64 |
$dir/foreign||w64 |foreign: Exec format error
/bin/true|1|w64 |KVX_NO_32BIT=1 is set
$dir/missing||w64 |No such file or directory
EOF2
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
