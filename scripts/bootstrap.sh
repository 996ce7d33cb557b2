#!/usr/bin/env bash
# Prepares a Debian 12 machine for building and testing: installs the packages
# the cross build and the Wine tests need, generates the ja_JP.UTF-8 locale and
# fetches the source of libbzip2 from Debian's source package (libdivsufsort
# is Debian's library, the sorter benchmark's anchor).  Fast and silent when
# everything is already there.
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"
bz2dir="$deps/bzip2-1.0.8"

packages=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine32:i386 wine64 xvfb xauth xdotool x11-utils imagemagick fonts-ipafont-gothic
  locales tzdata libbz2-dev libdivsufsort-dev nlohmann-json3-dev libstb-dev gettext patch bzip2 cmake make g++ googletest dpkg-dev clang libclang-rt-14-dev
  osslsigncode openssl pbzip2 lbzip2 p7zip-full linux-perf lintian man-db groff-base file unzip perl gcovr
  emscripten chromium
)
commands=(i686-w64-mingw32-g++ i686-w64-mingw32-g++-posix i686-w64-mingw32-windres
  x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump
  wine Xvfb xdotool xwininfo import cmake patch msgfmt xgettext msgcmp bzip2 clang clang++ osslsigncode openssl pbzip2 lbzip2 7z perf
  lintian man groff file unzip perl gcovr emcc node chromium)

have_commands() {
  local c
  for c in "${commands[@]}"; do command -v "$c" >/dev/null 2>&1 || return 1; done
  [ -e /usr/include/bzlib.h ] && [ -e /usr/include/nlohmann/json.hpp ] && [ -e /usr/include/stb/stb_image_resize.h ] && ls /usr/include/*/divsufsort.h >/dev/null 2>&1 && [ -d /usr/src/googletest ] && [ -e /usr/share/zoneinfo/Asia/Tokyo ] &&
    [ -x /usr/lib/wine/wine64 ] && [ -x /lib/ld-linux.so.2 ] &&
    [ -e /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll -o \
      -e /usr/lib/wine/i386-windows/kernel32.dll ] &&
    ls /usr/share/fonts/opentype/ipafont-gothic/*.ttf >/dev/null 2>&1 &&
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1
}

# Japanese for the Windows side and the messages; German for a decimal comma
# that the packer's numbers must not take.
locales=(ja_JP de_DE)
have_locale() {
  local l
  for l in "${locales[@]}"; do locale -a 2>/dev/null | grep -qiE "^$l\.utf-?8$" || return 1; done
}

need_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: $1 needs root; run 'sudo make' once, or install: ${packages[*]}" >&2
    exit 1
  fi
}

if ! have_commands; then
  need_root "installing packages"
  echo "bootstrap: installing packages (a few minutes, once)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

if ! have_locale; then
  need_root "generating the ${locales[*]} UTF-8 locales"
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
  apt-get "${apt_opts[@]}" update -qq
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
# at the version tests/web/package-lock.json names.  npm is Debian's where the
# machine has none (a Node.js from elsewhere brings its own).
if ! command -v npm >/dev/null 2>&1; then
  need_root "installing npm"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
if [ ! -d "$top/tests/web/node_modules/puppeteer-core" ]; then
  echo "bootstrap: installing puppeteer-core for the page's test"
  (cd "$top/tests/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
