#!/usr/bin/env bash
# Builds the browser viewer into build-web/index.html: the codec compiled to a
# standalone WebAssembly module (no emscripten JavaScript runtime), embedded
# as base64 in one page with its scripts and styles.
#   TZF_WEB_BUILD=DIR  build folder (default build-web)
# Debian's emscripten comes with its system libraries built (a frozen cache
# under /usr/share/emscripten), so nothing is built beside the project's code.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${TZF_WEB_BUILD:-$PWD/build-web}
# emcc's JavaScript optimiser needs Debian's acorn.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
mkdir -p "$out"

# The codec's sources, without the decoder's second builds for x86.
sources=()
for file in codec/*.cpp; do
  [[ $file == codec/pixel_decoder_*.cpp ]] || sources+=("$file")
done

# TZF_DECODER_ONE_LOOP: the decoder's second loop, for pictures where most
# runs follow a run, made the module 26 KB larger and, in V8, other pictures
# up to 40% slower to decode.
# The page calls libtzf through web/tzf_web.cpp's functions (exported by
# their export_name attributes) and these.
exports=tzf_status_text,malloc,free
emcc -O3 -std=c++20 -Wall -Wextra -Wshadow -Werror -fno-exceptions -fno-rtti \
  -Iinclude -I. -DTZF_STATIC -DNDEBUG -DTZF_DECODER_ONE_LOOP \
  -sSTANDALONE_WASM=1 --no-entry -sMALLOC=emmalloc \
  -sALLOW_MEMORY_GROWTH=1 -sINITIAL_MEMORY=16MB -sMAXIMUM_MEMORY=2GB \
  -sEXPORTED_FUNCTIONS="$(sed 's/\([a-z_]*\)/_\1/g' <<<"$exports")" \
  --js-library web/wasm-imports.js -o "$out/tzf.wasm" "${sources[@]}" web/tzf_web.cpp
node web/inline.js "$out/tzf.wasm" "$out/index.html"
echo "wrote $out/index.html ($(stat -c %s "$out/index.html") bytes, module $(stat -c %s "$out/tzf.wasm") bytes)"
