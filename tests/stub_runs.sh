#!/usr/bin/env bash
# Files made by the packer and run through the real stub under Wine, as a
# person would (demo_run confirms the dialog and reads the final message):
#   - the examples, signed after packing with a throwaway certificate;
#   - one large file that the packer compressed in several blocks at once;
#   - one packed with --smallest, whose stream holds what only that writes.
# Each must end with the completion message, exit code 0 and every byte.
# usage: stub_runs.sh WINE_RUN DEMO_RUN.exe PACKER STUB
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
wine_run=$1 driver=$2 packer=$3 stub=$4
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/kvxruns.XXXXXX)
trap 'rm -rf "$dir"' EXIT
passed=0 failed=0

# run NAME SFX SOURCE: runs SFX (packed with --dest Z:$dir/NAME) and compares.
run() {
  local name=$1 sfx=$2 source=$3
  mkdir -p "$dir/shots-$name"
  if "$wine_run" "$driver" "Z:$sfx" "Z:$dir/shots-$name" >"$dir/$name.log" 2>&1 &&
     grep -q 'ファイルの解凍を終了しました' "$dir/$name.log" && diff -r "$source" "$dir/$name" >/dev/null; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAIL: $name"; tr -d '\r' <"$dir/$name.log"
  fi
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kvxsfx-test \
  -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1
"$packer" --stub "$stub" -q -o "$dir/unsigned.exe" --dest "Z:$dir/signed" "$top/examples"
osslsigncode sign -certs "$dir/cert.pem" -key "$dir/key.pem" -in "$dir/unsigned.exe" -out "$dir/signed.exe" >/dev/null
run signed "$dir/signed.exe" "$top/examples"

# About 420 kB of text without runs: at -1 (100 kB blocks) at least four blocks.
mkdir -p "$dir/large-in"
for i in $(seq 1 12000); do echo "line $i: $((i * i % 9973)) kvxsfx block test"; done >"$dir/large-in/large.txt"
"$packer" --stub "$stub" -q -1 -o "$dir/large.exe" --dest "Z:$dir/large" "$dir/large-in"
run large "$dir/large.exe" "$dir/large-in"

# --smallest: codes of 20 bits (coin flips of A and B, with every other byte
# once), six tables (lines of text) and more blocks than bzip2 would make
# (the two kinds side by side), as list --json reads them from the stream.
mkdir -p "$dir/smallest-in"
perl -e '
  my $x = 7919;
  sub rnd { $x = ($x * 1103515245 + 12345) % 2147483648; return ($x + 0.5) / 2147483648; }
  sub flips { my $s = ""; $s .= rnd() < 0.5 ? "A" : "B" for 1 .. $_[0]; return $s; }
  sub lines { my $s = ""; $s .= "line $_: " . ($_ * $_) % 9973 . " kvxsfx " . int(rnd() * 1000) . "\n" for 1 .. $_[0]; return $s; }
  my $flips = flips(880000);
  for my $c (0 .. 255) { substr($flips, int(rnd() * 880000), 1) = chr($c) unless $c == 65 || $c == 66; }
  print $flips, lines(40000);
  print flips(150000), lines(6000), flips(150000), lines(6000) for 1 .. 2;
' >"$dir/smallest-in/mixed.bin"
"$packer" --stub "$stub" -q --smallest -o "$dir/smallest.exe" --dest "Z:$dir/smallest" "$dir/smallest-in"
"$packer" -q -o "$dir/default.exe" "$dir/smallest-in"
if "$packer" list --json "$dir/smallest.exe" | perl -0ne 'exit !(/"blocks": (\d+)/ && $1 > 4 &&
     /"most_tables": 6/ && /"longest_code": 20/)' &&
   "$packer" list --json "$dir/default.exe" | perl -0ne 'exit !(/"blocks": 4,/ && /"longest_code": 1[0-7]\b/)'; then
  run smallest "$dir/smallest.exe" "$dir/smallest-in"
else
  failed=$((failed + 1)); echo "FAIL: the --smallest stream lacks 20-bit codes, 6 tables or its blocks:"
  "$packer" list --json "$dir/smallest.exe" "$dir/default.exe"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
