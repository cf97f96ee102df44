#!/usr/bin/env bash
# Fetches the decoding benchmark's real pictures from Debian packages and
# converts them to PNG files of the sizes the benchmark expects:
#
#   photo.png         24-bit photograph, 1920x1080
#   illustration.png  8-bit palette illustration, 1024x768
#   drawing.png       24-bit screenshot-like drawing, 1366x768 (rows need pad)
#
# The noise picture is made by the benchmark itself. Nothing is committed:
# the files go to $TZF_BENCH_PICTURES (default ~/.cache/tzf-bench), or to the
# folder given as the first argument. Needs apt-get, dpkg-deb and convert.
set -euo pipefail

out=${1:-${TZF_BENCH_PICTURES:-${XDG_CACHE_HOME:-$HOME/.cache}/tzf-bench}}
mkdir -p "$out"
if [ -s "$out/photo.png" ] && [ -s "$out/illustration.png" ] && [ -s "$out/drawing.png" ]; then
  echo "pictures already in $out"
  exit 0
fi

for tool in apt-get dpkg-deb convert; do
  command -v "$tool" >/dev/null 2>&1 || { echo "error: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A photograph and flat artwork from wallpaper packages; desktop-base for a
# smooth illustration.
apt-get download desktop-base lomiri-wallpapers-20.04 >/dev/null 2>&1 || {
  echo "apt-get download failed; running apt-get update once and retrying" >&2
  apt-get update -qq
  apt-get download desktop-base lomiri-wallpapers-20.04 >/dev/null
}
for deb in ./*.deb; do dpkg-deb -x "$deb" tree; done

photo=tree/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg
flat=tree/usr/share/backgrounds/Painting-Colors_by__herobrine7gamer.jpg
art=tree/usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png
for f in "$photo" "$flat" "$art"; do
  [ -s "$f" ] || { echo "error: $f is not in the packages any more" >&2; exit 1; }
done

convert "$photo" -resize 1920x1080^ -gravity center -extent 1920x1080 -strip \
  PNG24:"$out/photo.png"
# Smooth artwork reduced to 256 colours without dithering, as drawn artwork is.
convert "$art" -resize 1024x768^ -gravity center -extent 1024x768 +dither -colors 256 -strip \
  PNG8:"$out/illustration.png"
# Flat colour bands with a window, bars and a grid of tiles drawn over them:
# long flat areas and repeated shapes, like a screenshot.
convert "$flat" -resize 1366x768^ -gravity center -extent 1366x768 -filter point \
  -fill '#f4f4f4' -draw 'rectangle 180,90 1180,660' \
  -fill '#2d5f9a' -draw 'rectangle 180,90 1180,122' \
  -fill '#dcdcdc' -draw 'rectangle 180,122 1180,150' \
  -fill '#c0c0c0' -draw 'rectangle 0,740 1366,768' \
  -fill '#ffffff' -stroke '#8a8a8a' \
  -draw 'rectangle 220,180 420,300' -draw 'rectangle 460,180 660,300' \
  -draw 'rectangle 700,180 900,300' -draw 'rectangle 940,180 1140,300' \
  -draw 'rectangle 220,340 420,460' -draw 'rectangle 460,340 660,460' \
  -draw 'rectangle 700,340 900,460' -draw 'rectangle 940,340 1140,460' \
  -stroke none -fill '#3a3a3a' \
  -draw 'rectangle 230,500 1130,506' -draw 'rectangle 230,520 980,526' \
  -draw 'rectangle 230,540 1060,546' -draw 'rectangle 230,560 900,566' \
  -strip PNG24:"$out/drawing.png"

echo "pictures written to $out"
