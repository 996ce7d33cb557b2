#!/usr/bin/env bash
# Prints the Windows build trees whose programs this machine can run under
# Wine: the i686 tree and the x86_64 tree where the kernel runs 32-bit
# programs, else the x86_64 tree alone, with one line on stderr saying why.
# Whether it does is found out by running a 32-bit program: the i386 dynamic
# loader, which the bootstrap installs with 32-bit Wine.  KVX_NO_32BIT=1 takes
# the 64-bit-only path on any machine.
# usage: windows-trees.sh I686_TREE X86_64_TREE
set -euo pipefail
i686=$1 x86_64=$2
probe=${KVX_PROBE_32BIT:-/lib/ld-linux.so.2}

if [ "${KVX_NO_32BIT:-}" = 1 ]; then
  why="KVX_NO_32BIT=1 is set"
elif why=$("$probe" --version 2>&1 >/dev/null); then
  echo "$i686"
  why=
else
  status=$?
  why=${why##*: }  # the system's own words, e.g. "Exec format error"
  why="running a 32-bit program failed ($probe: ${why:-exit status $status})"
fi
echo "$x86_64"
[ -z "$why" ] || echo "note: the i686 Windows tests and programs cannot run on this machine: $why; the x86_64 ones run instead" >&2
