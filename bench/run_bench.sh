#!/usr/bin/env bash
# Builds and runs the GetPrinters benchmark: the real tray program and the fixed-answer server under Wine, driven by the native load client.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"
mingw_dir="$bench_mingw_dir"
real_exe="$mingw_dir/print_service/KeloPrintService.exe"
fixed_exe="$mingw_dir/bench/fixed_json_server.exe"
client="$bench_client_dir/load_client"
real_port=6780  # fixed in the program
fixed_port="${KELO_BENCH_FIXED_PORT:-6781}"
warmup="${KELO_BENCH_WARMUP:-2}"
duration="${KELO_BENCH_DURATION:-4}"
connections="${KELO_BENCH_CONNECTIONS:-1,8,32}"
# delayed: the client ACKs as ordinary clients do; quick: at once, which shows the
# servers' own cost without the wait on a delayed ACK (see README).
ack_modes="${KELO_BENCH_ACK_MODES:-delayed quick}"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  bench_build_mingw fixed_json_server KeloPrintService queue_defaults
  bench_build_client
  bench_measure_under_lock "$repo/bench/run_bench.sh"
fi

bench_use_environment
work="$(mktemp -d)"
clean_up() {
  stop_servers
  rm -rf "$work"
  bench_release_environment
}
trap clean_up EXIT
trap 'exit 130' INT TERM

refuse_busy_ports "$real_port" "$fixed_port"

# Standard output of both goes to files: the real program writes its diagnostic
# lines there on every request, as it does when redirected in the field.
wine "$real_exe" >"$work/real.log" 2>&1 &
pids+=($!)
real_pid=$!
wine "$fixed_exe" "$fixed_port" >"$work/fixed.log" 2>&1 &
pids+=($!)
fixed_pid=$!
wait_ready "$real_port" "$real_pid" real
wait_ready "$fixed_port" "$fixed_pid" fixed

print_build_and_machine "$(bench_native_build_line), native" \
  "client and both servers share these cores; the client runs natively, the servers under Wine"

echo "== answers"
real_status="$(answer "$real_port" "$work/real.json")"
fixed_status="$(answer "$fixed_port" "$work/fixed.json")"
real_size="$(wc -c <"$work/real.json")"
fixed_size="$(wc -c <"$work/fixed.json")"
if cmp -s "$work/real.json" "$work/fixed.json"; then
  echo "real and fixed bodies identical: $real_size bytes (status $real_status / $fixed_status)"
else
  echo "bodies differ: real $real_size bytes (status $real_status), fixed $fixed_size bytes (status $fixed_status)"
fi

echo "== GetPrinters: real = KeloPrintService.exe (spooler), fixed = fixed_json_server.exe (same server build, fixed text)"
for mode in $ack_modes; do
  "$client" --warmup "$warmup" --duration "$duration" --connections "$connections" --ack "$mode" \
    "real=$real_port" "fixed=$fixed_port"
done

for name in real fixed; do
  pid_var="${name}_pid"
  kill -0 "${!pid_var}" 2>/dev/null || echo "warning: the $name server ended during the run" >&2
done
echo "real program wrote $(wc -l <"$work/real.log") diagnostic lines"
clean_up
trap - EXIT
echo "servers stopped; total time $(($(date +%s) - ${KELO_BENCH_STARTED:-$(date +%s)})) s from the end of the build"
