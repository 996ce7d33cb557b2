#!/usr/bin/env bash
# The message catalogue: every text the code marks has its Japanese (msgcmp
# against a template made from the sources now), none untranslated or fuzzy;
# and the packer under ja_JP.UTF-8 speaks no English, in its usage, its
# output and one problem of each kind, each with the exit status it should
# have, while with no locale set it speaks English.
# usage: catalogue.sh PACKER
set -uo pipefail
# The tools here read and compare UTF-8 text (xgettext, msgexec, grep,
# sort), whatever locale the machine has or lacks.  The packer runs in the
# environment each case gives it and in no other (env -i).
export LC_ALL=C.UTF-8
packer=$1
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/kvxcatalogue.XXXXXX)
trap 'rm -rf "$dir"' EXIT
passed=0 failed=0
verdict() {  # NAME STATUS OUTPUT
  if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; echo "$3"; fi
}

xgettext --language=C++ --from-code=UTF-8 --keyword=N_ --keyword=Tr --keyword=Say --keyword=Error \
  --keyword=Warning --keyword=SayCount:1,2 -o "$dir/code.pot" "$top"/packer/lib/*.cpp "$top"/packer/builder/*.cpp \
  "$top"/packer/web/*.cpp
xgettext --language=JavaScript --from-code=UTF-8 --keyword=t --keyword=tn:1,2 -o "$dir/page.pot" "$top"/packer/web/page.js
msgcat -o "$dir/kvxsfx-pack.pot" "$dir/code.pot" "$dir/page.pot"
out=$(msgcmp "$top/po/ja.po" "$dir/kvxsfx-pack.pot" 2>&1); verdict "every marked text is in ja.po" $? "$out"
out=$(msgfmt --check --statistics -o /dev/null "$top/po/ja.po" 2>&1)
[ $? = 0 ] && ! echo "$out" | grep -q 'untranslated\|fuzzy'; verdict "ja.po compiles and translates every text: $out" $? "$out"
# Every translation uses exactly its original's {placeholders}: one left out
# would drop a name or a size from the message without a word.
out=$(msgexec -i "$top/po/ja.po" sh -c '
  set -- "$(printf %s "$MSGEXEC_MSGID" | grep -o "{[a-z]*}" | sort -u)" "$(grep -o "{[a-z]*}" | sort -u)"
  [ "$1" = "$2" ] || printf "%s: %s instead of %s\n" "$MSGEXEC_MSGID" "$(echo $2)" "$(echo $1)"' 2>&1)
[ -z "$out" ]; verdict "every translation keeps its placeholders" $? "$out"

# Problems and output of each kind, in Japanese, each with its exit status.
mkdir -p "$dir/in/資料" "$dir/empty/sub" "$dir/bad"
echo "試験" >"$dir/in/資料/説明.txt"
touch "$dir/bad/caf$(printf '\303\251').txt"
printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\0\131\330\0\0\131\330\10\6\0\0\0' >"$dir/huge.png"  # 23,000 x 23,000
# the packer in a locale of its own: LOCALE_VARIABLES... -- ARGUMENTS...
packer_in() {
  local settings=()
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  (cd "$dir" && env -i PATH="$PATH" "${settings[@]}" "$packer" "$@" 2>&1)
}
packer_in -- -q -o a.exe in && head -c 53280 "$dir/a.exe" >"$dir/cut.exe"  # cut short inside its entry
all=
# expected status | the packer's arguments, with SOURCE_DATE_EPOCH=... first where it is set
while IFS='|' read -r status command; do
  [ -n "$status" ] || continue
  eval "set -- $command"
  epoch=()
  case ${1:-} in SOURCE_DATE_EPOCH=*) epoch=("$1"); shift ;; esac
  out=$(packer_in LANG=ja_JP.UTF-8 "${epoch[@]}" -- "$@"); got=$?
  all+="$out"$'\n'
  [ "$got" = "$status" ] && echo "$out" | grep -qP '[\p{Han}\p{Hiragana}\p{Katakana}]'
  verdict "ja_JP: kvxsfx-pack $command: exit status $got (expected $status), in Japanese" $? "$out"
done <<'EOF'
2|
0|--help
0|-o a.exe --title 題名 in
0|list a.exe
0|test a.exe
0|extract a.exe x
1|-o in/b.exe in
1|-o b.exe --launch nothere.txt --dest '%TEMP%\a' --title "$(printf 'a\tb')" --message "$(printf '%300s' x)" in
0|-o b.exe --dest relative in
1|-o b.exe bad
0|-o b.exe empty
2|-o b.exe --threads 0 in
2|-o b.exe --unknown in
1|list missing.exe
2|extract a.exe
1|test cut.exe
1|-o b.exe missing
1|-o b.exe --icon in/資料/説明.txt in
1|-o b.exe --icon huge.png in
1|-o b.exe --stub in/資料/説明.txt in
0|-o c.exe -v --exclude '*.txt' in
1|-o c.exe --exclude "$(printf '%4097s' x)" in
0|-o d.exe --smallest in
2|SOURCE_DATE_EPOCH=yesterday -o e.exe in
EOF
# What may stay in Latin letters: names, options, commands, units and programs.
left=$(echo "$all" | sed -E 's/kvxsfx-pack|Shift-JIS|libbzip2|bzip2|osslsigncode|signtool|--?[a-z0-9]+|[^ 「」():]*\.(exe|txt|png)|\b(KB|MB|GB|TEMP|N|list|test|extract|json|Windows|relative|nothere|missing|bad|empty|in|x|a|b|sub|caf.|SOURCE_DATE_EPOCH|yesterday|UTC|TZ|Thumbs\.db|bak|build|git|png|ico|PNG|ICO)\b//g' |
  grep -oE '[A-Za-z]{2,}' | sort -u | tr '\n' ' ')
[ -z "$left" ]; verdict "no English left under ja_JP.UTF-8 (left: $left)" $? "$all"
echo "$all" | grep -q '「in/b.exe」が、格納するフォルダー「in」の中にあります'; verdict "a problem in Japanese" $? "$all"

# With no locale at all, as in a bare container: English.
out=$(packer_in -- -o in/b.exe in)
[ "$out" = "kvxsfx-pack: the output in/b.exe lies inside the input in" ]; verdict "English with no locale set" $? "$out"

# Numbers and plurals: the locale's decimal comma stays out; one file is
# "1 file".  The case proves nothing unless de_DE.UTF-8 is there and writes
# a decimal comma.
comma=$(env -i LC_ALL=de_DE.UTF-8 bash -c 'printf "%.1f" 2' 2>&1)
[ "$comma" = "2,0" ]; verdict "de_DE.UTF-8 is installed and writes a decimal comma (scripts/bootstrap.sh makes it)" $? "$comma"
out=$(packer_in LANG=C LC_ALL=de_DE.UTF-8 -- -o c.exe in/資料/説明.txt)
[ "$out" = "c.exe: 1 file, 7 bytes packed into $(du -b "$dir/c.exe" | awk '{printf "%.1f KB", $1 / 1024}')" ]
verdict "one file in English, with a decimal point under de_DE.UTF-8" $? "$out"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
