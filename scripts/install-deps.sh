#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Installs as root, through sudo when not run as root; does nothing when
# everything is already there.
#   install-deps.sh build   what the native library and tools need
#   install-deps.sh all     also the test, sanitizer, benchmark and Windows legs
set -euo pipefail

packages=(cmake make g++ libpng-dev zlib1g-dev libstb-dev)
if [ "${1:-all}" = all ]; then
  packages+=(clang libclang-rt-14-dev llvm googletest libgtest-dev libbenchmark-dev liblz4-dev
             pkg-config g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
             imagemagick)
  packages+=(python3-pil)
  packages+=(libstb-dev lintian zip unzip dpkg-dev file libgdk-pixbuf2.0-bin)
  packages+=(emscripten node-acorn chromium)
  packages+=(libgdk-pixbuf-2.0-dev gir1.2-gdkpixbuf-2.0 python3-gi shared-mime-info eog xvfb dbus
             x11-utils)
  packages+=(qt6-base-dev qtbase5-dev)
  packages+=(abigail-tools)
  packages+=(pngquant webp)
  packages+=(nsis)
  packages+=(libmagickcore-6.q16-dev libvips-dev libvips-tools gir1.2-vips-8.0 libgimp2.0-dev gimp)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "error: packages are missing and installing them needs root (or sudo): ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
"${as_root[@]}" dpkg --add-architecture i386
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  >/tmp/tzf-apt.log 2>&1 || {
  tail -20 /tmp/tzf-apt.log >&2
  echo "error: apt-get install failed" >&2
  exit 1
}
