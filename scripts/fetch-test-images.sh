#!/usr/bin/env bash
# Fetches real pictures for the round-trip tests from Debian's archive: the
# PNG artwork of the desktop-base package (GPL; paletted, RGB and RGBA
# pictures of many widths). Nothing is installed; the package is unpacked
# into a scratch folder and its PNG files are copied to DIR.
# A few of them are also written as uncompressed 8-bit and 24-bit BMP files
# into DIR/bmp, for the tests that cannot read PNG (the Windows build).
# Usage: fetch-test-images.sh DIR
set -euo pipefail
dir=${1:?usage: fetch-test-images.sh DIR}
mkdir -p "$dir"
if ls "$dir"/bmp/*.bmp >/dev/null 2>&1; then
  exit 0
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && apt-get download desktop-base >/dev/null 2>&1) || {
  apt-get update -qq >/dev/null 2>&1 || true
  (cd "$scratch" && apt-get download desktop-base >/dev/null)
}
dpkg -x "$scratch"/desktop-base_*.deb "$scratch/x"
n=0
while IFS= read -r f; do
  name=$(echo "${f#"$scratch/x/usr/share/"}" | tr '/' '_')
  cp "$f" "$dir/$name"
  n=$((n + 1))
done < <(find "$scratch/x" -name '*.png' -size -3M | sort)
echo "fetched $n pictures from desktop-base into $dir"

mkdir -p "$dir/bmp"
for f in "$dir"/*logo-64.png "$dir"/*logo-128.png "$dir"/*logo-text-version-*.png \
         "$dir"/*emerald-theme_grub_grub-4x3.png "$dir"/*futureprototype-theme_grub_grub-4x3.png \
         "$dir"/*spacefun-theme_grub_grub-4x3.png; do
  stem=$(basename "$f" .png)
  convert "$f" -background black -alpha remove -alpha off -colors 256 -type Palette \
    -compress None "BMP3:$dir/bmp/$stem-8.bmp"
  convert "$f" -background black -alpha remove -alpha off -type TrueColor \
    -compress None "BMP3:$dir/bmp/$stem-24.bmp"
done
