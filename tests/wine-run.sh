#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests.
# usage: wine-run.sh ARCH PREFIX PROGRAM [ARGS...]
#        wine-run.sh ARCH PREFIX wineserver [ARGS...]   (that prefix's server)
# ARCH is win32 (i686 programs) or win64 (x86_64 programs).  Each build tree
# has its own prefix and a wrapper, BUILD/wine-run, that names both.
#
# The loader and server are named outright: Debian's wine, wineboot and
# wineserver scripts take the 32-bit programs whenever they are installed,
# even on kernels that cannot run them.
#
# A crash is judged by Wine's own report, not by the loader's exit status,
# which races with the display going away (a crashed program's status was 0
# in a third of the runs): whenever Wine reports an unhandled exception, in
# the program or in any program it starts (not in Wine's own services, which
# write to the prefix's services.log), the run exits 70, after the
# program's own output.  Otherwise the program's status and output are kept.
# Programs it started that outlive it are waited for, up to Linger seconds.
#
# The prefix is private to the build tree, created on first use, and set to a
# virtual desktop: without a window manager every closing window would wait two
# seconds, and in the desktop captions are drawn for screenshots.  The locale
# makes Wine's ANSI code page 932 (Shift-JIS).  Without a display an Xvfb is
# started for this one run.
set -euo pipefail
arch=$1 prefix=$2
shift 2

case "$arch" in
  win32) loader=/usr/lib/wine/wine ;;
  win64) loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run.sh: unknown architecture '$arch' (win32 or win64)" >&2; exit 2 ;;
esac
# The 64-bit server serves 32-bit prefixes too; the 32-bit one where it is alone.
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32

export WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$loader WINESERVER=$server
export WINEDEBUG=${WINEDEBUG:--all}
export LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8
# Local time differs from UTC, so file times prove their conversion.
export TZ=Asia/Tokyo
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ "${1:-}" = wineserver ]; then
  shift
  exec "$server" "$@"
fi

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$arch" "$prefix" "$@"
fi

if [ ! -f "$prefix/.ready-2" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.ready-2" ]; then
    rm -rf "$prefix"
    "$loader" wineboot -i >/dev/null 2>&1
    "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    # A crash ends the program at once, with a backtrace, instead of waiting
    # for someone to close the crash dialog.
    "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$server" -w
    touch "$prefix/.ready-2"
  fi
  exec 9>&-
fi

# Wine's own services (services.exe, and winedevice.exe that hosts the
# drivers) are started by the first program a new server runs, and write to
# its standard error.  A program that does nothing starts them here, their
# output kept in the prefix's services.log, so that a crash of theirs is not
# taken for the program's: Wine's driver host once crashed in its
# IoCreateDevice as a packer started, and the packer was said to have crashed.
# With the server already up this costs a fifth of a second.
"$loader" cmd /c exit 0 </dev/null >/dev/null 2>>"$prefix/services.log" || true

# Standard error goes to a file that tail copies out as it grows, until the
# program has ended: a pipe would stay open, and the run wait, for as long as
# the server and Wine's own processes that inherited it live on.  Wine's
# report ("wine: Unhandled page fault on read access ...") is looked for
# there; standard input and output go straight through.
errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$errors"' EXIT
Linger=10
# Whether a program the program started still runs: a Windows program under
# Wine, other than Wine's own services, that holds the errors file open.
started_alive() {
  local exe p
  for exe in $(find /proc/[0-9]*/exe -maxdepth 0 -lname '/usr/lib/wine/*' 2>/dev/null); do
    p=${exe%/exe}
    case $(cat "$p/comm" 2>/dev/null) in
      wineserver* | services.exe | explorer.exe | winedevice.exe | plugplay.exe | svchost.exe | rpcss.exe | \
        conhost.exe | winemenubuilder* | tabtip.exe | wineboot.exe | "") continue ;;
    esac
    [ -n "$(find "$p/fd" -lname "$errors" 2>/dev/null)" ] && return 0
  done
  return 1
}
# The program keeps the wrapper's standard input (a job in the background
# would get /dev/null), or reads /dev/null where there is none at all.
{ exec 4<&0; } 2>/dev/null || exec 4</dev/null
"$loader" "$@" <&4 4<&- 2>>"$errors" &
program=$!
# Until the program and what it started have ended, or Linger seconds after
# the program: then tail has copied the last of what they wrote.
{
  while kill -0 "$program" 2>/dev/null; do sleep 0.05; done
  for ((i = 0; i < Linger * 20; i++)); do started_alive || break; sleep 0.05; done
} </dev/null &
watcher=$!
tail -c +1 -s 0.05 -f --pid="$watcher" "$errors" >&2 &
copier=$!
status=0
wait "$program" || status=$?
wait "$watcher" || true
wait "$copier" || true
report=$(grep -a -m 1 '^wine: Unhandled ' "$errors" || true)
if [ -n "$report" ]; then
  echo "wine-run: $(basename "$1") crashed (exit status $status): $report" >&2
  exit 70
fi
exit "$status"
