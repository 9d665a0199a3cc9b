#!/usr/bin/env bash
# GetPrinters before and after a change, in one run: the tray program and the
# fixed-answer server built from BASE (a git revision) and from the work tree,
# driven by the same native load client.
#   bench/run_before_after_bench.sh [BASE]     (default: KELO_BENCH_BASE or HEAD~1)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"
base_ref="${1:-${KELO_BENCH_BASE:-HEAD~1}}"
base_root="$repo/build/bench-base"
base_src="$base_root/src"
base_build="$base_root/build"
warmup="${KELO_BENCH_WARMUP:-2}"
duration="${KELO_BENCH_DURATION:-4}"
connections="${KELO_BENCH_CONNECTIONS:-1,8,32}"
client="$bench_client_dir/load_client"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  base_commit="$(git rev-parse --verify "$base_ref^{commit}")"
  # The base sources in a worktree of their own, with this tree's third-party sources.
  if [[ ! -d "$base_src" ]] || [[ "$(git -C "$base_src" rev-parse HEAD 2>/dev/null)" != "$base_commit" ]]; then
    git worktree remove --force "$base_src" 2>/dev/null || rm -rf "$base_src"
    git worktree prune
    mkdir -p "$base_root"
    git worktree add --detach "$base_src" "$base_commit" >/dev/null
  fi
  ln -sfn "$repo/deps" "$base_src/deps"
  if [[ ! -f "$base_build/build.ninja" ]]; then
    flock -o "$bench_lock" cmake -S "$base_src" -B "$base_build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$KELO_WIN_PRESET.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  flock -o "$bench_lock" cmake --build "$base_build" --target KeloPrintService fixed_json_server
  bench_build_mingw fixed_json_server KeloPrintService queue_defaults
  bench_build_client
  export KELO_BENCH_BASE_COMMIT="$base_commit"
  KELO_BENCH_STARTED="$(date +%s)" exec flock -o "$bench_lock" bash "$repo/bench/run_before_after_bench.sh" --measure
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

refuse_busy_ports 6780 6781 6782

print_build_and_machine "$(bench_native_build_line), native" \
  "client and servers share these cores; the client runs natively, the servers under Wine"
echo "before: $KELO_BENCH_BASE_COMMIT ($(git -C "$repo" log -1 --format=%s "$KELO_BENCH_BASE_COMMIT" | cut -c1-80))"
echo "after:  work tree at $(git -C "$repo" rev-parse --short HEAD)$(git -C "$repo" diff --quiet HEAD -- . ':!build' || echo ' with changes')"

# Ratio lines of the client compare its first target with its second: after/before.
echo "== the server alone: fixed_json_server, before on 6781, after on 6782, measured in turn per row"
wine "$base_build/bench/fixed_json_server.exe" 6781 >"$work/fixed-before.log" 2>&1 &
pids+=($!)
wait_ready 6781 $! fixed-before
wine "$bench_mingw_dir/bench/fixed_json_server.exe" 6782 >"$work/fixed-after.log" 2>&1 &
pids+=($!)
wait_ready 6782 $! fixed-after
"$client" --warmup "$warmup" --duration "$duration" --connections "$connections" after=6782 before=6781
stop_servers

# The tray program's port is fixed, so the two builds take turns on it, twice,
# in the order before, after, after, before, so that drift over the run cancels.
echo "== the tray program (spooler behind every answer), 6780, in turns: before, after, after, before"
for turn in before after after before; do
  exe="$bench_mingw_dir/print_service/KeloPrintService.exe"
  [[ "$turn" == before ]] && exe="$base_build/print_service/KeloPrintService.exe"
  wine "$exe" >"$work/real-$turn.log" 2>&1 &
  pids+=($!)
  wait_ready 6780 $! "real-$turn"
  "$client" --warmup "$warmup" --duration "$duration" --connections "$connections" "$turn=6780" |
    tee -a "$work/real-rows.txt"
  stop_servers
done

echo "== the tray program, both turns of each build together: after/before"
awk '
  $1 ~ /^[0-9]+$/ && ($2 == "before" || $2 == "after") {
    n[$2, $1]++; rps[$2, $1] += $3
    if ($5 > p99[$2, $1]) p99[$2, $1] = $5
    levels[$1] = 1
  }
  END {
    printf "%5s %14s %14s %10s %16s %16s\n", "conns", "before req/s", "after req/s", "ratio", "before p99 ms", "after p99 ms"
    for (c in levels) {
      b = rps["before", c] / n["before", c]; a = rps["after", c] / n["after", c]
      printf "%5d %14.1f %14.1f %9.3fx %16.3f %16.3f\n", c, b, a, a / b, p99["before", c], p99["after", c]
    }
  }' "$work/real-rows.txt" | sort -n
echo "(req/s: mean of the two turns; p99: the worse of the two turns)"
clean_up
trap - EXIT
echo "servers stopped; total time $(($(date +%s) - ${KELO_BENCH_STARTED:-$(date +%s)})) s from the end of the build"
