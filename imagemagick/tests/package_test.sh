#!/usr/bin/env bash
# Uses the installed imagemagick-6-tzf-coder package as users do: ImageMagick's
# own convert and identify, with nothing but the packages' files.
# Usage: package_test.sh SAMPLE.tzf
set -euo pipefail
sample=${1:-samples/sample.tzf}
convert=/usr/bin/convert-im6.q16
identify=/usr/bin/identify-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MAGICK_CODER_MODULE_PATH MAGICK_CONFIGURE_PATH MAGICK_HOME

"$identify" -list format | grep -q '^ *TZF\* *TZF *rw-' ||
  { echo "FAIL: TZF is not in identify -list format" >&2; exit 1; }
echo "ok: identify -list format lists TZF (read and write)"

info=$("$identify" "$sample")
case $info in
  *" TZF "*) echo "ok: identify reads the sample: $info" ;;
  *) echo "FAIL: identify gave: $info" >&2; exit 1 ;;
esac

# By content, whatever the name.
cp "$sample" "$work/picture.bin"
[ "$("$identify" -format %m "$work/picture.bin")" = TZF ] ||
  { echo "FAIL: a TZF file named picture.bin is not read as TZF" >&2; exit 1; }
echo "ok: a TZF file named picture.bin is read as TZF"

"$convert" "$sample" "$work/sample.ppm"
"$convert" "$work/sample.ppm" "$work/again.tzf"
"$convert" "$work/again.tzf" "$work/again.ppm"
cmp -s "$work/sample.ppm" "$work/again.ppm" ||
  { echo "FAIL: written and read back, the sample's pixels changed" >&2; exit 1; }
echo "ok: convert writes the sample as TZF and reads it back unchanged"

"$convert" tzf:- png:- <"$sample" >"$work/piped.png"
[ "$("$identify" -format %m "$work/piped.png")" = PNG ] ||
  { echo "FAIL: convert tzf:- png:- gave no PNG" >&2; exit 1; }
echo "ok: convert tzf:- png:- reads a pipe"
