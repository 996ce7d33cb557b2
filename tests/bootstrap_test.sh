#!/usr/bin/env bash
# The bootstrap's decisions, with no root and no network: apt-get, dpkg,
# dpkg-query, npm, id and locale are stand-ins on PATH that log what they
# were asked and fail as each case says; the 32-bit probe is /bin/true, or a
# copy of it made an ARM program, which the kernel refuses with "Exec format
# error"; the bootstrap's own probe is checked apart.  Each case asserts what
# was run, what was said and the exit status.
set -u
export LC_ALL=C.UTF-8
# Each case sets what it means to test; nothing comes from the caller's shell.
unset KVX_NO_32BIT KVX_PROBE_32BIT
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/kvxboot.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/bin" "$dir/top/scripts" "$dir/top/.deps/bzip2-1.0.8" "$dir/top/tests/web" "$dir/top/packer/web"
cp "$src/scripts/bootstrap.sh" "$dir/top/scripts/"
: >"$dir/top/.deps/bzip2-1.0.8/bzlib.h"
cp /bin/true "$dir/arm"
printf '\050\000' | dd of="$dir/arm" bs=1 seek=18 conv=notrunc 2>/dev/null

stand_in() {  # NAME BODY: a logging stand-in
  printf '#!/bin/bash\necho "%s $*" >>"$FAKE_LOG"\n%s\n' "$1" "$2" >"$dir/bin/$1"
  chmod +x "$dir/bin/$1"
}
stand_in id 'echo "${FAKE_UID:-0}"'
stand_in locale 'printf "C.utf8\nja_JP.utf8\nde_DE.utf8\n"'
stand_in npm 'echo "  in ${PWD#$FAKE_TOP/}" >>"$FAKE_LOG"'
stand_in dpkg 'case $1 in --print-architecture) echo amd64 ;; esac'
# FAKE_INSTALLED: all (Architecture: all packages as dpkg shows them), some
# (all but chromium, of which only its configuration is left, and cmake,
# installed for i386 alone), or nothing.
stand_in dpkg-query '[ -n "$FAKE_INSTALLED" ] || exit 1
for p in "${@:3}"; do case $FAKE_INSTALLED:$p in
  some:chromium) printf "config-files:chromium:amd64 " ;; some:cmake) printf "installed:cmake:i386 " ;;
  *:*:*) printf "installed:%s:%s " "${p%%:*}" "${p##*:}" ;;
  *:wine|*:fonts-ipafont-gothic|*:googletest|*:tzdata|*:locales|*:emscripten) printf "installed:%s:all " "$p" ;;
  *) printf "installed:%s:amd64 " "$p" ;; esac; done'
# update fails the first N of FAKE_UPDATE_FAILS times (wN: warns of an
# unreachable source and exits 0); install fails where it is asked for a
# package in FAKE_UNINSTALLABLE, as apt says it, and for everything where
# that is "lock", though each package could be installed.
stand_in apt-get 'case " $* " in
  *" update "*) n=$(cat "$FAKE_LOG.updates" 2>/dev/null || echo 0); echo $((n + 1)) >"$FAKE_LOG.updates"
    [ "$n" -ge "${FAKE_UPDATE_FAILS#w}" ] && exit 0
    if [ "${FAKE_UPDATE_FAILS#w}" != "$FAKE_UPDATE_FAILS" ]; then
      echo "W: Failed to fetch http://127.0.0.1:9/debian/dists/bookworm/InRelease  Could not connect to 127.0.0.1:9" >&2; exit 0; fi
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2; exit 100 ;;
  *" install "*) case " $* " in *" -s "*) ;; *) [ "$FAKE_UNINSTALLABLE" = lock ] &&
      { echo "E: Could not get lock /var/lib/dpkg/lock-frontend" >&2; exit 100; } ;; esac
    for p in $FAKE_UNINSTALLABLE; do case " $* " in *" $p "*)
    echo "The following packages have unmet dependencies:"; echo " libcups2 : Depends: libavahi-client3 (>= 0.6.16) but it is not going to be installed"
    echo " $p : Depends: ${p%%:*}-data (= 1.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;; esac; done ;;
esac'

passed=0 failed=0
verdict() {  # NAME WHY
  if [ -z "$2" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); printf 'FAIL: %s:%s\n' "$1" "$2"; fi
}
# holds TEXT PATTERNS: why TEXT does not hold each ;-separated pattern (!pattern: must not)
holds() {
  local p pats
  IFS=';' read -ra pats <<<"$2"
  for p in "${pats[@]}"; do
    if [[ $p == !* ]]; then grep -qE -- "${p#!}" <<<"$1" && printf " holds '%s'" "${p#!}"
    else grep -qE -- "$p" <<<"$1" || printf " lacks '%s'" "$p"; fi
  done
}
# name | set | probe | environment | update failures | uninstallable | installed | status |
#   patterns the log of what ran must hold | patterns the output must hold
while IFS='|' read -r name set probe envs ufail bad inst status logpats outpats; do
  [ -n "$name" ] || continue
  rm -f "$dir/log" "$dir/log.updates"
  out=$(env PATH="$dir/bin:$PATH" FAKE_LOG=$dir/log FAKE_TOP=$dir/top FAKE_UPDATE_FAILS=$ufail FAKE_UNINSTALLABLE=$bad FAKE_INSTALLED=$inst \
        KVX_PROBE_32BIT=$probe KVX_APT_RETRY_SECONDS=0 $envs "$dir/top/scripts/bootstrap.sh" "$set" 2>&1)
  got=$?
  log="$(cat "$dir/log" 2>/dev/null)
updates: $(cat "$dir/log.updates" 2>/dev/null || echo 0)"
  why=
  [ "$got" = "$status" ] || why="exit status $got, not $status"
  why+="$(holds "$log" "$logpats")$(holds "$out" "$outpats")"
  verdict "$name" "$why"
  [ -z "$why" ] || printf -- '--- said:\n%s\n--- ran:\n%s\n' "$out" "$log"
done <<TABLE
an index fails once|demo|/bin/true||1|||0|updates: 2;dpkg --add-architecture i386;install .* wine32:i386|!failed three times;!could not
an index always fails|demo|/bin/true||99|||0|updates: 3;install .* wine32:i386|^bootstrap: apt-get update failed three times \(http://mirror/\S*binary-i386/Packages.xz\); going on
an unreachable source, which apt only warns of|demo|/bin/true||w99|||0|updates: 3;install|^bootstrap: apt-get update failed three times \(http://127.0.0.1:9/debian/dists/bookworm/InRelease\); going on
32-bit Wine alone cannot be installed|demo|/bin/true||0|wine32:i386||1|install -s.* wine32:i386|could not install wine32:i386 \(apt: wine32:i386 : Depends: wine32-data \(= 1.0\) but it is not going to be installed; E: Unable to correct problems.*\); set KVX_NO_32BIT=1 to build and test the x86_64 tree alone
another package cannot be installed|test|/bin/true||0|chromium||1|install -s.* chromium|could not install chromium \(apt: libcups2 : Depends: .*\); run make again once the mirror has synced;!KVX_NO_32BIT
the install fails, each package could be installed|demo|/bin/true||0|lock||1|install -s|the install failed though apt can install each package \(apt: E: Could not get lock;!KVX_NO_32BIT;!could not install
the kernel runs no 32-bit programs|demo|$dir/arm||0|||0|install .* wine64;!i386|no 32-bit Wine: this kernel runs no 32-bit programs
KVX_NO_32BIT=1|demo|/bin/true|KVX_NO_32BIT=1|0|||0|install .* wine64;!i386|no 32-bit Wine: KVX_NO_32BIT=1 is set
make demo's set|demo|$dir/arm||0|||0|updates: 1;install .* mingw-w64-i686-dev .*xvfb .*fonts-ipafont-gothic;!chromium;!emscripten;!lintian;!osslsigncode;!lbzip2;!^npm|installing [0-9]+ packages for building and the demo;!puppeteer
make test's set|test|$dir/arm||0|||0|install .* wine64 .* emscripten chromium;install .*osslsigncode .*lbzip2 .*p7zip-full .*lintian;^npm ci;in tests/web;in packer/web|puppeteer-core;fflate
all installed: silent, nothing run|demo|/bin/true||0||all|0|!apt-get;!dpkg --add|!.
only what is missing, as dpkg sees it|test|$dir/arm||0||some|0|install -y -q --no-install-recommends cmake chromium$|installing 2 packages
not root|test|/bin/true|FAKE_UID=1000|0|||1|!apt-get|needs root; run 'sudo scripts/bootstrap.sh test' once, or install: .*chromium
TABLE

# The probe itself: the bootstrap's bytes are a static i386 program (ELF
# class 32, machine 3) whose one segment holds the whole file, which exits with
# status 7 where the kernel runs 32-bit programs and is refused as an
# "Exec format error" where it does not.
eval "$(grep -o "printf '\\\\177ELF[^']*'" "$src/scripts/bootstrap.sh")" >"$dir/probe"
chmod +x "$dir/probe"
head=$(od -An -tu1 -N20 "$dir/probe" | tr -s ' \n' ' ')
filesz=$(od -An -tu4 -j68 -N4 "$dir/probe" | tr -d ' ')
said=$(LC_ALL=C "$dir/probe" 2>&1); status=$?
why=
[ "$head" = " 127 69 76 70 1 1 1 0 0 0 0 0 0 0 0 0 2 0 3 0 " ] || why+=" header$head"
[ "$filesz" = "$(stat -c %s "$dir/probe")" ] || why+=" segment of $filesz bytes in a file of $(stat -c %s "$dir/probe")"
[ "$status" = 7 ] || [[ $said == *"Exec format error"* ]] || why+=" exit status $status: $said"
verdict "the 32-bit probe" "$why"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
