#!/usr/bin/env bash
# Runs every test: the native suite and the ABI check, the same suite
# cross-built for Win32 (run under Wine where the machine runs 32-bit
# programs, otherwise only built and its DLL tables checked) and for Win64
# (run under wine64), the packages, the suite again under AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer, the web page and the fuzz
# targets. Builds everything from scratch in build-test/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-test
jobs=$(nproc)

bash scripts/install-deps.sh
if ! command -v wine >/dev/null 2>&1; then
  echo "error: wine is not installed; the Windows leg cannot run" >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out"
images=$root/build-images
bash scripts/fetch-test-images.sh "$images"
common=(-DTZF_TEST_IMAGES="$images")

step() { echo; echo "=== $* ==="; }

# Runs ctest and adds its test count to the total printed at the end.
passed=0
run_ctest() {
  ctest "$@" | tee "$out/ctest.log"
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$out/ctest.log")
  passed=$((passed + ${n:-0}))
}

step "native build and tests"
# The benchmarks are built (not run) so that they keep compiling.
cmake -S . -B "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTZF_BUILD_BENCH=ON \
  "${common[@]}" >/dev/null
cmake --build "$out/native" -j"$jobs"
run_ctest --test-dir "$out/native" -j"$jobs" --output-on-failure

step "libtzf's ABI against 1.0.0's"
bash scripts/check-abi.sh "$out/native"
passed=$((passed + 1))

step "Win32 build and tests under Wine"
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-tzf}
wineboot --init >/dev/null 2>&1 || true
# Built in any case, so that it keeps compiling; its tests run where the
# kernel runs 32-bit programs (some have no IA-32 emulation at all).
cmake -S . -B "$out/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${common[@]}" >/dev/null
cmake --build "$out/win32" -j"$jobs"
if why=$(bash scripts/can-run-win32.sh); then
  run_ctest --test-dir "$out/win32" --output-on-failure
else
  echo "Win32 tests not run: this machine cannot run 32-bit programs ($why)"
  # The checks that only read the built files run all the same.
  run_ctest --test-dir "$out/win32" --output-on-failure \
    -R '^(dll_export_table|decoder_builds_share_no_code|tzfwic_exports)$'
fi

step "Win64 build and tests under 64-bit Wine"
# The wine wrapper may pick the 32-bit loader: the 64-bit one is called directly.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineprefix64=$HOME/.wine-tzf64
WINEPREFIX=$wineprefix64 "$wine64" wineboot --init >/dev/null 2>&1 || true
# The benchmarks are built (not run) so that they keep compiling.
cmake -S . -B "$out/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTZF_BUILD_BENCH=ON "${common[@]}" >/dev/null
cmake --build "$out/win64" -j"$jobs"
WINEPREFIX=$wineprefix64 run_ctest --test-dir "$out/win64" --output-on-failure

step "packages: build, inspect, lintian, install, use, purge; the Windows zip and setup under Wine"
bash scripts/test-packages.sh | tee "$out/packages.log"
n=$(sed -n 's/^packages: \([0-9]*\) passed, 0 failed$/\1/p' "$out/packages.log")
passed=$((passed + ${n:-0}))

step "sanitizer build and tests (address, undefined, leak)"
CC=clang CXX=clang++ cmake -S . -B "$out/asan" -DCMAKE_BUILD_TYPE=Debug \
  -DTZF_SANITIZE=address,undefined "${common[@]}" >/dev/null
cmake --build "$out/asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 run_ctest --test-dir "$out/asan" -j"$jobs" --output-on-failure

step "ThreadSanitizer build (without the tools and integrations) and the threads test"
CC=clang CXX=clang++ cmake -S . -B "$out/tsan" -DCMAKE_BUILD_TYPE=Debug \
  -DTZF_SANITIZE=thread -DTZF_BUILD_TOOLS=OFF -DTZF_BUILD_GDK_PIXBUF=OFF -DTZF_BUILD_QT=OFF \
  -DTZF_BUILD_PYTHON=OFF "${common[@]}" >/dev/null
cmake --build "$out/tsan" -j"$jobs" --target tzf_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$out/tsan/bin/tzf_tests" \
  --gtest_filter='Threads.*'

step "web page: WebAssembly under Node and in headless Chromium"
bash web/tests/run.sh "$out/native" | tee "$out/web.log"
n=$(sed -n 's/^\([0-9]*\) passed, 0 failed$/\1/p' "$out/web.log")
passed=$((passed + ${n:-0}))

step "fuzz targets: committed regressions, then 60 s each on the committed corpus"
TZF_FUZZ_BUILD="$out/fuzz" TZF_FUZZ_JOBS="$jobs" bash scripts/fuzz.sh 60

echo
echo "all test legs passed"
echo "$passed passed, 0 failed"
