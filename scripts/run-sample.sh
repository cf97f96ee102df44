#!/usr/bin/env bash
# Builds the filter and its tools, then converts the bundled sample picture
# to PNG through the filter's entry points, as a viewer would use them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTZF_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
mkdir -p out
build/bin/tzfconv --info samples/sample.tzf
build/bin/tzfconv samples/sample.tzf out/sample.png
echo "wrote $(pwd)/out/sample.png"
echo "the filter library is build/bin/libtzffilter.so; the Windows DLL is built by scripts/test.sh"
