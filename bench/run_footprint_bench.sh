#!/usr/bin/env bash
# Builds and runs the footprint benchmark: start time and idle private memory of
# KeloPrintService (next to the fixed-answer server) and KeloUsbService under Wine.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  bench_build_mingw fixed_json_server KeloPrintService KeloUsbService service_probe
  bench_measure_under_lock "$repo/bench/run_footprint_bench.sh"
fi

bench_use_environment
trap bench_release_environment EXIT
refuse_busy_ports 6780 "${KELO_BENCH_FIXED_PORT:-6781}"

echo "== build"
echo "programs:  $(bench_windows_build_line); $(wine --version)"
echo "== machine"
bench_machine_line
echo
python3 "$repo/bench/footprint_bench.py" "$bench_mingw_dir/print_service/KeloPrintService.exe" \
  "$bench_mingw_dir/bench/fixed_json_server.exe" "$bench_mingw_dir/usb_service/KeloUsbService.exe" \
  "$bench_mingw_dir/tests/wine/service_probe.exe"
