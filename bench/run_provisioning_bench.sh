#!/usr/bin/env bash
# Builds and runs the provisioning benchmark: one pass with 1 and with 10 printers,
# natively against the fakes and under Wine against the real spooler with simulated
# printers; time per pass, and the ratios 10/1 and Wine/native.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"
native_passes="${KELO_PROVISION_BENCH_NATIVE_PASSES:-5000}"
wine_passes="${KELO_PROVISION_BENCH_WINE_PASSES:-20}"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  bench_build_mingw provisioning_bench
  bench_build_client provisioning_bench_native
  bench_measure_under_lock "$repo/bench/run_provisioning_bench.sh"
fi

bench_use_environment
trap bench_release_environment EXIT

echo "== build"
echo "wine:      $(bench_windows_build_line); $(wine --version)"
echo "native:    $(bench_native_build_line), no sanitizers"
echo "== machine"
bench_machine_line
echo
echo "== provisioning pass ($native_passes native passes, $wine_passes Wine passes per row)"
native="$("$bench_client_dir/provisioning_bench_native" "$native_passes")"
wine_rows="$(wine "$bench_mingw_dir/bench/provisioning_bench.exe" "$wine_passes" | tr -d '\r')"
echo "$native"
echo "$wine_rows" | tail -n +2
median() {  # rows where kind printers
  awk -v w="$2" -v k="$3" -v n="$4" '$0 ~ "^"w && $3 == k && $4 == n { print $6 }' <<<"$1"
}
for kind in first steady; do
  for printers in 1 10; do
    n="$(median "$native" native "$kind" "$printers")"
    w="$(median "$wine_rows" wine "$kind" "$printers")"
    awk -v n="$n" -v w="$w" -v k="$kind" -v p="$printers" \
      'BEGIN { if (n > 0) printf "ratio wine/native, %s pass, %s printers (median): %.0f\n", k, p, w / n }'
  done
done
