#!/usr/bin/env bash
# The message catalogue: every text the code marks has its Japanese (msgcmp
# against a template made from the sources now), none untranslated or fuzzy;
# and the packer under ja_JP.UTF-8 speaks no English, in its usage, its
# output and one problem of each kind, while under C it speaks English.
# usage: catalogue.sh PACKER
set -uo pipefail
packer=$1
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/kvxcatalogue.XXXXXX)
trap 'rm -rf "$dir"' EXIT
passed=0 failed=0
verdict() {  # NAME STATUS OUTPUT
  if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; echo "$3"; fi
}

xgettext --language=C++ --from-code=UTF-8 --keyword=N_ --keyword=Tr --keyword=Say --keyword=Error \
  --keyword=Warning --keyword=SayCount:1,2 -o "$dir/kvxsfx-pack.pot" "$top"/packer/lib/*.cpp "$top"/packer/builder/*.cpp
out=$(msgcmp "$top/po/ja.po" "$dir/kvxsfx-pack.pot" 2>&1); verdict "every marked text is in ja.po" $? "$out"
out=$(msgfmt --check --statistics -o /dev/null "$top/po/ja.po" 2>&1)
[ $? = 0 ] && ! echo "$out" | grep -q 'untranslated\|fuzzy'; verdict "ja.po compiles and translates every text: $out" $? "$out"
# Every translation uses exactly its original's {placeholders}: one left out
# would drop a name or a size from the message without a word.
out=$(msgexec -i "$top/po/ja.po" sh -c '
  set -- "$(printf %s "$MSGEXEC_MSGID" | grep -o "{[a-z]*}" | sort -u)" "$(grep -o "{[a-z]*}" | sort -u)"
  [ "$1" = "$2" ] || printf "%s: %s instead of %s\n" "$MSGEXEC_MSGID" "$(echo $2)" "$(echo $1)"' 2>&1)
[ -z "$out" ]; verdict "every translation keeps its placeholders" $? "$out"

# Problems and output of each kind, in Japanese.
mkdir -p "$dir/in/資料" "$dir/empty/sub" "$dir/bad"
echo "試験" >"$dir/in/資料/説明.txt"
touch "$dir/bad/caf$(printf '\303\251').txt"
ja() { (cd "$dir" && LANG=ja_JP.UTF-8 LC_ALL= LANGUAGE= "$packer" "$@" 2>&1); }
run_all() {
  ja
  ja --help
  ja -o a.exe --title "題名" in && ja list a.exe && ja test a.exe && ja extract a.exe x
  ja -o in/b.exe in
  ja -o b.exe --launch nothere.txt --dest '%TEMP%\a' --title "$(printf 'a\tb')" --message "$(printf '%300s' x)" in
  ja -o b.exe --dest 'relative' in
  ja -o b.exe bad
  ja -o b.exe empty
  ja -o b.exe --threads 0 in
  ja -o b.exe --unknown in
  ja list missing.exe
  ja extract a.exe
  head -c 53300 a.exe >cut.exe 2>/dev/null; ja test cut.exe
  ja -o b.exe missing
  ja -o b.exe --icon in/資料/説明.txt in
  ja -o b.exe --stub in/資料/説明.txt in
  ja -o c.exe -v --exclude '*.txt' in
}
all=$(cd "$dir" && run_all)
# What may stay in Latin letters: names, options, commands, units and programs.
left=$(echo "$all" | sed -E 's/kvxsfx-pack|Shift-JIS|libbzip2|bzip2|osslsigncode|signtool|--?[a-z0-9]+|[^ 「」():]*\.(exe|txt)|\b(KB|MB|GB|TEMP|N|list|test|extract|json|Windows|relative|nothere|missing|bad|empty|in|x|a|b|sub|caf.|SOURCE_DATE_EPOCH|TZ|Thumbs\.db|bak|build|git|png|ico|PNG|ICO)\b//g' |
  grep -oE '[A-Za-z]{2,}' | sort -u | tr '\n' ' ')
[ -z "$left" ]; verdict "no English left under ja_JP.UTF-8 (left: $left)" $? "$all"
echo "$all" | grep -q '「in/b.exe」が、格納するフォルダー「in」の中にあります'; verdict "a problem in Japanese" $? "$all"
out=$(cd "$dir" && LANG=C LC_ALL=C "$packer" -o in/b.exe in 2>&1)
[ "$out" = "kvxsfx-pack: the output in/b.exe lies inside the input in" ]; verdict "English under C" $? "$out"

# Numbers and plurals: the locale's decimal comma stays out; one file is "1 file".
out=$(cd "$dir" && LANG=C LC_ALL=de_DE.UTF-8 LANGUAGE= "$packer" -o c.exe in/資料/説明.txt 2>&1)
[ "$out" = "c.exe: 1 file, 7 bytes packed into $(du -b "$dir/c.exe" | awk '{printf "%.1f KB", $1 / 1024}')" ]
verdict "one file in English, with a decimal point under de_DE.UTF-8" $? "$out"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
