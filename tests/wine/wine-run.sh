#!/usr/bin/env bash
# Runs a Windows executable of the test build under Wine, on the test bench:
#   a private prefix in $UPD_WINE_ROOT/prefix (made on first use),
#   LC_ALL=ja_JP.UTF-8 unless UPD_WINE_LC_ALL says otherwise (ANSI code page 932 by default),
#   an Xvfb display for tests that open windows, a persistent wineserver.
# wine-run.sh --start [HOLDER.exe] | --stop
#                                 set up or tear down the bench (ctest fixtures); HOLDER keeps
#                                 the desktop open for the run (tests/windows/bench_desktop.cpp)
# wine-run.sh PROGRAM.exe ARGS... run one program; its exit code is ours
set -euo pipefail

root=${UPD_WINE_ROOT:?UPD_WINE_ROOT must name the bench folder}
mkdir -p "$root"
export WINEPREFIX="$root/prefix"
export WINEDEBUG=${UPD_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=${UPD_WINE_LC_ALL:-ja_JP.UTF-8}
unset LANG LANGUAGE

lock() { exec 9>"$root/lock"; flock 9; }
unlock() { flock -u 9; }

start_display() {
  if [ -f "$root/xvfb.pid" ] && kill -0 "$(cat "$root/xvfb.pid")" 2>/dev/null; then
    return
  fi
  local fifo="$root/displayfd"
  rm -f "$fifo"; mkfifo "$fifo"
  Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$fifo" >/dev/null 2>&1 9>&- </dev/null &
  echo $! >"$root/xvfb.pid"
  local n; read -r n <"$fifo"
  rm -f "$fifo"
  echo ":$n" >"$root/display"
}

ensure_prefix() {
  if [ ! -f "$root/prefix.ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    touch "$root/prefix.ready"
  fi
  # Two CD-ROM drives, P: and Q: (one for each locale's scenarios, which run at the same time),
  # each a folder of the bench: a test puts the disc in by filling the folder. Wine learns a
  # drive's type from the registry when its server starts, so this is done before the server
  # of the run starts.
  if [ ! -f "$root/cdrom.ready" ]; then
    for letter in p q; do
      mkdir -p "$root/cdrom-$letter"
      ln -sfn "$root/cdrom-$letter" "$WINEPREFIX/dosdevices/$letter:"
      wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f >/dev/null 2>&1 </dev/null 9>&- || true
    done
    wineserver -w
    touch "$root/cdrom.ready"
  fi
  # Xvfb has no window manager; a managed window makes Wine wait for one (about 2 s) each time a
  # dialog or box goes away. Unmanaged windows are what the tests want anyway.
  if [ ! -f "$root/unmanaged.ready" ]; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null 9>&- || true
    wineserver -w
    touch "$root/unmanaged.ready"
  fi
}

start_desktop_holder() {
  if [ -f "$root/desktop.pid" ] && kill -0 "$(cat "$root/desktop.pid")" 2>/dev/null; then
    return
  fi
  rm -f "$root/desktop.ready"
  setsid wine "$1" "Z:$root/desktop.ready" </dev/null >/dev/null 2>&1 9>&- &
  echo $! >"$root/desktop.pid"
  local i
  for i in $(seq 600); do
    [ -f "$root/desktop.ready" ] && return
    sleep 0.1
  done
  echo "wine-run.sh: the desktop did not start" >&2
}

case "${1:-}" in
  --start)
    lock
    start_display
    export DISPLAY=$(cat "$root/display")
    ensure_prefix
    wineserver -p >/dev/null 2>&1 || true
    # Start Wine's own background processes now, away from ctest's output pipe: they live as
    # long as the server, and ctest would wait for them to close the pipe of the first test.
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
    # The desktop process too: started by the first program that opens a window, it would hold
    # that test's pipe open until every window of the run is gone. A holder started here, with
    # no pipe, starts it instead and keeps it until --stop.
    if [ -n "${2:-}" ]; then start_desktop_holder "$2"; fi
    unlock
    exit 0 ;;
  --stop)
    if [ -f "$root/desktop.pid" ]; then kill "$(cat "$root/desktop.pid")" 2>/dev/null || true; rm -f "$root/desktop.pid"; fi
    wineserver -k >/dev/null 2>&1 || true
    if [ -f "$root/xvfb.pid" ]; then kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true; rm -f "$root/xvfb.pid"; fi
    exit 0 ;;
  "")
    echo "usage: wine-run.sh --start [HOLDER.exe] | --stop | PROGRAM.exe [ARGS...]" >&2; exit 2 ;;
esac

# A test run on its own (outside ctest's fixture) sets the bench up itself.
lock
start_display
ensure_prefix
unlock
exec 9>&-
export DISPLAY=$(cat "$root/display")
exec wine "$@"
