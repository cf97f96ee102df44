#!/usr/bin/env bash
# Fetches the decoding benchmark's real pictures from Debian packages and
# converts them to PNG files. The file name starts with the picture's kind:
#
#   photo-*       24-bit photographs from two wallpaper packages, three sizes
#   palette-*     8-bit art from three games' data packages: two drawn with
#                 their own 256-colour palettes, one reduced to 256 colours
#                 with error diffusion (dithered)
#   screenshot-*  24-bit screenshots and diagrams from two manuals' packages
#                 (widths whose rows need 1 to 3 pad bytes in the DIB)
#
# The noise picture is made by the benchmark itself. Nothing is committed:
# the files go to $TZF_BENCH_PICTURES (default ~/.cache/tzf-bench), or to the
# folder given as the first argument. Needs apt-get, dpkg-deb and convert.
set -euo pipefail

out=${1:-${TZF_BENCH_PICTURES:-${XDG_CACHE_HOME:-$HOME/.cache}/tzf-bench}}
mkdir -p "$out"

# name, package, path inside the package, conversion
pictures=(
  "photo-kleiber|lomiri-wallpapers-20.04|usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg|photo 1920x1080"
  "photo-dragonfly|lomiri-wallpapers-16.04|usr/share/backgrounds/Dragonfly_by_Bolly.jpg|photo 1366x768"
  "photo-aitzgorri|lomiri-wallpapers-16.04|usr/share/backgrounds/aitzgorri_by_Aitzol_Berasategi.jpg|photo 2560x1440"
  "palette-lbreakout|lbreakout2-data|usr/share/games/lbreakout2/gfx/menuback.png|palette"
  "palette-ltris|ltris|usr/share/games/ltris/gfx/menuback.bmp|palette"
  "palette-pingus-dithered|pingus-data|usr/share/games/pingus/data/images/worldmaps/tutorial_layer0.jpg|dither 1024x768"
  "screenshot-kicad-pcb|kicad-doc-en|usr/share/doc/kicad/help/en/images/pcbnew_user_interface.png|flat"
  "screenshot-kicad-setup|kicad-doc-en|usr/share/doc/kicad/help/en/images/board_setup_constraints.png|flat"
  "screenshot-gnome-calendar|gnome-user-docs|usr/share/help/C/gnome-help/figures/shell-appts.png|flat"
  "screenshot-inkscape-diagram|inkscape-tutorials|usr/share/inkscape/tutorials/potrace.el.png|flat"
)

# The browser page's benchmark (web/bench/run.js) reads photo.png: the same
# 1920x1080 photograph.
keep_photo() { [ -s "$out/photo.png" ] || cp "$out/photo-kleiber.png" "$out/photo.png"; }

missing=()
for entry in "${pictures[@]}"; do
  IFS='|' read -r name _ _ _ <<<"$entry"
  [ -s "$out/$name.png" ] || missing+=("$entry")
done
if [ ${#missing[@]} -eq 0 ]; then
  keep_photo
  echo "pictures already in $out"
  exit 0
fi

for tool in apt-get dpkg-deb convert; do
  command -v "$tool" >/dev/null 2>&1 || { echo "error: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
packages=()
for entry in "${missing[@]}"; do
  IFS='|' read -r _ package _ _ <<<"$entry"
  [[ " ${packages[*]} " == *" $package "* ]] || packages+=("$package")
done
apt-get download "${packages[@]}" >/dev/null 2>&1 || {
  echo "apt-get download failed; running apt-get update once and retrying" >&2
  apt-get update -qq
  apt-get download "${packages[@]}" >/dev/null
}
for deb in ./*.deb; do dpkg-deb -x "$deb" tree; done

for entry in "${missing[@]}"; do
  IFS='|' read -r name package path how <<<"$entry"
  src=tree/$path
  [ -s "$src" ] || { echo "error: $path is not in $package any more" >&2; exit 1; }
  read -r kind size <<<"$how"
  case $kind in
    photo)  # cut to the size, as a wallpaper is shown
      convert "$src" -resize "$size^" -gravity center -extent "$size" -strip PNG24:"$out/$name.png" ;;
    palette)  # the game's own palette, kept
      convert "$src" -strip PNG8:"$out/$name.png" ;;
    dither)  # reduced to 256 colours with Floyd-Steinberg error diffusion
      convert "$src" -resize "$size^" -gravity center -extent "$size" -dither FloydSteinberg \
        -colors 256 -strip PNG8:"$out/$name.png" ;;
    flat)  # as the manual shows it, without transparency
      convert "$src" -background white -alpha remove -alpha off -strip PNG24:"$out/$name.png" ;;
  esac
  echo "$name: $(identify -format '%wx%h' "$out/$name.png") from $package"
done
keep_photo
echo "pictures written to $out"
