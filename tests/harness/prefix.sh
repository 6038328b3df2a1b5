#!/usr/bin/env bash
# Makes (setup) or removes (cleanup) the throw-away Wine prefix of one test
# run, with its own Xvfb display and a persistent wineserver.
#   prefix.sh setup|stop|cleanup PREFIX [FAKE_COMMANDS]
# FAKE_COMMANDS: a folder of console programs (systeminfo.exe, schtasks.exe)
# that replace Wine's own in the prefix's system folders.
set -euo pipefail
action=$1
prefix=$2
fakes=${3:-}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

stop() {
  if [ -d "$prefix" ]; then
    "$wineserver" -k >/dev/null 2>&1 || true
    if [ -f "$prefix/.xvfb.pid" ]; then
      kill "$(cat "$prefix/.xvfb.pid")" >/dev/null 2>&1 || true
    fi
  fi
}

case "$action" in
setup)
  stop
  rm -rf "$prefix"
  mkdir -p "$prefix"
  # A display of our own for programs that open windows.
  n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
  echo $! > "$prefix/.xvfb.pid"
  echo ":$n" > "$prefix/.display"
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  "$wine64" wineboot -i >/dev/null 2>&1
  "$wineserver" -w
  # Shell folders of a new prefix link to $HOME: make them real folders.
  for user_dir in "$prefix"/drive_c/users/*; do
    for f in Desktop Documents Downloads Music Pictures Videos; do
      if [ -L "$user_dir/$f" ]; then rm -f "$user_dir/$f"; mkdir -p "$user_dir/$f"; fi
    done
  done
  # Wine draws frames itself without a window manager; Tahoma comes from Wine's fonts.
  "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  if compgen -G "/usr/share/wine/fonts/*.ttf" >/dev/null; then
    mkdir -p "$prefix/drive_c/windows/Fonts"
    for f in /usr/share/wine/fonts/*; do ln -sf "$f" "$prefix/drive_c/windows/Fonts/" ; done
  fi
  # A crash must end its process, not start winedbg: a debugger left waiting
  # would hold the test's output open.
  "$wine64" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
  "$wine64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1 || true
  "$wine64" reg delete 'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
  # Wine's systeminfo and schtasks print nothing: tests bring their own.
  if [ -n "$fakes" ]; then
    for exe in "$fakes"/*.exe; do
      name=$(basename "$exe")
      for sys in system32 syswow64; do
        if [ -d "$prefix/drive_c/windows/$sys" ]; then cp -f "$exe" "$prefix/drive_c/windows/$sys/$name"; fi
      done
      "$wine64" reg add 'HKCU\Software\Wine\DllOverrides' /v "$name" /t REG_SZ /d native /f >/dev/null 2>&1
    done
  fi
  # Keep one wineserver for the whole run.
  setsid "$wineserver" -p >/dev/null 2>&1 < /dev/null &
  echo "prefix ready: $prefix (display :$n)"
  ;;
stop)
  stop
  ;;
cleanup)
  stop
  rm -rf "$prefix"
  echo "prefix removed: $prefix"
  ;;
*)
  echo "usage: prefix.sh setup|stop|cleanup PREFIX" >&2
  exit 2
  ;;
esac
