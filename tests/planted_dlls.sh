#!/usr/bin/env bash
# A self-extracting file run beside planted DLLs, with Wine preferring native
# DLLs: it must work as always, and none of the planted DLLs may be loaded.
# A control program in the same set-up, loading the same names by their bare
# names, must load every one of them first: otherwise "none loaded" proves
# nothing.
# usage: planted_dlls.sh WINE_RUN PLANTED.dll DEMO_RUN.exe PACKER STUB CONTROL.exe
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
wine_run=$1 planted=$2 driver=$3 packer=$4 stub=$5 control=$6
dir=$(mktemp -d /tmp/kvxplanted.XXXXXX)
trap 'rm -rf "$dir"' EXIT

# DLLs that the system does not always take from its own directory, and that a
# GUI program, the common controls or the shell may load.  (Not version.dll:
# Wine's own user32 imports it, so Wine loads it before any program code runs,
# which no program can prevent; Windows' user32 does not.)
names=(comctl32 uxtheme dwmapi winmm propsys userenv msimg32 cryptbase profapi)
for name in "${names[@]}"; do cp "$planted" "$dir/$name.dll"; done
overrides=$(IFS=,; echo "${names[*]}")

cp "$control" "$dir/control.exe"
WINEDLLOVERRIDES="$overrides=n,b;mscoree,mshtml=" \
  "$wine_run" "Z:$dir/control.exe" "${names[@]}" </dev/null >"$dir/control.log" 2>&1
for name in "${names[@]}"; do
  if [ ! -e "$dir/$name.dll.loaded" ]; then
    echo "FAIL: the control did not load the planted $name.dll: the set-up proves nothing"; exit 1
  fi
done
rm -f "$dir"/*.loaded "$dir/control.exe"

mkdir -p "$dir/in"
echo "planted" >"$dir/in/a.txt"
"$packer" --stub "$stub" -q -o "$dir/setup.exe" --dest "Z:$dir/out" "$dir/in"

WINEDLLOVERRIDES="$overrides=n,b;mscoree,mshtml=" \
  "$wine_run" "$driver" "Z:$dir/setup.exe" "Z:$dir" </dev/null >"$dir/run.log" 2>&1 || {
  cat "$dir/run.log"; echo "FAIL: the self-extracting file did not complete"; exit 1; }
cmp "$dir/in/a.txt" "$dir/out/a.txt"
loaded=$(cd "$dir" && ls -- *.loaded 2>/dev/null || true)
if [ -n "$loaded" ]; then
  echo "FAIL: loaded from beside the program: $loaded"
  exit 1
fi
echo "2 passed, 0 failed: the control loaded all ${#names[@]} planted DLLs; the self-extracting file none"
