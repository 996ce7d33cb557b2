#!/usr/bin/env bash
# The bootstrap's decisions, with no root and no network: apt-get, dpkg,
# dpkg-query, npm, id and locale are stand-ins on PATH that log what they
# were asked and fail as each case says; the 32-bit probe is /bin/true, or a
# copy of it made an ARM program, which the kernel refuses with "Exec format
# error".  Each case asserts what was run, what was said and the exit status.
set -u
export LC_ALL=C.UTF-8
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/kvxboot.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/bin" "$dir/top/scripts" "$dir/top/.deps/bzip2-1.0.8" "$dir/top/tests/web"
cp "$src/scripts/bootstrap.sh" "$dir/top/scripts/"
: >"$dir/top/.deps/bzip2-1.0.8/bzlib.h"
cp /bin/true "$dir/arm"
printf '\050\000' | dd of="$dir/arm" bs=1 seek=18 conv=notrunc 2>/dev/null

stand_in() {  # NAME BODY: a logging stand-in
  printf '#!/bin/bash\necho "%s $*" >>"$FAKE_LOG"\n%s\n' "$1" "$2" >"$dir/bin/$1"
  chmod +x "$dir/bin/$1"
}
stand_in id 'echo 0'
stand_in locale 'printf "C.utf8\nja_JP.utf8\nde_DE.utf8\n"'
stand_in npm ':'
stand_in dpkg 'case $1 in --print-architecture) echo amd64 ;; esac'
# Everything is installed where FAKE_INSTALLED=all, nothing otherwise.
stand_in dpkg-query '[ "$FAKE_INSTALLED" = all ] || exit 1
for p in "${@:3}"; do case $p in *:*) printf "installed:%s:%s " "${p%%:*}" "${p#*:}" ;; *) printf "installed:%s:amd64 " "$p" ;; esac; done'
# update fails the first FAKE_UPDATE_FAILS times; install fails where it is
# asked for a package in FAKE_UNINSTALLABLE, as apt says it.
stand_in apt-get 'case " $* " in
  *" update "*) n=$(cat "$FAKE_LOG.updates" 2>/dev/null || echo 0); echo $((n + 1)) >"$FAKE_LOG.updates"
    [ "$n" -ge "$FAKE_UPDATE_FAILS" ] && exit 0
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2; exit 100 ;;
  *" install "*) for p in $FAKE_UNINSTALLABLE; do case " $* " in *" $p "*)
    echo "The following packages have unmet dependencies:"; echo " $p : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;; esac; done ;;
esac'

passed=0 failed=0
# name | set | probe | KVX_NO_32BIT | update failures | uninstallable | installed | status |
#   ;-separated patterns the log must hold (!pattern: must not) | patterns the output must hold
while IFS='|' read -r name set probe no32 ufail bad inst status logpats outpats; do
  [ -n "$name" ] || continue
  rm -f "$dir/log" "$dir/log.updates"
  out=$(PATH="$dir/bin:$PATH" FAKE_LOG=$dir/log FAKE_UPDATE_FAILS=$ufail FAKE_UNINSTALLABLE=$bad FAKE_INSTALLED=$inst \
        KVX_PROBE_32BIT=$probe KVX_NO_32BIT=$no32 KVX_APT_RETRY_SECONDS=0 "$dir/top/scripts/bootstrap.sh" "$set" 2>&1)
  got=$?
  log="$(cat "$dir/log" 2>/dev/null)
updates: $(cat "$dir/log.updates" 2>/dev/null || echo 0)"
  why=
  [ "$got" = "$status" ] || why="exit status $got, not $status"
  IFS=';' read -ra pats <<<"$logpats"
  for p in "${pats[@]}"; do
    if [[ $p == !* ]]; then grep -qE -- "${p#!}" <<<"$log" && why+=" log holds '${p#!}'"
    else grep -qE -- "$p" <<<"$log" || why+=" log lacks '$p'"; fi
  done
  IFS=';' read -ra pats <<<"$outpats"
  for p in "${pats[@]}"; do
    if [[ $p == !* ]]; then grep -qE -- "${p#!}" <<<"$out" && why+=" output holds '${p#!}'"
    else grep -qE -- "$p" <<<"$out" || why+=" output lacks '$p'"; fi
  done
  if [ -z "$why" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); printf 'FAIL: %s:%s\n--- said:\n%s\n--- ran:\n%s\n' "$name" "$why" "$out" "$log"
  fi
done <<EOF
an index fails once|demo|/bin/true||1|||0|updates: 2;dpkg --add-architecture i386;install .* wine32:i386|!failed three times;!could not
an index always fails|demo|/bin/true||99|||0|updates: 3;install .* wine32:i386|^bootstrap: apt-get update failed three times \(http://mirror/\S*binary-i386/Packages.xz\); going on
32-bit Wine alone cannot be installed|demo|/bin/true||0|wine32:i386||1|install -s.* wine32:i386|could not install wine32:i386 \(apt: wine32:i386 : Depends: libwine:i386 \(= 8.0\) but it is not going to be installed; E: Unable to correct problems.*\); set KVX_NO_32BIT=1 to build and test the x86_64 tree alone
another package cannot be installed|test|/bin/true||0|chromium||1|install -s.* chromium|could not install chromium \(apt: .*\); run make again once the mirror has synced;!KVX_NO_32BIT
the kernel runs no 32-bit programs|demo|$dir/arm||0|||0|install .* wine64;!i386|no 32-bit Wine: this kernel runs no 32-bit programs
KVX_NO_32BIT=1|demo|/bin/true|1|0|||0|install .* wine64;!i386|no 32-bit Wine: KVX_NO_32BIT=1 is set
make demo's set|demo|$dir/arm||0|||0|updates: 1;install .* mingw-w64-i686-dev .*xvfb .*fonts-ipafont-gothic;!chromium;!emscripten;!lintian;!osslsigncode;!lbzip2;!^npm|installing [0-9]+ packages for 'make demo';!puppeteer
make test's set|test|$dir/arm||0|||0|install .* wine64 .* emscripten chromium;install .*osslsigncode .*lbzip2 .*p7zip-full .*lintian;^npm ci|puppeteer-core
all installed: silent, nothing run|demo|/bin/true||0||all|0|!apt-get;!dpkg --add|!.
EOF
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
