#!/usr/bin/env bash
# Which Windows build trees the tests run in: both where a 32-bit program runs;
# the x86_64 tree alone, with one line saying why, where the kernel refuses it
# ("Exec format error") or KVX_NO_32BIT=1 is set; a failure, exit status 1 and
# no tree, where the loader is missing or fails otherwise.  The probe is
# swapped for a program that runs, an ELF file for no machine this kernel
# knows, a copy of /bin/true made an ARM program (its ELF machine field, 2
# bytes at offset 18, set to 0x28), no file, and a program that fails.  Each
# case runs in English and in Japanese, in which the shell says why a program
# does not run in other words.
set -u
script=$(cd "$(dirname "$0")/.." && pwd)/scripts/windows-trees.sh
dir=$(mktemp -d /tmp/kvxtrees.XXXXXX)
trap 'rm -rf "$dir"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' >"$dir/foreign"
printf '#!/bin/sh\nexit 4\n' >"$dir/fails"
cp /bin/true "$dir/arm"
printf '\050\000' | dd of="$dir/arm" bs=1 seek=18 conv=notrunc 2>/dev/null
chmod +x "$dir/foreign" "$dir/fails" "$dir/arm"
passed=0 failed=0
# probe | KVX_NO_32BIT | exit status | the trees printed | what stderr says ("" for nothing)
while IFS='|' read -r probe force status trees note; do
  for language in C.UTF-8 ja_JP.UTF-8; do
    out=$(LC_ALL=$language KVX_PROBE_32BIT=$probe KVX_NO_32BIT=$force "$script" w32 w64 2>"$dir/err")
    got=$?
    out=$(echo "$out" | tr '\n' ' ')
    if [ "$out" = "$trees" ] && [ "$got" = "$status" ] &&
       if [ -z "$note" ]; then ! grep -q . "$dir/err"; else grep -q "$note" "$dir/err"; fi; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAIL: probe $probe, KVX_NO_32BIT=$force, $language: printed '$out', said '$(cat "$dir/err")'"
    fi
  done
done <<EOF2
/bin/true||0|w32 w64 |
$dir/foreign||0|w64 |cannot run on this machine: .*foreign: Exec format error
$dir/arm||0|w64 |cannot run on this machine: .*arm: Exec format error
/bin/true|1|0|w64 |cannot run on this machine: KVX_NO_32BIT=1 is set
$dir/missing||1| |missing.*libc6:i386.*No such file or directory
$dir/fails||1| |fails.*did not run: exit status 4
EOF2
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
