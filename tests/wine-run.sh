#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests.
# usage: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The prefix is private to the build tree, created on first use, and set to a
# virtual desktop: without a window manager every closing window would wait two
# seconds, and in the desktop captions are drawn for screenshots.  The locale
# makes Wine's ANSI code page 932 (Shift-JIS).  Without a display an Xvfb is
# started for this one run.
set -euo pipefail
prefix=$1
shift

export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8
# Local time differs from UTC, so file times prove their conversion.
export TZ=Asia/Tokyo
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$prefix" "$@"
fi

if [ ! -f "$prefix/.ready-2" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.ready-2" ]; then
    rm -rf "$prefix"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    # A crash ends the program at once, with a backtrace, instead of waiting
    # for someone to close the crash dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.ready-2"
  fi
  exec 9>&-
fi

exec wine "$@"
