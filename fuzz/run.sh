#!/usr/bin/env bash
# Builds the fuzz targets and runs each for the given seconds (default 60).
#   fuzz/run.sh [seconds] [target...]
# KINOVAR_FUZZ_JOBS (default 1, at most 2 here) targets run side by side.
# Corpora grow in build/fuzz/corpus; crashing inputs land in
# build/fuzz/findings/<target>/ and should be kept in fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
# Every fuzz/<name>_fuzz.cpp is a target.
all=()
for source in fuzz/*_fuzz.cpp; do
  name=${source#fuzz/}
  all+=("${name%_fuzz.cpp}")
done
targets=("${@:-${all[@]}}")
jobs=${KINOVAR_FUZZ_JOBS:-1}
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DKINOVAR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 >/dev/null
rm -rf "$build/seeds"
"$build/fuzz/make_seeds" "$build/seeds"

max_len() {
  case $1 in
    parser | sync) echo 8192 ;;
    settings_block) echo 600 ;;
    write_config | base64) echo 2048 ;;
    utf8) echo 256 ;;
    *) echo 4096 ;;
  esac
}

run_one() {
  local t=$1 exe="$build/fuzz/fuzz_$1"
  local corpus="$build/corpus/$t" findings="$build/findings/$t" log="$build/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$build/logs"
  local extra=()
  # The synchronisation's diagnostic lines would drown the fuzzer's output.
  [ "$t" = sync ] && extra+=(-close_fd_mask=2)
  # Kept crashers replay first; a fixed one passes silently.
  if [ -d "fuzz/regressions/$t" ] && [ -n "$(ls -A "fuzz/regressions/$t")" ]; then
    if ! "$exe" "${extra[@]}" -runs=1 fuzz/regressions/"$t"/* >"$build/logs/$t.replay.log" 2>&1; then
      echo "$t: a kept regression input still fails (see $build/logs/$t.replay.log)"
    fi
  fi
  nice "$exe" "${extra[@]}" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$build/seeds/$t" >"$log" 2>&1 || true
  local stats execs cov ft found
  stats=$(grep -E '^#[0-9]+' "$log" | tail -1)
  execs=$(grep -m1 stat::number_of_executed_units "$log" | awk '{print $2}')
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$stats")
  found=$(find "$findings" -type f | wc -l)
  printf '%-15s executions %-10s coverage %-6s features %-6s findings %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$found"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
if find "$build/findings" -type f | grep -q .; then
  echo "findings:"
  find "$build/findings" -type f
  exit 1
fi
