#!/bin/sh
# Installs the build into a scratch prefix, then builds and runs the C99
# test program against the installed library twice: with the flags
# pkg-config gives, and from a CMake project that finds the package.
# Usage: check_install.sh BUILD_DIR TESTS_DIR C_COMPILER
set -eu
build=$1
tests=$2
cc=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" --component lib >/dev/null
cmake --install "$build" --prefix "$prefix" --component dev >/dev/null

libdir=$(find "$prefix" -name tzf.pc -printf '%h\n' | head -1)
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$tests/c99/c99_test.c" -o "$prefix/with-pkg-config" \
  $(pkg-config --cflags --libs tzf)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir tzf)" "$prefix/with-pkg-config"

mkdir -p "$prefix/project"
cat >"$prefix/project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(uses_tzf C CXX)
find_package(tzf 1 REQUIRED)
add_executable(with-cmake "$tests/c99/c99_test.c")
target_link_libraries(with-cmake PRIVATE tzf::tzf)
add_executable(with-cmake-static "$tests/c99/c99_test.c")
target_link_libraries(with-cmake-static PRIVATE tzf::tzf_static)
set_target_properties(with-cmake-static PROPERTIES LINKER_LANGUAGE CXX)
CMAKE
cmake -S "$prefix/project" -B "$prefix/project/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$prefix/project/build" >/dev/null
"$prefix/project/build/with-cmake"
"$prefix/project/build/with-cmake-static"
echo "installed library: pkg-config and find_package(tzf) both work"
