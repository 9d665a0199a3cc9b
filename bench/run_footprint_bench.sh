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

type="$(bench_cache_value "$bench_mingw_dir" CMAKE_BUILD_TYPE)"
echo "== build"
echo "programs:  $("$(bench_compiler_of "$bench_mingw_dir")" --version | head -1), $type" \
  "($(bench_cache_value "$bench_mingw_dir" "CMAKE_CXX_FLAGS_${type^^}")), static, 32-bit; $(wine --version)"
echo "== machine"
echo "$(nproc) cores available, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo
python3 "$repo/bench/footprint_bench.py" "$bench_mingw_dir/print_service/KeloPrintService.exe" \
  "$bench_mingw_dir/bench/fixed_json_server.exe" "$bench_mingw_dir/usb_service/KeloUsbService.exe" \
  "$bench_mingw_dir/tests/wine/service_probe.exe"
