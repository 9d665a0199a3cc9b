#!/usr/bin/env bash
# Builds the Linux agent's Release preset and runs decode_isolation_bench on a
# 50 KB label (square noise PNG, 130 px) and a 1 MB one (580 px).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$repo/build/linux-release"
cd "$repo"
[[ -f "$build/build.ninja" ]] || cmake --preset linux-release >/dev/null
cmake --build "$build" --target decode_isolation_bench kelo-image-decoder >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for edge in ${KELO_DECODE_BENCH_EDGES:-130 580}; do
  head -c $((edge * edge * 3)) /dev/urandom |
    convert -size "${edge}x${edge}" -depth 8 rgb:- -quality 10 "PNG24:$work/noise_$edge.png"
  "$build/bench/decode_isolation_bench" "$work/noise_$edge.png" "${KELO_DECODE_BENCH_ROUNDS:-200}"
done
