#!/usr/bin/env bash
# The installed gimp-tzf-plugin package through the system's GIMP in batch
# mode: GIMP finds the plug-in in its own plug-ins folder (a configuration
# folder of the test's own, with nothing added to its plug-in path). Opens
# samples/sample.tzf by name and by content, exports it as TZF and opens
# that again to the same pixels.
set -euo pipefail
cd "$(dirname "$0")/../.."
sample=$PWD/samples/sample.tzf
work=$(mktemp -d "${TZF_PACKAGE_WORK:-/tmp}/gimp-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/gimp2/gradients" "$work/gimp2/palettes" "$work/gimp2/brushes" \
  "$work/gimp2/patterns" "$work/gimp2/tool-presets" "$work/gimp2/dynamics"
cp "$sample" "$work/sample.bin"

# Opens $1, says its type, exports it as raw PPM to $2 and, when $3 is
# given, as TZF there by its extension.
open_export() {
  local save=""
  [ -n "${3:-}" ] && save="(gimp-file-save RUN-NONINTERACTIVE image drawable \"$3\" \"$3\")"
  echo "(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE \"$1\" \"$1\")))
               (drawable (car (gimp-image-get-active-drawable image))))
          (gimp-message (string-append \"TYPE $1 \"
                          (number->string (car (gimp-image-base-type image)))))
          (file-ppm-save RUN-NONINTERACTIVE image drawable \"$2\" \"$2\" 1)
          $save
          (gimp-image-delete image))"
}
log=$work/gimp.log
GIMP2_DIRECTORY=$work/gimp2 gimp-console-2.10 -i -d -f \
  -b "(begin $(open_export "$sample" "$work/sample.ppm" "$work/again.tzf")
             $(open_export "$work/sample.bin" "$work/sniffed.ppm")
             $(open_export "$work/again.tzf" "$work/again.ppm"))" \
  -b "(gimp-quit 0)" >/dev/null 2>"$log" || { cat "$log" >&2; echo "FAIL: gimp-console" >&2; exit 1; }

type_of() { grep -o "TYPE $1 [0-9]*" "$log" | awk '{print $3}'; }
kind=$(type_of "$sample")
[ -n "$kind" ] || { cat "$log" >&2; echo "FAIL: GIMP did not open the sample" >&2; exit 1; }
echo "ok: GIMP opens the sample (image type $kind)"
[ "$(type_of "$work/sample.bin")" = "$kind" ] && cmp -s "$work/sample.ppm" "$work/sniffed.ppm" ||
  { cat "$log" >&2; echo "FAIL: GIMP does not recognise the sample by its content" >&2; exit 1; }
echo "ok: GIMP recognises the sample by its content, without the extension"
[ -s "$work/again.tzf" ] && [ "$(type_of "$work/again.tzf")" = "$kind" ] &&
  cmp -s "$work/sample.ppm" "$work/again.ppm" ||
  { cat "$log" >&2; echo "FAIL: the exported TZF does not open to the same picture" >&2; exit 1; }
echo "ok: GIMP exports the sample as TZF and opens it again to the same pixels"
