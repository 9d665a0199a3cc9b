#!/bin/bash
# Sets up everything and runs KeloPrintService under Wine against a simulated label
# printer: the CUPS queue "KELO", whose jobs land as files in a folder printed below.
# Stop it with Ctrl+C; that also ends Wine, Xvfb and the queue this script made.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUN="$ROOT/build/service-run"

bash "$ROOT/scripts/setup.sh"
# shellcheck disable=SC1091
. "$ROOT/scripts/windows_flavor.sh"
cmake --preset "$KELO_WIN_PRESET" >/dev/null
cmake --build --preset "$KELO_WIN_PRESET" --target KeloPrintService queue_defaults

export KELO_TEST_RUN="$RUN"
export KELO_QUEUES="KELO 203 w288h432"
cleanup() {
  [ -n "${SERVICE_PID:-}" ] && kill "$SERVICE_PID" 2>/dev/null
  bash "$ROOT/tests/harness/harness.sh" teardown
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bash "$ROOT/tests/harness/harness.sh" prepare
# shellcheck disable=SC1091
. "$RUN/env.sh"

wine "$KELO_WIN_BUILD/print_service/KeloPrintService.exe" >"$RUN/KeloPrintService.out" 2>"$RUN/wine.log" &
SERVICE_PID=$!
for _ in $(seq 300); do
  curl -s -o /dev/null -m 1 http://127.0.0.1:6780/ && break
  sleep 0.1
done

cat <<INFO

KeloPrintService is running (pid $SERVICE_PID) under Wine on display $DISPLAY.
  API:          http://127.0.0.1:6780/klapi/  (loopback only)
  try:          curl -d '' http://127.0.0.1:6780/klapi/GetPrinters
  print jobs:   $KELO_JOB_DIR/KELO/job-<id>.prn (PostScript), job-<id>.title
  its output:   $RUN/KeloPrintService.out
  stop:         Ctrl+C
INFO
wait "$SERVICE_PID"
