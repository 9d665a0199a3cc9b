#!/bin/bash
# Sets up everything and runs all tests: the portable code natively under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, a minute of fuzzing per target, then the Windows programs and
# their tests under Wine (unit, adapter and system tests).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
WERROR=OFF
[ -n "${CI:-}" ] && WERROR=ON

bash scripts/setup.sh

echo "== native build and tests (ASan + UBSan)"
cmake --preset linux-asan -DKELO_WERROR=$WERROR >/dev/null
cmake --build --preset linux-asan
ctest --preset linux-asan

echo "== concurrency tests (ThreadSanitizer)"
cmake --preset linux-tsan -DKELO_WERROR=$WERROR >/dev/null
cmake --build --preset linux-tsan
ctest --preset linux-tsan

echo "== fuzzing (libFuzzer, 60 s per target)"
bash scripts/fuzz.sh 60

echo "== Windows build (MinGW-w64 i686)"
cmake --preset mingw-i686 -DKELO_WERROR=$WERROR >/dev/null
cmake --build --preset mingw-i686
# shellcheck disable=SC1091
. scripts/windows_flavor.sh
if [ "$KELO_WIN_PRESET" != mingw-i686 ]; then
  echo "== Windows build for the tests ($KELO_WIN_PRESET: $KELO_WIN_NOTE)"
  cmake --preset "$KELO_WIN_PRESET" -DKELO_WERROR=$WERROR >/dev/null
  cmake --build --preset "$KELO_WIN_PRESET"
fi

echo "== tests under Wine"
export KELO_TEST_RUN="$ROOT/build/test-run"
trap 'bash "$ROOT/tests/harness/harness.sh" teardown' EXIT
bash tests/harness/harness.sh prepare
# shellcheck disable=SC1091
. "$KELO_TEST_RUN/env.sh"
ctest --preset "$KELO_WIN_PRESET"
echo "artifacts (screenshots): $KELO_ARTIFACTS"
