#!/bin/bash
# Builds the libFuzzer targets (preset linux-fuzz) and runs each for DURATION
# seconds (default 60), or only the targets named. New corpus entries go to
# build/linux-fuzz/corpus/<target>; the seeds in tests/fuzz/corpus are only read.
# Fails when any target finds a crash, a leak or a timeout; the input that did it
# is left in build/linux-fuzz/artifacts/<target>/.
#   usage: scripts/fuzz.sh [DURATION] [TARGET...]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
DURATION="${1:-60}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(base64_decode_fuzz api_handlers_fuzz settings_store_fuzz provisioning_fuzz image_decode_fuzz)
WERROR=OFF
[ -n "${CI:-}" ] && WERROR=ON
BUILD="$ROOT/build/linux-fuzz"

if ! command -v clang++-14 >/dev/null; then
  echo "clang++-14 is missing: apt-get install clang-14 libclang-rt-14-dev" >&2
  exit 1
fi

cmake --preset linux-fuzz -DKELO_WERROR=$WERROR >/dev/null
cmake --build --preset linux-fuzz

failed=()
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  artifacts="$BUILD/artifacts/$target"
  log="$BUILD/$target.log"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: ${DURATION}s"
  # A single input taking seconds is a finding too; the targets need microseconds.
  if "$BUILD/tests/fuzz/$target" -max_total_time="$DURATION" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || tail -n 3 "$log"
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | tr '\n' ' '
    echo
  else
    failed+=("$target")
    tail -n 60 "$log"
    echo "$target failed; log $log, inputs in $artifacts" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
