#!/usr/bin/env bash
# Builds the release into dist/: the Debian packages (CPack, one per install
# component: libtzf0, libtzf-dev, tzf-tools and the integrations present) and
# the Windows zip tzf-filter-<version>-win32.zip (tzffilter.dll, tzfconv.exe,
# tzfenc.exe, README.txt, LICENSE.txt). Release builds from scratch in
# build-package/.
set -euo pipefail
# Files the build writes go into the packages with these permissions.
umask 022
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-package
dist=$root/dist
jobs=${TZF_PACKAGE_JOBS:-2}

version=$(sed -n 's/^project(tzf_filter VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "error: no project version in CMakeLists.txt" >&2
  exit 1
fi
rm -rf "$out" "$dist"
mkdir -p "$out" "$dist"

echo "--- Debian packages, version $version"
# Debian's hardening flags, as its own packages are built with.
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
cmake -S . -B "$out/linux" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTZF_BUILD_TESTS=OFF -Wno-dev >"$out/linux-configure.log"
cmake --build "$out/linux" -j"$jobs" >"$out/linux-build.log" 2>&1 || {
  tail -30 "$out/linux-build.log" >&2
  exit 1
}
(cd "$out/linux" && cpack -G DEB >"$out/cpack.log" 2>&1) || {
  tail -30 "$out/cpack.log" >&2
  exit 1
}
cp "$out"/linux/*.deb "$dist/"
unset CFLAGS CXXFLAGS LDFLAGS

echo "--- Windows zip"
cmake -S . -B "$out/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTZF_BUILD_TESTS=OFF >"$out/win32-configure.log"
cmake --build "$out/win32" -j"$jobs" --target tzffilter tzfconv tzfenc >"$out/win32-build.log" 2>&1 || {
  tail -30 "$out/win32-build.log" >&2
  exit 1
}
name=tzf-filter-$version-win32
stage=$out/zip/$name
mkdir -p "$stage"
for f in tzffilter.dll tzfconv.exe tzfenc.exe; do
  i686-w64-mingw32-strip -o "$stage/$f" "$out/win32/bin/$f"
done
# Text files with Windows line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/windows/README.txt >"$stage/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
touch -d "@${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}" "$stage"/*
(cd "$stage" && zip -q -X -9 "$dist/$name.zip" tzffilter.dll tzfconv.exe tzfenc.exe README.txt \
  LICENSE.txt)

echo "--- dist/"
(cd "$dist" && ls -l)
