#!/usr/bin/env bash
# Builds and runs the GetPrinters benchmark: the real tray program and the fixed-answer server under Wine, driven by the native load client.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
lock=/tmp/kelo-build.lock
mingw_dir="$repo/build/mingw-i686"
client_dir="$repo/build/bench-client"
real_exe="$mingw_dir/print_service/KeloPrintService.exe"
fixed_exe="$mingw_dir/bench/fixed_json_server.exe"
client="$client_dir/load_client"
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
  # The machine is shared: every build step takes the lock on its own, briefly.
  if ! grep -q fixed_json_server "$mingw_dir/build.ninja" 2>/dev/null; then
    flock "$lock" cmake --preset mingw-i686 >/dev/null
  fi
  flock "$lock" cmake --build "$mingw_dir" --target KeloPrintService fixed_json_server queue_defaults
  if [[ ! -f "$client_dir/build.ninja" ]]; then
    flock "$lock" cmake -S bench -B "$client_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  flock "$lock" cmake --build "$client_dir"
  # The measured part holds the lock for its whole run; -o keeps the lock's
  # descriptor out of the Wine processes, so a straggler cannot hold it.
  KELO_BENCH_STARTED="$(date +%s)" exec flock -o "$lock" bash "$repo/bench/run_bench.sh" --measure
fi

# Uses the prepared test environment when there is one, otherwise prepares its own
# (Wine prefix, Xvfb, CUPS queues) and tears it down at the end.
env_sh="$repo/build/test-run/env.sh"
own_harness=0
if [[ ! -f "$env_sh" ]]; then
  export KELO_TEST_RUN="$repo/build/bench-run"
  bash "$repo/tests/harness/harness.sh" prepare >/dev/null
  own_harness=1
  env_sh="$KELO_TEST_RUN/env.sh"
fi
. "$env_sh"

work="$(mktemp -d)"
pids=()
stop_servers() {
  local pid i
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for i in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  pids=()
  rm -rf "$work"
  if [[ "$own_harness" == 1 ]]; then
    bash "$repo/tests/harness/harness.sh" teardown >/dev/null
    own_harness=0
  fi
}
trap stop_servers EXIT
trap 'exit 130' INT TERM

# Prints the HTTP status of one GetPrinters call (000: no answer), body into $2.
answer() {
  curl -s -m 5 -d '' -o "$2" -w '%{http_code}' "http://127.0.0.1:$1/klapi/GetPrinters" || true
}

wait_ready() {  # port pid name
  local i
  for i in $(seq 1 300); do
    [[ "$(answer "$1" /dev/null)" == 200 ]] && return 0
    if ! kill -0 "$2" 2>/dev/null; then
      echo "$3 ended before answering; its output:" >&2
      cat "$work/$3.log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "$3 did not answer on port $1 within 30 s" >&2
  return 1
}

for port in "$real_port" "$fixed_port"; do
  if [[ "$(answer "$port" /dev/null)" != 000 ]]; then
    echo "something already answers on 127.0.0.1:$port; stop it first" >&2
    exit 1
  fi
done

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

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
compiler_of() { sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -1; }
mingw_type="$(cache_value "$mingw_dir" CMAKE_BUILD_TYPE)"
mingw_flags="$(cache_value "$mingw_dir" "CMAKE_CXX_FLAGS_${mingw_type^^}")"
client_flags="$(cache_value "$client_dir" CMAKE_CXX_FLAGS_RELEASE)"
echo "== build"
echo "servers:   $("$(compiler_of "$mingw_dir")" --version | head -1), $mingw_type ($mingw_flags), static"
echo "client:    $("$(compiler_of "$client_dir")" --version | head -1), Release ($client_flags), native"
echo "cpp-httplib $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$repo/deps/cpp-httplib/httplib.h"), $(wine --version)"
echo "== machine"
echo "$(nproc) cores available, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "(client and both servers share these cores; the client runs natively, the servers under Wine)"

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
stop_servers
trap - EXIT
echo "servers stopped; total time $(($(date +%s) - ${KELO_BENCH_STARTED:-$(date +%s)})) s from the end of the build"
