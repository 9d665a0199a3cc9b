# Shared by the benchmark scripts (sourced, not run): builds in the mingw tree,
# the Wine environment, starting and stopping the servers, and the build/machine
# lines every report begins with. Expects $repo to be set.

bench_lock=/tmp/kelo-build.lock
# shellcheck disable=SC1091
. "$repo/scripts/windows_flavor.sh"
bench_mingw_dir="$KELO_WIN_BUILD"

# Builds the given mingw targets (configuring first when the tree does not know
# them yet). The machine is shared: every build step takes the lock on its own.
bench_build_mingw() {
  if ! grep -q "$1" "$bench_mingw_dir/build.ninja" 2>/dev/null; then
    flock -o "$bench_lock" cmake --preset "$KELO_WIN_PRESET" >/dev/null
  fi
  flock -o "$bench_lock" cmake --build "$bench_mingw_dir" --target "$@"
}

# The native Release build in build/bench-client (no sanitizers), configured on
# first use; builds the given targets, or all.
bench_client_dir="$repo/build/bench-client"
bench_build_client() {
  if [[ ! -f "$bench_client_dir/build.ninja" ]]; then
    flock -o "$bench_lock" cmake -S "$repo/bench" -B "$bench_client_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  if [[ $# -gt 0 ]]; then
    flock -o "$bench_lock" cmake --build "$bench_client_dir" --target "$@"
  else
    flock -o "$bench_lock" cmake --build "$bench_client_dir"
  fi
}

# Runs the calling script again with --measure, holding the lock for the whole
# measured part; -o keeps the lock's descriptor out of the Wine processes.
bench_measure_under_lock() {
  KELO_BENCH_STARTED="$(date +%s)" exec flock -o "$bench_lock" bash "$1" --measure
}

# Uses the prepared test environment when there is one, otherwise prepares its
# own (Wine prefix, Xvfb, CUPS queues); bench_release_environment tears that down.
bench_own_harness=0
bench_use_environment() {
  local env_sh="${KELO_BENCH_ENV_SH:-$repo/build/test-run/env.sh}"
  if [[ ! -f "$env_sh" ]]; then
    export KELO_TEST_RUN="$repo/build/bench-run"
    bash "$repo/tests/harness/harness.sh" prepare >/dev/null
    bench_own_harness=1
    env_sh="$KELO_TEST_RUN/env.sh"
  fi
  # shellcheck disable=SC1090
  . "$env_sh"
}
bench_release_environment() {
  if [[ "$bench_own_harness" == 1 ]]; then
    bash "$repo/tests/harness/harness.sh" teardown >/dev/null
    bench_own_harness=0
  fi
}

# The servers started; stop_servers ends them by pid.
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
}

# Prints the HTTP status of one GetPrinters call (000: no answer); body into $2.
answer() {
  curl -s -m 5 -d '' -o "${2:-/dev/null}" -w '%{http_code}' "http://127.0.0.1:$1/klapi/GetPrinters" || true
}

refuse_busy_ports() {
  local port
  for port in "$@"; do
    if [[ "$(answer "$port")" != 000 ]]; then
      echo "something already answers on 127.0.0.1:$port; stop it first" >&2
      exit 1
    fi
  done
}

wait_ready() {  # port pid name; the server's output is in $work/<name>.log
  local i
  for i in $(seq 1 300); do
    if [[ "$(answer "$1")" == 200 ]]; then
      # A copy that cannot bind (another server holds the port) ends at once.
      sleep 0.2
      kill -0 "$2" 2>/dev/null && return 0
    fi
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

bench_cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
bench_compiler_of() {
  sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -1
}

# Compiler, build type and flags of the MinGW build of the Windows programs.
bench_windows_build_line() {
  local type
  type="$(bench_cache_value "$bench_mingw_dir" CMAKE_BUILD_TYPE)"
  echo "$("$(bench_compiler_of "$bench_mingw_dir")" --version | head -1), $type" \
    "($(bench_cache_value "$bench_mingw_dir" "CMAKE_CXX_FLAGS_${type^^}")), static, $([ "$KELO_WIN_PRESET" = mingw-i686 ] && echo 32-bit || echo "64-bit ($KELO_WIN_NOTE)")"
}

# The same for the native client build.
bench_native_build_line() {
  echo "$("$(bench_compiler_of "$bench_client_dir")" --version | head -1)," \
    "$(bench_cache_value "$bench_client_dir" CMAKE_BUILD_TYPE) ($(bench_cache_value "$bench_client_dir" CMAKE_CXX_FLAGS_RELEASE))"
}

bench_machine_line() {
  echo "$(nproc) cores available, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
}

# "== build" with the servers' line and the given client line, then "== machine".
print_build_and_machine() {  # client-line sharing-note
  echo "== build"
  echo "servers:   $(bench_windows_build_line)"
  echo "client:    $1"
  echo "cpp-httplib $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$repo/deps/cpp-httplib/httplib.h"), $(wine --version)"
  echo "== machine"
  bench_machine_line
  echo "($2)"
}
