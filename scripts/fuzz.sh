#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, assertions on: fuzz/CMakeLists.txt undoes the
# build type's NDEBUG) and runs each for a given time: first every committed
# regression once, then the fuzzer on the committed seed corpus, the
# regressions and a local corpus folder that receives what it finds (not
# committed). Prints executions and coverage per target.
#
#   scripts/fuzz.sh [seconds per target, default 1800] [target ...]
#
# Environment: TZF_FUZZ_BUILD build folder (default build-fuzz),
# TZF_FUZZ_CORPUS local corpus folder (default <build>/corpus),
# TZF_FUZZ_JOBS targets run at the same time (default 1).
# Inputs that fail land in <build>/artifacts/<target>/; minimise one with
#   <build>/bin/<target> -minimize_crash=1 -runs=10000 <file>
# and commit it under fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-1800}
shift || true
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=(fuzz_memory fuzz_file fuzz_codec fuzz_encode fuzz_imageio fuzz_roundtrip fuzz_gdk_pixbuf fuzz_qt
           fuzz_wic fuzz_magick fuzz_vips fuzz_gimp)
fi
build=${TZF_FUZZ_BUILD:-$root/build-fuzz}
work=${TZF_FUZZ_CORPUS:-$build/corpus}
jobs=${TZF_FUZZ_JOBS:-1}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTZF_BUILD_FUZZ=ON -DTZF_SANITIZE=address,undefined -DTZF_BUILD_TESTS=OFF \
  -DTZF_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# A picture needs 1088 bytes before its streams at 8 bits per pixel; the
# round-trip input repeats its pixel bytes, so it stays short.
max_len() { if [ "$1" = fuzz_roundtrip ] || [ "$1" = fuzz_encode ]; then echo 2048; else echo 8192; fi; }

# Runs one target; its output goes to <build>/<target>.log, its result to
# <build>/<target>.result.
run_target() {
  local t=$1
  local bin=$build/bin/$t log=$build/$t.log
  local limits=(-rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=25)
  mkdir -p "$work/$t" "$build/artifacts/$t"
  : >"$log"
  local regressions=()
  if [ -d "fuzz/regressions/$t" ]; then
    while IFS= read -r -d '' f; do regressions+=("$f"); done \
      < <(find "fuzz/regressions/$t" -type f ! -name '.*' ! -name '*.md' -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ] && ! "$bin" "${limits[@]}" "${regressions[@]}" >>"$log" 2>&1; then
    echo "regression failed" >"$build/$t.result"
    return
  fi
  # New inputs go to the first folder, the local one.
  local corpora=("$work/$t")
  for d in "fuzz/corpus/$t" "fuzz/regressions/$t"; do
    if [ -d "$d" ]; then corpora+=("$d"); fi
  done
  if "$bin" "${limits[@]}" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -dict=fuzz/tzf.dict -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "${corpora[@]}" >>"$log" 2>&1; then
    echo "passed" >"$build/$t.result"
  else
    echo "FAILED" >"$build/$t.result"
  fi
}

echo "fuzzing ${targets[*]} for ${seconds} s each, $jobs at a time (logs in $build)"
running=0
for t in "${targets[@]}"; do
  rm -f "$build/$t.result"
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '\n%-16s %12s %8s %8s %8s  %s\n' target executions cov ft corpus result
for t in "${targets[@]}"; do
  log=$build/$t.log
  result=$(cat "$build/$t.result" 2>/dev/null || echo "no result")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$last")
  printf '%-16s %12s %8s %8s %8s  %s\n' "$t" "${execs:--}" "${cov:--}" "${ft:--}" \
    "${corpus:--}" "$result"
  if [ "$result" != passed ]; then
    failed=1
    echo "--- $t: end of $log"
    tail -40 "$log"
  fi
done
exit "$failed"
