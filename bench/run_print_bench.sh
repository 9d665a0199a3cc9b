#!/usr/bin/env bash
# Builds and runs the PrintImage benchmark: noise PNGs of four sizes through the real tray program (to the job file in CUPS) and through the handler-only server, with peak memory per size.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo/bench/bench_common.sh"
mingw_dir="$bench_mingw_dir"
real_exe="$mingw_dir/print_service/KeloPrintService.exe"
handler_exe="$mingw_dir/bench/print_handler_server.exe"
client="$repo/bench/print_bench_client.py"
real_port=6780  # fixed in the program
handler_port="${KELO_BENCH_HANDLER_PORT:-6782}"
repeats="${KELO_PRINT_BENCH_REPEATS:-5}"
# Edges in pixels of square RGB noise PNGs: about 50 KB, 1 MB, 10 MB and 40 MB of file
# (3 bytes a pixel, as noise does not compress). 3650 px at 300 dpi is 309 mm of paper
# and a 53 MB 32-bit DIB, both within what the program accepts.
edges="${KELO_PRINT_BENCH_EDGES:-130 580 1830 3650}"
# Another queue only with a harness of its own (KELO_QUEUES names the harness's queues).
queue="${KELO_PRINT_BENCH_QUEUE:-KeloTest300}"

if [[ "${1:-}" != --measure ]]; then
  cd "$repo"
  bench_build_mingw print_handler_server KeloPrintService queue_defaults
  bench_measure_under_lock "$repo/bench/run_print_bench.sh"
fi

bench_use_environment
job_dir="$KELO_JOB_DIR/$queue"

# What the run leaves behind is whatever is new in these places at the end: stored
# images beside both programs and in Wine's temporary folders, and the queue's jobs.
stored_images() {
  compgen -G "$(dirname "$real_exe")/tempKL_*.JPG" || true
  compgen -G "$(dirname "$handler_exe")/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/users/*/Temp/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/users/*/AppData/Local/Temp/tempKL_*.JPG" || true
  compgen -G "$WINEPREFIX/drive_c/windows/temp/tempKL_*.JPG" || true
  compgen -G "$job_dir/job-*" || true
}

work="$(mktemp -d)"
stored_images | sort >"$work/before.txt"
clean_up() {
  stop_servers
  if [[ -f "$work/before.txt" ]]; then
    stored_images | sort | comm -13 "$work/before.txt" - | while read -r path; do rm -f -- "$path"; done
  fi
  rm -rf "$work"
  bench_release_environment
}
trap clean_up EXIT
trap 'exit 130' INT TERM

# Peak resident set and peak virtual size of a process, in MiB.
peaks() {  # pid
  awk '/^VmHWM:/ {hwm = $2} /^VmPeak:/ {peak = $2} END {printf "%.0f %.0f", hwm / 1024, peak / 1024}' \
    "/proc/$1/status"
}

refuse_busy_ports "$real_port" "$handler_port"

# Noise from /dev/urandom, so that no size comes out smaller for being compressible;
# zlib level 1 (-quality 10) because harder compression gains nothing on noise.
for edge in $edges; do
  head -c $((edge * edge * 3)) /dev/urandom |
    convert -size "${edge}x${edge}" -depth 8 rgb:- -quality 10 "PNG24:$work/noise_$edge.png"
done
warmup_png="$work/noise_$(set -- $edges; echo "$1").png"

print_build_and_machine "$(python3 --version) (http.client), native" \
  "client, both servers, CUPS and its filters share these cores"

# One fresh pair of servers per size, so each peak belongs to one size: the first
# image is printed once on both as a warm-up (not timed), then the size $repeats times,
# alternating between the servers.
rows=()
samples=()
idle=""
for edge in $edges; do
  wine "$real_exe" >"$work/real.log" 2>&1 &
  pids+=($!)
  real_pid=$!
  wine "$handler_exe" "$handler_port" >"$work/handler.log" 2>&1 &
  pids+=($!)
  handler_pid=$!
  wait_ready "$real_port" "$real_pid" real
  wait_ready "$handler_port" "$handler_pid" handler
  log_at_start="$(stat -c %s "$work/real.log")"
  [[ -n "$idle" ]] || idle="real $(peaks "$real_pid" | cut -d' ' -f1) MiB, handler $(peaks "$handler_pid" | cut -d' ' -f1) MiB"

  out="$(python3 "$client" --real-port "$real_port" --handler-port "$handler_port" --queue "$queue" \
    --job-dir "$job_dir" --repeats "$repeats" --warmup "$warmup_png" "$work/noise_$edge.png")"
  for pid in "$real_pid" "$handler_pid"; do
    kill -0 "$pid" 2>/dev/null || { echo "a server ended during the run (pid $pid)" >&2; exit 1; }
  done
  # The real program logs every print; no line means another server took the requests.
  if (($(stat -c %s "$work/real.log") <= log_at_start)); then
    echo "KeloPrintService wrote no diagnostic lines; did it serve the requests?" >&2
    exit 1
  fi
  png_bytes="$(stat -c %s "$work/noise_$edge.png")"
  rows+=("${edge}x${edge} $png_bytes $(head -1 <<<"$out") $(peaks "$real_pid") $(peaks "$handler_pid")")
  samples+=("${edge}x${edge}: $(tail -1 <<<"$out")")
  stop_servers
done

echo "== PrintImage on $queue, median of $repeats (ms from sending the request)"
echo "total: to the job file in CUPS (real program); answer: to its HTTP answer;"
echo "handler: to the answer of print_handler_server (receive, decode, store; no printing)"
echo "peak: VmHWM / VmPeak in MiB of each fresh Wine process after that size"
printf '%-10s %10s %10s %9s %9s %9s %7s %10s %15s %15s\n' image png_bytes url_bytes total answer handler \
  hnd/tot job_bytes real_peak handler_peak
for row in "${rows[@]}"; do
  read -r size png url total ans hnd ratio job rhwm rpeak hhwm hpeak <<<"$row"
  printf '%-10s %10s %10s %9s %9s %9s %7s %10s %15s %15s\n' "$size" "$png" "$url" "$total" "$ans" "$hnd" \
    "$ratio" "$job" "$rhwm / $rpeak" "$hhwm / $hpeak"
done
echo "idle peak after start: $idle"
echo "== single samples (ms)"
printf '%s\n' "${samples[@]}"

clean_up
trap - EXIT
echo "servers stopped, stored images and jobs of this run deleted; total time" \
  "$(($(date +%s) - ${KELO_BENCH_STARTED:-$(date +%s)})) s from the end of the build"
