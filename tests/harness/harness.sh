#!/bin/bash
# Prepares what the Windows tests need, once per run, and tears down what it started:
#   harness.sh prepare   Wine prefix, wineserver, cupsd with our job backend and
#                        label queues, Xvfb, locales; writes $RUN/env.sh
#   harness.sh teardown  ends the processes it started and deletes its queues
# RUN (default build/test-run) holds the prefix, the job folders and the artifacts.
set -euo pipefail

# cupsd, wineserver and Xvfb outlive this script: they must not hold the caller's
# descriptors (a pipe a runner waits to see closed, a lock taken around the call).
# 255 is the one bash reads this script from.
for fd_path in /proc/$$/fd/*; do
  fd="${fd_path##*/}"
  if [ "$fd" -gt 2 ] && [ "$fd" -ne 255 ]; then eval "exec $fd>&-" 2>/dev/null || true; fi
done

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck disable=SC1091
. "$ROOT/scripts/windows_flavor.sh"
HERE="$ROOT/tests/harness"
RUN="${KELO_TEST_RUN:-$ROOT/build/test-run}"
BACKEND=/usr/lib/cups/backend/kelojob
QUEUES_FILE="$RUN/queues.txt"

log() { printf '[harness] %s\n' "$*"; }

# Label queues: name, dpi, default page; KELO_QUEUES (lines of the same form) replaces them.
if [ -n "${KELO_QUEUES:-}" ]; then
  mapfile -t QUEUE_TABLE <<<"$KELO_QUEUES"
else
  QUEUE_TABLE=(
    "KELO 203 w288h432"
    "KeloTest203 203 w288h432"
    "KeloTest300 300 w144h216"
  )
fi

start_cups() {
  local conf=/etc/cups/cups-files.conf
  if ! grep -qx 'FileDevice Yes' "$conf"; then
    echo 'FileDevice Yes' >>"$conf"
    if pgrep -x cupsd >/dev/null; then
      pkill -x cupsd
      for _ in $(seq 50); do pgrep -x cupsd >/dev/null || break; sleep 0.1; done
    fi
  fi
  install -m 0700 -o root -g root "$HERE/kelojob.backend" "$BACKEND"
  if ! pgrep -x cupsd >/dev/null; then
    cupsd
    echo started >"$RUN/cupsd.started"
  fi
  for _ in $(seq 100); do
    lpstat -r >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "cupsd did not come up" >&2
  return 1
}

add_queues() {
  : >"$QUEUES_FILE"
  local entry name dpi page ppd
  for entry in "${QUEUE_TABLE[@]}"; do
    read -r name dpi page <<<"$entry"
    ppd="$RUN/ppd/$name.ppd"
    mkdir -p "$RUN/ppd" "$RUN/jobs/$name"
    sed -e "s/@DPI@/$dpi/g" -e "s/@PAGE@/$page/g" "$HERE/label.ppd.in" >"$ppd"
    # "Printer drivers are deprecated" is CUPS's notice about PPD files; they still work.
    lpadmin -p "$name" -v "kelojob:$RUN/jobs/$name" -P "$ppd" -E -o printer-error-policy=abort-job 2>/dev/null
    cupsenable "$name"
    cupsaccept "$name"
    echo "$name $dpi $page" >>"$QUEUES_FILE"
  done
}

start_wine() {
  export WINEPREFIX="$RUN/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Fails harmlessly when a server for this prefix already runs.
  wineserver -p 2>>"$RUN/wineserver.log" </dev/null || true
  if [ ! -f "$WINEPREFIX/.kelo-ready" ]; then
    log "creating the Wine prefix"
    wineboot -i >>"$RUN/wineboot.log" 2>&1 </dev/null
    touch "$WINEPREFIX/.kelo-ready"
    # The first boot can leave two services.exe behind (a client that waited too
    # long for the first one starts another); two service managers answer requests
    # in turn and lose services. A clean restart of the session leaves one.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p 2>>"$RUN/wineserver.log" </dev/null || true
  fi
  # Without a window manager Wine waits about 2 s whenever it hides a window.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
}

start_xvfb() {
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$RUN/xvfb.log" 2>&1 &
    echo $! >"$RUN/xvfb.pid"
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && { echo ":$n"; return 0; }
      sleep 0.05
    done
  done
  echo "no Xvfb display could be started" >&2
  return 1
}

make_locales() {
  mkdir -p "$RUN/locales"
  local loc
  for loc in zh_CN zh_TW ja_JP de_DE it_IT fr_FR; do
    [ -d "$RUN/locales/$loc.UTF-8" ] || localedef -i "$loc" -f UTF-8 "$RUN/locales/$loc.UTF-8" 2>/dev/null || true
  done
}

# Wine reports print quality 300 for every queue; store each other queue's own
# resolution as its default DEVMODE.
seed_print_quality() {
  local tool="${KELO_QUEUE_DEFAULTS_EXE:-$KELO_WIN_BUILD/tests/wine/queue_defaults.exe}"
  local entry name dpi
  for entry in "${QUEUE_TABLE[@]}"; do
    read -r name dpi _ <<<"$entry"
    [ "$dpi" = 300 ] && continue
    if [ ! -f "$tool" ]; then
      echo "missing $tool: build the $KELO_WIN_PRESET preset first" >&2
      return 1
    fi
    local ok=0
    for _ in 1 2 3; do
      wine "$tool" set "$name" "$dpi" 2>>"$RUN/wine.log" || continue
      if wine "$tool" check "$name" "$dpi" 2>>"$RUN/wine.log"; then ok=1; break; fi
    done
    [ "$ok" = 1 ] || { echo "could not seed quality $dpi on $name" >&2; return 1; }
  done
}

prepare() {
  # A run that was not torn down leaves its processes: end them first.
  [ -f "$RUN/env.sh" ] && teardown
  mkdir -p "$RUN/artifacts"
  rm -rf "$RUN/jobs"
  start_cups
  add_queues
  make_locales
  local display
  display=$(start_xvfb)
  export DISPLAY="$display"
  start_wine
  seed_print_quality
  cat >"$RUN/env.sh" <<ENV
export KELO_TEST_RUN="$RUN"
export PATH="$PATH"
export KELO_WIN_PRESET="$KELO_WIN_PRESET"
export KELO_WIN_BUILD="$KELO_WIN_BUILD"
export WINEPREFIX="$RUN/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY="$display"
export KELO_JOB_DIR="$RUN/jobs"
export KELO_LOCPATH="$RUN/locales"
export KELO_ARTIFACTS="$RUN/artifacts"
ENV
  log "ready: DISPLAY=$display, prefix $RUN/wineprefix, jobs in $RUN/jobs"
}

teardown() {
  set +e
  if [ -f "$RUN/env.sh" ]; then
    # shellcheck disable=SC1091
    . "$RUN/env.sh"
    wineserver -k >/dev/null 2>&1
  fi
  if [ -f "$RUN/xvfb.pid" ]; then
    kill "$(cat "$RUN/xvfb.pid")" 2>/dev/null
    rm -f "$RUN/xvfb.pid"
  fi
  if [ -f "$QUEUES_FILE" ]; then
    while read -r name _; do lpadmin -x "$name" 2>/dev/null; done <"$QUEUES_FILE"
    rm -f "$QUEUES_FILE"
  fi
  if [ -f "$RUN/cupsd.started" ]; then
    pkill -x cupsd
    for _ in $(seq 50); do pgrep -x cupsd >/dev/null || break; sleep 0.1; done
    rm -f "$RUN/cupsd.started"
  fi
  rm -f "$RUN/env.sh"
  return 0
}

case "${1:-}" in
  prepare) prepare ;;
  teardown) teardown ;;
  *) echo "usage: $0 prepare|teardown" >&2; exit 2 ;;
esac
