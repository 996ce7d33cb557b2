#!/usr/bin/env bash
# The packer as people install it: the Debian package (contents, lintian, a
# scratch install that packs and tests), the manual pages, `make install`
# with DESTDIR, and the Windows zip's packer run under Wine on its own.
# usage: package.sh VERSION HOST_BUILD WIN_BUILD WINE_RUN
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
version=$1 host=$2 win=$3 wine_run=$4
top=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d /tmp/kvxpackage.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
check() {  # NAME COMMAND...: one verdict
  local name=$1; shift
  if "$@" >"$tmp/out" 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; cat "$tmp/out"; fi
}
same() { diff <(echo "$1") <(echo "$2"); }

(cd "$host" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$tmp" >/dev/null)
(cd "$win" && cpack -G ZIP -D CPACK_OUTPUT_FILE_PREFIX="$tmp" >/dev/null)
deb=$tmp/kvxsfx-pack_${version}_$(dpkg --print-architecture).deb
zip=$(ls "$tmp"/kvxsfx-pack-"$version"-win*.zip)

# The package holds exactly these files.
check "deb contents" same "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" "$(printf '%s\n' \
  ./usr/bin/kvxsfx-pack ./usr/share/doc/kvxsfx-pack/README.ja.md ./usr/share/doc/kvxsfx-pack/README.md \
  ./usr/share/doc/kvxsfx-pack/changelog.gz ./usr/share/doc/kvxsfx-pack/copyright ./usr/share/kvxsfx/kvxsfx.exe \
  ./usr/share/lintian/overrides/kvxsfx-pack ./usr/share/locale/ja/LC_MESSAGES/kvxsfx-pack.mo \
  ./usr/share/man/ja/man1/kvxsfx-pack.1.gz \
  ./usr/share/man/man1/kvxsfx-pack.1.gz | sort)"
check "deb dependencies from dpkg-shlibdeps" bash -o pipefail -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6 (>='"
check "lintian" lintian --fail-on error,warning "$deb"

# Installed into a scratch root: the version, and a folder packed and tested.
dpkg -x "$deb" "$tmp/root"
packer=$tmp/root/usr/bin/kvxsfx-pack
check "--version" same "$("$packer" --version)" "kvxsfx-pack $version"
check "-V" same "$("$packer" -V)" "kvxsfx-pack $version"
mkdir -p "$tmp/in/資料" && echo "パッケージの試験" >"$tmp/in/資料/説明.txt"
check "pack and test" bash -o pipefail -c "'$packer' -q -o '$tmp/a.exe' '$tmp/in' && '$packer' test '$tmp/a.exe'"
check "list knows its stub" bash -o pipefail -c "LC_ALL=C '$packer' list '$tmp/a.exe' | grep -qx 'stub: the one kvxsfx-pack $version carries'"
check "speaks Japanese from the installed catalogue" bash -o pipefail -c "LANGUAGE= LC_ALL=ja_JP.UTF-8 '$packer' test '$tmp/a.exe' | grep -q '1 項目とも正常です'"

# Manual pages: no warnings from man, the Japanese one in a Japanese locale.
for page in man1/kvxsfx-pack.1.gz ja/man1/kvxsfx-pack.1.gz; do
  check "man $page" bash -o pipefail -c "LC_ALL=ja_JP.UTF-8 MANWIDTH=80 man --warnings -l '$tmp/root/usr/share/man/$page' 2>&1 >/dev/null | (! grep .)"
done

# No file name, option or command is broken across lines, at any width: the
# tokens a wide page shows are all there, whole, in narrower ones too.
tokens() {  # PAGE WIDTH
  LC_ALL=ja_JP.UTF-8 MANWIDTH=$2 man -l "$1" 2>/dev/null | grep -v 'KVXSFX-PACK(1)' | LC_ALL=ja_JP.UTF-8 grep -oE -- \
    '(^|[[:space:]「(])(-{1,2}[A-Za-z0-9][-A-Za-z0-9]*|[^[:space:]()「」、。]+\.(exe|partial|txt|md|pfx|zip))' |
    sed 's/^[[:space:]「(]*//' | sort
}
unbroken() {  # PAGE
  [ -n "${KVX_DEBUG_MAN:-}" ] && cp "$1" "$KVX_DEBUG_MAN"
  local wide w; wide=$(tokens "$1" 300)
  [ -n "$wide" ] || return 1
  for w in $(seq 40 3 130); do
    [ "$(tokens "$1" "$w")" = "$wide" ] || { echo "at width $w:"; diff <(echo "$wide") <(tokens "$1" "$w"); return 1; }
  done
}
for page in man1/kvxsfx-pack.1.gz ja/man1/kvxsfx-pack.1.gz; do
  check "man $page keeps names whole" unbroken "$tmp/root/usr/share/man/$page"
done

# make install with DESTDIR and PREFIX installs exactly these files.
env -u MAKEFLAGS -u MAKELEVEL make -C "$top" install DESTDIR="$tmp/inst" PREFIX=/opt/kvx >/dev/null
check "make install" same "$(cd "$tmp/inst" && find . -type f | sort)" "$(printf '%s\n' ./opt/kvx/bin/kvxsfx-pack \
  ./opt/kvx/share/doc/kvxsfx-pack/README.ja.md ./opt/kvx/share/doc/kvxsfx-pack/README.md \
  ./opt/kvx/share/kvxsfx/kvxsfx.exe ./opt/kvx/share/locale/ja/LC_MESSAGES/kvxsfx-pack.mo \
  ./opt/kvx/share/man/ja/man1/kvxsfx-pack.1 \
  ./opt/kvx/share/man/man1/kvxsfx-pack.1 | sort)"

# The Windows zip: system DLLs only, READMEs in UTF-8 with CRLF, and the
# packer run from a folder that holds nothing else.
unzip -q "$zip" -d "$tmp/zip"
dir=$(basename "$zip" .zip) && dir=$tmp/zip/$dir
# objdump reads PE32 and PE32+ alike; a failing objdump fails the check.
imports_only_system_dlls() {  # EXE
  local names
  names=$(x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name/ {print tolower($3)}') && [ -n "$names" ] &&
    ! grep -vxE '(kernel32|msvcrt|shell32|user32|advapi32|gdi32|comctl32|comdlg32|ole32).dll' <<<"$names"
}
for exe in kvxsfx-pack.exe kvxsfx-builder.exe; do
  check "zip $exe imports" imports_only_system_dlls "$dir/$exe"
done
check "zip stripped" bash -o pipefail -c "x86_64-w64-mingw32-objdump -h '$dir/kvxsfx-pack.exe' | (! grep debug)"
for doc in README.md README.ja.md; do
  check "zip $doc" bash -c "iconv -f UTF-8 -t UTF-8 '$dir/$doc' >/dev/null &&
    [ \$(grep -c \$'\\r\$' '$dir/$doc') = \$(wc -l <'$dir/$doc') ]"
done
mkdir -p "$tmp/alone" && cp "$dir/kvxsfx-pack.exe" "$tmp/alone/"
# A Wine server left from an earlier run on another display is let go first.
"$wine_run" wineserver -w || true
check "zip packer under Wine" "$wine_run" "$tmp/alone/kvxsfx-pack.exe" \
  -q -o "Z:$tmp/w.exe" "Z:$tmp/in" </dev/null
check "its output tests" "$packer" test "$tmp/w.exe"
# --smallest decides in integers, so the zip's packer writes the Linux
# packer's bytes: codes of 20 bits, runs of four that split a small file, four
# letters at random, text; at -1 and -9, the same stub for both, and the time
# zone the Wine wrapper sets.
mkdir -p "$tmp/small-in"
perl -e '
  my $x = 7919;
  sub rnd { $x = ($x * 1103515245 + 12345) % 2147483648; return $x / 2147483648; }
  open(my $f, ">", "$ARGV[0]/flips.bin"); print $f join("", map { rnd() < 0.5 ? "A" : "B" } 1 .. 300000), map(chr, 0 .. 255);
  open($f, ">", "$ARGV[0]/runs.txt"); print $f "aaaabbbb" x 90000;
  open($f, ">", "$ARGV[0]/acgt.txt"); print $f join("", map { substr("ACGT", int(rnd() * 4), 1) } 1 .. 200000);
  open($f, ">", "$ARGV[0]/lines.txt"); print $f map { "line $_: " . ($_ * $_) % 9973 . "\n" } 1 .. 20000;
' "$tmp/small-in"
for level in 1 9; do
  TZ=Asia/Tokyo "$packer" --stub "$top/dist/kvxsfx.exe" -q --smallest -$level -o "$tmp/linux$level.exe" "$tmp/small-in"
  check "--smallest -$level: the zip packer writes the Linux packer's bytes" bash -c "'$wine_run' \
    '$tmp/alone/kvxsfx-pack.exe' --stub 'Z:$top/dist/kvxsfx.exe' -q --smallest -$level -o 'Z:$tmp/win$level.exe' \
    'Z:$tmp/small-in' </dev/null && cmp '$tmp/linux$level.exe' '$tmp/win$level.exe'"
done
"$wine_run" wineserver -w || true

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
