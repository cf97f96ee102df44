#!/usr/bin/env bash
# Builds the release into dist/: the Debian packages (CPack, one per install
# component: libtzf0, libtzf-dev, tzf-tools and the integrations present), and
# for Windows the zip tzf-filter-<version>-windows.zip and the setup
# tzf-filter-<version>-setup.exe (a 32-bit program, for 32- and 64-bit
# Windows). The zip holds README.txt, LICENSE.txt and two folders, x86\ and
# x64\, each with tzfconv.exe, tzfenc.exe, tzffilter.dll and tzfwic.dll of
# that kind. Release builds from scratch in build-package/, which also gets
# the same setup as a 64-bit program, setup-amd64.exe (not shipped: for
# testing where only 64-bit programs run).
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

# Both Windows builds: the tools, the viewer filter (tzfconv loads it from its
# own folder) and the picture codec, all linked statically, stripped.
name=tzf-filter-$version-windows
stage=$out/zip/$name
for kind in x86:win32:i686 x64:win64:x86_64; do
  IFS=: read -r folder build triple <<<"$kind"
  echo "--- Windows $folder"
  cmake -S . -B "$out/$build" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTZF_BUILD_TESTS=OFF >"$out/$build-configure.log"
  cmake --build "$out/$build" -j"$jobs" --target tzffilter tzfconv tzfenc tzfwic \
    >"$out/$build-build.log" 2>&1 || {
    tail -30 "$out/$build-build.log" >&2
    exit 1
  }
  mkdir -p "$stage/$folder"
  for f in tzffilter.dll tzfconv.exe tzfenc.exe tzfwic.dll; do
    "$triple-w64-mingw32-strip" -o "$stage/$folder/$f" "$out/$build/bin/$f"
  done
done
# Text files with Windows line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/windows/README.txt >"$stage/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
stamp=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$stamp" "$stage"/* "$stage"/*/*
echo "--- Windows zip"
(cd "$stage" && zip -q -X -9 -D "$dist/$name.zip" README.txt LICENSE.txt x86/* x64/*)

echo "--- Windows setup"
for target in x86 amd64; do
  if [ "$target" = x86 ]; then
    setup=$dist/tzf-filter-$version-setup.exe
    define=()
  else
    setup=$out/tzf-filter-$version-setup-amd64.exe
    define=(-DTARGET_AMD64)
  fi
  makensis -V2 -NOCD "${define[@]}" -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup" \
    packaging/windows/installer.nsi >"$out/setup-$target.log" 2>&1 || {
    tail -30 "$out/setup-$target.log" >&2
    exit 1
  }
done

echo "--- dist/"
(cd "$dist" && ls -l)
