#!/usr/bin/env bash
# Builds and runs the native agent next to the Wine build, in one run: GetPrinters at
# 1, 8 and 32 connections (our load client) and three wrk runs at 32, PrintImage to the job file for a 50 KB and a 1 MB image,
# idle and peak memory, with native/Wine ratios.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"
native_dir="$repo/build/linux-release"
native_exe="$native_dir/linux_agent/kelo-print-agent"
wine_exe="$bench_mingw_dir/print_service/KeloPrintService.exe"
client="$bench_client_dir/load_client"
# Square noise PNGs: 130 px is about 50 KB of file, 580 px about 1 MB (3 bytes a
# pixel, as noise does not compress).
edges="${KELO_NVW_BENCH_EDGES:-130 580}"
queue="${KELO_PRINT_BENCH_QUEUE:-KeloTest300}"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  bench_build_mingw KeloPrintService queue_defaults
  if [[ ! -f "$native_dir/build.ninja" ]]; then
    flock -o "$bench_lock" cmake --preset linux-release >/dev/null
  fi
  flock -o "$bench_lock" cmake --build "$native_dir" --target kelo-print-agent
  bench_build_client load_client
  bench_measure_under_lock "$repo/bench/run_native_vs_wine_bench.sh"
fi

bench_use_environment
job_dir="$KELO_JOB_DIR/$queue"

# What the run leaves behind is whatever is new in these places at the end: the Wine
# build's stored images (beside it and in Wine's temporary folders) and the jobs.
# The native agent stores its images under the scratch folder's XDG_RUNTIME_DIR.
stored_files() {
  compgen -G "$(dirname "$wine_exe")/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/users/*/Temp/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/users/*/AppData/Local/Temp/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/windows/temp/tempKL_*.JPG" || true
  compgen -G "$job_dir/job-*" || true
}
work="$(mktemp -d)"
stored_files | sort >"$work/before.txt"
clean_up() {
  if [[ -f "$work/before.txt" ]]; then
    stored_files | sort | comm -13 "$work/before.txt" - | while read -r path; do rm -f -- "$path"; done
  fi
  rm -rf "$work"
  bench_release_environment
}
trap clean_up EXIT
trap 'exit 130' INT TERM

refuse_busy_ports 6780

pngs=()
for edge in $edges; do
  head -c $((edge * edge * 3)) /dev/urandom |
    convert -size "${edge}x${edge}" -depth 8 rgb:- -quality 10 "PNG24:$work/noise_$edge.png"
  pngs+=("$work/noise_$edge.png")
done

native_type="$(bench_cache_value "$native_dir" CMAKE_BUILD_TYPE)"
echo "== build"
echo "native:    kelo-print-agent, $("$(bench_compiler_of "$native_dir")" --version | head -1), $native_type" \
  "($(bench_cache_value "$native_dir" "CMAKE_CXX_FLAGS_${native_type^^}")), $(stat -c %s "$native_exe") bytes unstripped"
echo "wine:      KeloPrintService.exe, $(bench_windows_build_line); $(wine --version)"
echo "client:    load_client $(bench_native_build_line); $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2) (Debian $(dpkg-query -W -f='${Version}' wrk));" \
  "$(python3 --version) (http.client) for the prints"
echo "sources:   $(git -C "$repo" rev-parse --short HEAD)$(git -C "$repo" diff --quiet HEAD -- . ':!build' || echo ' with changes');" \
  "cpp-httplib $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$repo/deps/cpp-httplib/httplib.h");" \
  "CUPS $(dpkg-query -W -f='${Version}' cups-daemon), cairo $(dpkg-query -W -f='${Version}' libcairo2)"
echo "== machine"
bench_machine_line
echo "(the client, the program measured, cupsd and its filters share these cores; one program runs at a time)"

python3 "$repo/bench/native_vs_wine_bench.py" --native "$native_exe" --wine-exe "$wine_exe" --load-client "$client" \
  --queue "$queue" --job-dir "$job_dir" --work "$work" \
  --turns "${KELO_NVW_BENCH_TURNS:-native wine wine native}" \
  --warmup "${KELO_BENCH_WARMUP:-2}" --duration "${KELO_BENCH_DURATION:-4}" \
  --connections "${KELO_BENCH_CONNECTIONS:-1,8,32}" --repeats "${KELO_PRINT_BENCH_REPEATS:-5}" \
  --idle "${KELO_BENCH_IDLE:-5}" --wrk-runs "${KELO_NVW_BENCH_WRK_RUNS:-3}" "${pngs[@]}"

clean_up
trap - EXIT
echo "programs stopped, stored images and jobs of this run deleted; total time" \
  "$(($(date +%s) - ${KELO_BENCH_STARTED:-$(date +%s)})) s from the end of the build"
