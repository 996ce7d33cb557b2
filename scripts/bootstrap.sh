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
  emscripten chromium
)

# Whether the kernel runs 32-bit x86 programs: a 93-byte static i386 program
# that exits with status 7.  Only the kernel's "Exec format error" says no; a
# probe that cannot run for another reason leaves things as they were.
runs_32bit() {
  local probe=${KVX_PROBE_32BIT:-} status=0 why
  if [ -z "$probe" ]; then
    mkdir -p "$deps"
    probe="$deps/probe32"
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0\61\333\263\7\270\1\0\0\0\315\200' >"$probe"
    chmod +x "$probe"
  fi
  why=$(LC_ALL=C "$probe" 2>&1) || status=$?
  [[ $status != 0 && $why == *"Exec format error"* ]] && return 1
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
    echo "bootstrap: $1 needs root; run 'sudo make' once, or install: ${*:2}" >&2
    exit 1
  fi
}

# apt-get update, tried three times; an index that still fails is named in
# one line, and the install goes on with the lists apt has.
# apt_update [APT OPTION...]
apt_update() {
  local try out=
  for try in 1 2 3; do
    out=$(apt-get "$@" update -qq 2>&1) && return 0
    [ "$try" = 3 ] || sleep "$retry_seconds"
  done
  local failed
  failed=$(printf '%s\n' "$out" | sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' | sort -u | tr '\n' ' ')
  [ -n "$failed" ] || failed=$(printf '%s\n' "$out" | grep -m1 '^E:' || printf '%s\n' "$out" | tail -n 1)
  echo "bootstrap: apt-get update failed three times (${failed% }); going on with the package lists apt has" >&2
}

# Names the packages apt could not install, apt's reason, and what to do.
install_failed() {
  local out=$1; shift
  local bad=() p
  for p in "$@"; do
    apt-get install -s -qq --no-install-recommends "$p" >/dev/null 2>&1 || bad+=("$p")
  done
  [ ${#bad[@]} -gt 0 ] || bad=("$@")
  local reason
  reason=$(printf '%s\n' "$out" | grep -E '^ .* : Depends: |^E: ' | sed 's/^ *//' | head -n 2 | paste -sd ';' | sed 's/;/; /')
  local todo="run make again once the mirror has synced, or install them with apt-get and read its reasons"
  if [ -z "$(printf '%s\n' "${bad[@]}" | grep -v ':i386$')" ]; then
    todo="set KVX_NO_32BIT=1 to build and test the x86_64 tree alone"
  fi
  echo "bootstrap: could not install ${bad[*]} (apt: ${reason:-exit status $status}); $todo" >&2
  exit 1
}

missing=($(missing_packages))
if [ ${#missing[@]} -gt 0 ]; then
  need_root "installing packages" "${missing[@]}"
  echo "bootstrap: installing ${#missing[@]} packages for 'make $set_name' (a few minutes, once)"
  [ -n "$want_32bit" ] || echo "bootstrap: no 32-bit Wine: $why_not_32bit; the x86_64 Windows tree is built and tested alone"
  if [ -n "$want_32bit" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  status=0
  out=$(apt-get install -y -qq --no-install-recommends "${missing[@]}" 2>&1) || status=$?
  [ "$status" = 0 ] || install_failed "$out" "${missing[@]}"
fi

# Japanese for the Windows side and the messages; German for a decimal comma
# that the packer's numbers must not take.
locales=(ja_JP de_DE)
have_locale() {
  local l
  for l in "${locales[@]}"; do locale -a 2>/dev/null | grep -qiE "^$l\.utf-?8$" || return 1; done
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

# The page's test drives Chromium with puppeteer-core, from the npm registry
# at the version tests/web/package-lock.json names: `make test` only.
if [ "$set_name" = test ] && [ ! -d "$top/tests/web/node_modules/puppeteer-core" ]; then
  echo "bootstrap: installing puppeteer-core for the page's test"
  (cd "$top/tests/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
# The page carries fflate, which writes the .zip of a file it opens: make web only.
if [ "$set_name" = test ] && [ ! -f "$top/packer/web/node_modules/fflate/umd/index.js" ]; then
  echo "bootstrap: installing fflate for the page"
  (cd "$top/packer/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
