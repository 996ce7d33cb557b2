#!/usr/bin/env bash
# Prints the Windows build trees whose programs this machine can run under
# Wine: the i686 tree and the x86_64 tree where the kernel runs 32-bit
# programs, else the x86_64 tree alone, with one line on stderr saying why.
# Whether it does is found out by running a 32-bit program: the i386 dynamic
# loader, which the bootstrap installs with 32-bit Wine.  Only the kernel's
# "Exec format error", or KVX_NO_32BIT=1, takes the 64-bit-only path; any
# other failure, a missing loader among them, is a broken set-up and ends the
# run with exit status 1, naming what is missing.
# usage: windows-trees.sh I686_TREE X86_64_TREE
set -euo pipefail
# The shell says why a program did not run in the user's language; the
# kernel's refusal is recognised in English.
export LC_ALL=C
i686=$1 x86_64=$2
probe=${KVX_PROBE_32BIT:-/lib/ld-linux.so.2}

status=0
why=$("$probe" --version 2>&1 >/dev/null) || status=$?
if [ "${KVX_NO_32BIT:-}" = 1 ]; then
  why="KVX_NO_32BIT=1 is set"
elif [ "$status" = 0 ]; then
  echo "$i686"
  why=
elif [[ $why == *"Exec format error"* ]]; then
  why="running a 32-bit program failed ($probe: Exec format error)"
else
  echo "error: the i686 Windows tests need 32-bit programs, but $probe (libc6:i386, installed with wine32:i386) did not run: ${why:-exit status $status}." >&2
  echo "Install it with scripts/bootstrap.sh (as root), or set KVX_NO_32BIT=1 to run the x86_64 tests alone." >&2
  exit 1
fi
echo "$x86_64"
[ -z "$why" ] || echo "note: the i686 Windows tests and programs cannot run on this machine: $why; the x86_64 ones run instead" >&2
