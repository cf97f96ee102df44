#!/usr/bin/env bash
# The installed libvips-tzf package through the system's vips tools: libvips
# finds the module in its own modules folder, with no environment set.
# Reads samples/sample.tzf, writes a TZF picture and reads it back.
set -euo pipefail
cd "$(dirname "$0")/../.."
sample=$PWD/samples/sample.tzf
work=$(mktemp -d "${TZF_PACKAGE_WORK:-/tmp}/vips-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset VIPSHOME

listing=$(vips -l foreign)
[[ $listing == *"(tzfload)"* ]] || { echo "FAIL: vips does not list tzfload" >&2; exit 1; }
[[ $listing == *"(tzfsave)"* ]] || { echo "FAIL: vips does not list tzfsave" >&2; exit 1; }
echo "ok: vips lists tzfload and tzfsave"

header=$(vipsheader "$sample")
[[ $header == *"tzfload"* ]] || { echo "FAIL: vipsheader: $header" >&2; exit 1; }
echo "ok: vipsheader: ${header#"$sample: "}"

# Detection by content: the sample under another name.
cp "$sample" "$work/sample.bin"
vips copy "$work/sample.bin" "$work/sample.png"
vips copy "$work/sample.png" "$work/again.tzf"
vips copy "$work/again.tzf" "$work/again.png"
[ "$(vipsheader -f vips-loader "$work/again.tzf")" = tzfload ] ||
  { echo "FAIL: the written file is not read by tzfload" >&2; exit 1; }
# The pixels survive the round trip exactly: the largest difference is 0.
difference=$(vips subtract "$work/sample.png" "$work/again.png" "$work/difference.v" &&
  vips abs "$work/difference.v" "$work/absolute.v" && vips max "$work/absolute.v")
[ "$(printf "%.0f" "$difference")" = 0 ] || { echo "FAIL: the round trip changed pixels by $difference" >&2; exit 1; }
echo "ok: vips copy reads the sample and writes a TZF picture that reads back the same"

vipsthumbnail "$sample" -s 32 -o "$work/thumb.png"
[[ $(vipsheader "$work/thumb.png") == *" uchar, 3 bands"* ]] ||
  { echo "FAIL: vipsthumbnail" >&2; exit 1; }
echo "ok: vipsthumbnail makes a thumbnail of the sample"
