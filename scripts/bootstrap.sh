#!/usr/bin/env bash
# Prepares a Debian 12 machine: installs the Debian packages one of two sets
# needs, generates the ja_JP and de_DE UTF-8 locales and fetches libbzip2's
# source from Debian's source package.  Fast and silent when everything is
# already there.
# usage: bootstrap.sh [demo|test]
#   demo  what `make` and `make demo` need: the toolchains, Wine, Xvfb, the
#         fonts and the locales (Debian's registry alone)
#   test  that and the test tools: Chromium, emscripten, puppeteer-core from
#         npm, lintian, osslsigncode, clang's fuzzer and the benchmark anchors
# 32-bit Wine is left out where the kernel runs no 32-bit programs or
# KVX_NO_32BIT=1 is set.  A package index that cannot be fetched is tried
# three times and then named; the install decides whether that mattered.
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none); apt's messages are matched in English.
export LC_ALL=C.UTF-8 LANGUAGE=
set_name=${1:-demo}
case $set_name in demo|test) ;; *) echo "usage: bootstrap.sh [demo|test]" >&2; exit 2 ;; esac

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"
bz2dir="$deps/bzip2-1.0.8"
retry_seconds=${KVX_APT_RETRY_SECONDS:-5}

demo_packages=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 xvfb xauth xdotool x11-utils imagemagick fonts-ipafont-gothic
  locales tzdata libbz2-dev nlohmann-json3-dev libstb-dev gettext patch bzip2 cmake make g++ googletest perl
)
test_packages=(
  libdivsufsort-dev dpkg-dev clang libclang-rt-14-dev
  osslsigncode openssl pbzip2 lbzip2 p7zip-full linux-perf lintian man-db groff-base file unzip gcovr
  qemu-user g++-s390x-linux-gnu
  emscripten chromium
)

# Whether the kernel runs 32-bit x86 programs: a 95-byte static i386 program
# that exits with status 7, written where programs may run (.deps, else
# $TMPDIR).  Only the kernel's "Exec format error" says no; a probe that
# cannot run for another reason is named, and 32-bit Wine is still asked for.
write_probe() {
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\137\0\0\0\137\0\0\0\5\0\0\0\0\20\0\0\61\333\263\7\270\1\0\0\0\315\200' >"$1"
  chmod +x "$1"
}
runs_32bit() {
  local probe=${KVX_PROBE_32BIT:-} status=0 why tmp=
  if [ -z "$probe" ]; then
    mkdir -p "$deps" 2>/dev/null || true
    tmp=$(mktemp -p "$deps" probe32.XXXXXX 2>/dev/null || mktemp) && write_probe "$tmp" && probe=$tmp
  fi
  why=$(LC_ALL=C "$probe" 2>&1) || status=$?
  [ -z "$tmp" ] || rm -f "$tmp"
  [ "$status" = 0 ] || [ "$status" = 7 ] && return 0
  [[ $why == *"Exec format error"* ]] && return 1
  echo "bootstrap: the 32-bit probe did not run (${why:-exit status $status}); taking it that 32-bit programs run" >&2
  return 0
}

want_32bit=yes why_not_32bit=
if [ "${KVX_NO_32BIT:-}" = 1 ]; then
  want_32bit= why_not_32bit="KVX_NO_32BIT=1 is set"
elif ! runs_32bit; then
  want_32bit= why_not_32bit="this kernel runs no 32-bit programs"
fi

packages=("${demo_packages[@]}")
[ "$set_name" = test ] && packages+=("${test_packages[@]}")
# npm is Debian's where the machine has none (a Node.js from elsewhere brings its own).
[ "$set_name" = test ] && ! command -v npm >/dev/null 2>&1 && packages+=(npm)
[ -n "$want_32bit" ] && packages+=(wine32:i386)

# The packages of the set that dpkg does not have installed.
missing_packages() {
  local native installed
  native=$(dpkg --print-architecture)
  installed=" $(dpkg-query -W -f='${db:Status-Status}:${Package}:${Architecture} ' "${packages[@]}" 2>/dev/null || true) "
  local p
  for p in "${packages[@]}"; do
    case $p in
      *:*) [[ $installed == *" installed:${p%%:*}:${p#*:} "* ]] || echo "$p" ;;
      *) [[ $installed == *" installed:$p:$native "* || $installed == *" installed:$p:all "* ]] || echo "$p" ;;
    esac
  done
}

need_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: $1 needs root; run 'sudo scripts/bootstrap.sh $set_name' once, or install: ${*:2}" >&2
    exit 1
  fi
}

# apt-get update, tried three times: a try that could not fetch an index
# (apt exits 100 for a bad index and 0 for an unreachable source, warning)
# counts as failed.  An index that still fails is named in one line, and the
# install goes on with the lists apt has.
# apt_update [APT OPTION...]
apt_update() {
  local try out= status
  for try in 1 2 3; do
    status=0
    out=$(apt-get "$@" update -qq 2>&1) || status=$?
    [ "$status" = 0 ] && ! grep -q '^[EW]: Failed to fetch' <<<"$out" && return 0
    [ "$try" = 3 ] || sleep "$retry_seconds"
  done
  local failed
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' <<<"$out" | sort -u | tr '\n' ' ')
  [ -n "$failed" ] || failed=$( (grep -m1 '^E:' <<<"$out" || tail -n 1 <<<"$out") | tr -d '\n')
  echo "bootstrap: apt-get update failed three times (${failed% }); going on with the package lists apt has" >&2
}

# Names the packages apt could not install, apt's reason, and what to do.
# apt is asked once for the set without its i386 packages, and then, one by
# one, for the packages of the part that failed.
# install_failed APT_OUTPUT PACKAGE...
install_failed() {
  local out=$1; shift
  local native=() foreign=() bad=() p
  for p in "$@"; do [[ $p == *:i386 ]] && foreign+=("$p") || native+=("$p"); done
  simulate() { apt-get install -s -q --no-install-recommends "$@" >/dev/null 2>&1; }
  if [ ${#native[@]} -gt 0 ] && ! simulate "${native[@]}"; then
    for p in "${native[@]}"; do simulate "$p" || bad+=("$p"); done
  fi
  for p in "${foreign[@]}"; do simulate "$p" || bad+=("$p"); done
  local i386_only= depends
  [ ${#bad[@]} -gt 0 ] && [ ${#foreign[@]} -gt 0 ] && [ -z "$(printf '%s\n' "${bad[@]}" | grep -v ':i386$')" ] && i386_only=yes
  # apt's own reason: the first unmet dependency (of an i386 package where
  # only those failed) and its error line; else the last lines it wrote.
  depends=$(grep -E "^ \S+${i386_only:+:i386} : Depends: " <<<"$out" | head -n 1 | sed 's/^ *//' || true)
  local reason
  reason=$( (printf '%s\n' "$depends"; grep -E '^E: ' <<<"$out" | head -n 1) | grep . | paste -sd ';' | sed 's/;/; /' || true)
  [ -n "$reason" ] || reason=$(grep . <<<"$out" | tail -n 2 | paste -sd ';' | sed 's/;/; /' || true)
  reason=${reason:-exit status $status}
  if [ -n "$i386_only" ]; then
    echo "bootstrap: could not install ${bad[*]} (apt: $reason); set KVX_NO_32BIT=1 to build and test the x86_64 tree alone" >&2
  elif [ ${#bad[@]} -gt 0 ]; then
    echo "bootstrap: could not install ${bad[*]} (apt: $reason); run make again once the mirror has synced, or install them with apt-get and read its reasons" >&2
  else
    echo "bootstrap: the install failed though apt can install each package (apt: $reason); run make again, or install them with apt-get: $*" >&2
  fi
  exit 1
}

missing=($(missing_packages))
if [ ${#missing[@]} -gt 0 ]; then
  need_root "installing packages" "${missing[@]}"
  what="building and the demo"; [ "$set_name" = demo ] || what="building and testing"
  n=${#missing[@]}; [ "$n" = 1 ] && noun=package || noun=packages
  echo "bootstrap: installing $n $noun for $what (a few minutes, once)"
  [ -n "$want_32bit" ] || echo "bootstrap: no 32-bit Wine: $why_not_32bit; the x86_64 Windows tree is built and tested alone"
  if [ -n "$want_32bit" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  status=0
  out=$(apt-get install -y -q --no-install-recommends "${missing[@]}" 2>&1) || status=$?
  [ "$status" = 0 ] || install_failed "$out" "${missing[@]}"
fi

# Japanese for the Windows side and the messages; German for a decimal comma
# that the packer's numbers must not take.
locales=(ja_JP de_DE)
have_locale() {
  local l all
  all=$(locale -a 2>/dev/null || true)
  for l in "${locales[@]}"; do grep -qiE "^$l\.utf-?8$" <<<"$all" || return 1; done
}
if ! have_locale; then
  need_root "generating the ${locales[*]} UTF-8 locales" locales
  for l in "${locales[@]}"; do
    sed -i "s/^# *$l.UTF-8 UTF-8/$l.UTF-8 UTF-8/" /etc/locale.gen
    grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen || echo "$l.UTF-8 UTF-8" >>/etc/locale.gen
  done
  locale-gen >/dev/null
fi

# Upstream sources from Debian's source packages, through a private apt
# configuration that adds deb-src entries for the machine's own mirrors; the
# machine's apt configuration is not touched.
# fetch_source PACKAGE VERSION DIR: unpacks PACKAGE_VERSION.orig.tar.* into $deps
# (the tarball's top folder must be DIR).
fetch_source() {
  local package=$1 version=$2 dir=$3
  echo "bootstrap: fetching $package $version source"
  local apt_dir="$deps/apt"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/src"
  : >"$apt_dir/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -n 's/^deb \(.*\)/deb-src \1/p' "$f" >>"$apt_dir/sources.list"
  done
  local apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
                  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                  -o "Dir::State::Lists=$apt_dir/lists"
                  -o "Dir::Cache=$apt_dir/cache"
                  -o "APT::Sandbox::User=root")
  apt_update "${apt_opts[@]}"
  (cd "$apt_dir/src" && apt-get "${apt_opts[@]}" source --download-only -qq "$package")
  local orig
  orig=$(ls "$apt_dir"/src/"${package}_$version".orig.tar.* 2>/dev/null | head -n 1)
  if [ -z "$orig" ]; then
    echo "bootstrap: Debian's source package $package does not carry version $version" >&2
    exit 1
  fi
  rm -rf "${deps:?}/$dir"
  tar -xf "$orig" -C "$deps"
  rm -rf "$apt_dir"
}

# libbzip2: the stub's decoder, and the packer's compressor on both systems.
if [ ! -f "$bz2dir/bzlib.h" ]; then
  fetch_source bzip2 1.0.8 bzip2-1.0.8
  test -f "$bz2dir/bzlib.h"
fi

# npm packages at the versions each package-lock.json names, for `make test`
# and `make web`: puppeteer-core drives Chromium in the page's test, and fflate
# writes the .zip of a file the page opens.
if [ "$set_name" = test ]; then
  for need in tests/web:puppeteer-core packer/web:fflate; do
    dir=${need%%:*} package=${need#*:}
    [ -d "$top/$dir/node_modules/$package" ] && continue
    echo "bootstrap: installing $package from npm ($dir)"
    (cd "$top/$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  done
fi
