#!/bin/bash
# Sets up everything and runs all tests: the JavaScript client (node tests,
# declarations, package), the portable code natively under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, a minute
# of fuzzing per target, then the native agent kelo-print-agent and its package,
# the Windows programs, and in one test harness (cupsd and its queues, Wine) the
# native agent's CUPS, system and package tests and the Windows programs' tests
# under Wine (unit, adapter and system tests).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
WERROR=OFF
[ -n "${CI:-}" ] && WERROR=ON

bash scripts/setup.sh

echo "== JavaScript client (node tests, TypeScript declarations, npm pack)"
version=$(sed -n 's/^project(Kelo VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
(cd clients/js && node --test test/ && ./node_modules/.bin/tsc -p types-test)
mkdir -p build/package
rm -f build/package/kelo-label-agent-*.tgz
(cd clients/js && npm pack --pack-destination ../../build/package --loglevel=error >/dev/null)
test -f "build/package/kelo-label-agent-$version.tgz" || { echo "no build/package/kelo-label-agent-$version.tgz" >&2; exit 1; }
echo "build/package/kelo-label-agent-$version.tgz"

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

echo "== native agent (Release) and its package"
cmake --preset linux-release -DKELO_WERROR=$WERROR >/dev/null
cmake --build --preset linux-release

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

echo "== test harness (cupsd, queues, Wine prefix)"
export KELO_TEST_RUN="$ROOT/build/test-run"
trap 'bash "$ROOT/tests/harness/harness.sh" teardown' EXIT
bash tests/harness/harness.sh prepare
# shellcheck disable=SC1091
. "$KELO_TEST_RUN/env.sh"

echo "== native agent on CUPS (adapter, system and package tests)"
ctest --preset linux-release

echo "== tests under Wine"
ctest --preset "$KELO_WIN_PRESET"
echo "artifacts (screenshots): $KELO_ARTIFACTS"
