#!/usr/bin/env bash
# Tests the release as users meet it: builds dist/ (scripts/package.sh),
# checks every Debian package's files and lintian's verdict, installs the
# packages on this machine with apt-get, uses each one (tzfconv and tzfenc
# from /usr/bin, a C program built with pkg-config, gdk-pixbuf-thumbnailer
# and GdkPixbuf through the system's loaders cache and MIME database, Pillow,
# Qt 6 and Qt 5 QImageReader, ImageMagick, libvips and GIMP through their
# folders' package tests), purges them and checks that nothing is left.
# Then checks the Windows zip and setup and uses them under Wine: the setup
# installs silently into a new 64-bit prefix, is used, and uninstalls without
# a trace.
#
# Changes the machine (runs as root): the packages are purged on every exit.
# TZF_PACKAGES_PREBUILT=1 skips package.sh and tests the dist/ there is.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist
work=$(mktemp -d /tmp/tzf-packages.XXXXXX)
py=/usr/bin/python3
export DEBIAN_FRONTEND=noninteractive

passed=0
failed=0
ok() {
  passed=$((passed + 1))
  echo "ok: $*"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*" >&2
}

if [ "${TZF_PACKAGES_PREBUILT:-0}" != 1 ]; then
  bash scripts/package.sh
fi
version=$(sed -n 's/^project(tzf_filter VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
debver=$version-1

# --- what each package holds -------------------------------------------------
# package|files it must have (regexes, space-separated)|what any file may be
arch=usr/lib/x86_64-linux-gnu
doc='usr/share/doc/PKG/(copyright|changelog\.Debian\.gz)'
expected=(
  "libtzf0|$arch/libtzf\.so\.0 $arch/libtzf\.so\.$version|$arch/libtzf\.so\.[0-9.]+"
  "libtzf-dev|usr/include/tzf/tzf\.h $arch/libtzf\.so $arch/libtzf\.a $arch/pkgconfig/tzf\.pc $arch/cmake/tzf/tzfConfig\.cmake|usr/include/tzf/tzf\.h|$arch/libtzf\.(so|a)|$arch/pkgconfig/tzf\.pc|$arch/cmake/tzf/tzf[A-Za-z-]*\.cmake"
  "tzf-tools|usr/bin/tzfconv usr/bin/tzfenc $arch/tzf-filter/libtzffilter\.so usr/share/man/man1/tzfconv\.1\.gz|usr/bin/tzf(conv|enc)|$arch/tzf-filter/libtzffilter\.so|usr/share/man/man1/tzf(conv|enc)\.1\.gz"
  "tzf-gdk-pixbuf-loader|$arch/gdk-pixbuf-2\.0/2\.10\.0/loaders/libpixbufloader-tzf\.so usr/share/mime/packages/tzf\.xml usr/share/thumbnailers/tzf\.thumbnailer|$arch/gdk-pixbuf-2\.0/2\.10\.0/loaders/libpixbufloader-tzf\.so|usr/share/mime/packages/tzf\.xml|usr/share/thumbnailers/tzf\.thumbnailer"
  "qt6-tzf-image-plugin|$arch/qt6/plugins/imageformats/lib[a-z0-9_]*tzf[a-z0-9_]*\.so|$arch/qt6/plugins/imageformats/lib[a-z0-9_]*tzf[a-z0-9_]*\.so"
  "qt5-tzf-image-plugin|$arch/qt5/plugins/imageformats/lib[a-z0-9_]*tzf[a-z0-9_]*\.so|$arch/qt5/plugins/imageformats/lib[a-z0-9_]*tzf[a-z0-9_]*\.so"
  "python3-tzf-pillow|usr/lib/python3/dist-packages/tzf_pillow\.py usr/lib/python3/dist-packages/_tzf_abi\.py|usr/lib/python3/dist-packages/(tzf_pillow|_tzf_abi)\.py"
  "imagemagick-6-tzf-coder|$arch/ImageMagick-6\.[0-9.]+/modules-Q16/coders/tzf\.so $arch/ImageMagick-6\.[0-9.]+/modules-Q16/coders/tzf\.la $arch/ImageMagick-6\.[0-9.]+/config-Q16/magic\.xml|$arch/ImageMagick-6\.[0-9.]+/modules-Q16/coders/tzf\.(so|la)|$arch/ImageMagick-6\.[0-9.]+/config-Q16/magic\.xml"
  "gimp-tzf-plugin|usr/lib/gimp/2\.0/plug-ins/file-tzf/file-tzf|usr/lib/gimp/2\.0/plug-ins/file-tzf/file-tzf"
  "libvips-tzf|$arch/vips-modules-[0-9]+\.[0-9]+/vips-tzf\.so|$arch/vips-modules-[0-9]+\.[0-9]+/vips-tzf\.so"
)

declare -A deb_of=()
packages=()
for entry in "${expected[@]}"; do
  IFS='|' read -r -a fields <<<"$entry"
  package=${fields[0]}
  arch_name=amd64
  file=$dist/${package}_${debver}_${arch_name}.deb
  if [ ! -f "$file" ]; then
    echo "note: no $package package (its component has no install rules yet)"
    continue
  fi
  deb_of[$package]=$file
  packages+=("$package")
done
for file in "$dist"/*.deb; do
  name=$(dpkg-deb -f "$file" Package)
  [ -n "${deb_of[$name]:-}" ] || fail "unexpected package $file"
done
for core in libtzf0 libtzf-dev tzf-tools; do
  [ -n "${deb_of[$core]:-}" ] || fail "package $core was not built"
done

step() { echo; echo "--- $*"; }

step "contents and metadata"
for entry in "${expected[@]}"; do
  IFS='|' read -r -a fields <<<"$entry"
  package=${fields[0]}
  file=${deb_of[$package]:-}
  [ -n "$file" ] || continue
  list=$work/$package.list
  # Regular files and links, without the leading "./".
  dpkg-deb -c "$file" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' >"$list"
  allowed="^(${doc//PKG/$package}"
  for pattern in "${fields[@]:2}"; do allowed+="|$pattern"; done
  allowed+=")$"
  stray=$(grep -Ev "$allowed" "$list" || true)
  [ -z "$stray" ] && ok "$package: every file where it belongs" ||
    fail "$package: files out of place: $stray"
  for need in ${fields[1]} "usr/share/doc/$package/copyright" \
    "usr/share/doc/$package/changelog\.Debian\.gz"; do
    grep -Eqx "$need" "$list" || fail "$package: no file matching $need"
  done
  if dpkg-deb -c "$file" | awk '{print $2}' | grep -qv '^root/root$'; then
    fail "$package: files not owned by root"
  fi
  control=$(dpkg-deb -f "$file")
  grep -qx "Version: $debver" <<<"$control" || fail "$package: version is not $debver"
  grep -qx "Maintainer: .*<.*@.*>" <<<"$control" || fail "$package: no maintainer"
  copyright=$(dpkg-deb --fsys-tarfile "$file" | tar -xO "./usr/share/doc/$package/copyright")
  grep -q "^License: Expat" <<<"$copyright" && grep -q "MIT License" <<<"$copyright" ||
    fail "$package: copyright file does not name the MIT licence"
  depends=$(dpkg-deb -f "$file" Depends)
  case $package in
    libtzf0) want="libc6" ;;
    libtzf-dev) want="libtzf0 (= $debver)" ;;
    tzf-tools) want="libpng16-16" ;;
    python3-tzf-pillow) want="python3:any, python3-pil" ;;
    *) want="libtzf0 (= $debver)" ;;
  esac
  [[ "$depends" == *"$want"* ]] && ok "$package: Depends has $want" ||
    fail "$package: Depends '$depends' lacks $want"
done
control_dir=$work/libtzf0.control
dpkg-deb -e "${deb_of[libtzf0]}" "$control_dir"
grep -qx "libtzf 0 libtzf0 (>= $debver)" "$control_dir/shlibs" &&
  grep -qx "activate-noawait ldconfig" "$control_dir/triggers" &&
  [ ! -e "$control_dir/postinst" ] && ok "libtzf0: shlibs and ldconfig trigger, no scripts" ||
  fail "libtzf0: shlibs or ldconfig trigger wrong"

if [ -n "${deb_of[python3-tzf-pillow]:-}" ]; then
  control_dir=$work/python3-tzf-pillow.control
  dpkg-deb -e "${deb_of[python3-tzf-pillow]}" "$control_dir"
  grep -q "^[[:space:]]*py3compile -p python3-tzf-pillow\$" "$control_dir/postinst" &&
    grep -q "^[[:space:]]*py3clean -p python3-tzf-pillow\$" "$control_dir/prerm" &&
    [ -x "$control_dir/postinst" ] && [ -x "$control_dir/prerm" ] &&
    ok "python3-tzf-pillow: postinst runs py3compile, prerm py3clean" ||
    fail "python3-tzf-pillow: no py3compile in postinst or py3clean in prerm"
fi

step "lintian"
lintian --tag-display-limit 0 "${deb_of[@]}" 2>&1 | grep -v '^running with root' |
  tee "$work/lintian.txt" || true
if grep -q '^E:' "$work/lintian.txt"; then
  fail "lintian reports errors"
else
  ok "lintian: no errors"
fi

# --- install, use, purge -----------------------------------------------------
dpkg-query -W -f '${Package}\n' | sort >"$work/before.txt"
purge_all() {
  local ours=() p
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 && ours+=("$p")
  done
  if [ ${#ours[@]} -gt 0 ]; then
    apt-get purge -y -qq "${ours[@]}" >"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
  fi
  # Whatever apt-get brought in for them goes too.
  local added
  added=$(dpkg-query -W -f '${Package}\n' | sort | comm -13 "$work/before.txt" - |
    comm -12 - <(apt-mark showauto | sed 's/:.*//' | sort) || true)
  if [ -n "$added" ]; then
    # shellcheck disable=SC2086
    apt-get purge -y -qq $added >>"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
  fi
}
cleanup() {
  purge_all
  rm -rf "$work"
}
trap cleanup EXIT
for p in "${packages[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then
    echo "note: $p was installed before the test; purging it first"
    apt-get purge -y -qq "$p" >/dev/null
    sed -i "/^$p\$/d" "$work/before.txt"
  fi
done

step "apt-get install ./dist/*.deb"
if apt-get install -y -qq "${deb_of[@]}" >"$work/install.log" 2>&1; then
  ok "installed: ${packages[*]}"
else
  cat "$work/install.log" >&2
  fail "apt-get install"
  exit 1
fi
for p in "${packages[@]}"; do
  dpkg -L "$p" | while read -r f; do [ -d "$f" ] || echo "$f"; done
done | sort -u >"$work/installed-files.txt"

same_pixels() { # same_pixels A B: the two pictures have the same RGB pixels
  "$py" - "$1" "$2" <<'EOF'
import sys
from PIL import Image
a, b = (Image.open(p).convert("RGB") for p in sys.argv[1:3])
sys.exit(0 if a.size == b.size and a.tobytes() == b.tobytes() else 1)
EOF
}
sample=$root/samples/sample.tzf
reference=$root/build-package/linux/bin/tzfconv
"$reference" -q "$sample" "$work/reference.png"

step "tzf-tools from /usr/bin"
[ "$(tzfconv --version)" = "tzfconv $version" ] && [ "$(tzfenc --version)" = "tzfenc $version" ] &&
  ok "--version is $version" || fail "--version: $(tzfconv --version), $(tzfenc --version)"
[ "$(command -v tzfconv)" = /usr/bin/tzfconv ] || fail "tzfconv is not /usr/bin/tzfconv"
(cd "$work" && /usr/bin/tzfconv -q "$sample" installed.png) && same_pixels "$work/installed.png" \
  "$work/reference.png" && ok "tzfconv converts the sample with the installed filter" ||
  fail "tzfconv from /usr/bin"
/usr/bin/tzfenc "$work/reference.png" "$work/again.tzf" &&
  /usr/bin/tzfconv -q "$work/again.tzf" "$work/again.png" &&
  same_pixels "$work/again.png" "$work/reference.png" &&
  ok "tzfenc then tzfconv give the picture back" || fail "tzfenc round trip"
man -w tzfconv >/dev/null 2>&1 || [ -f /usr/share/man/man1/tzfconv.1.gz ] || fail "no manual page"

step "libtzf-dev: a C program built with pkg-config"
# shellcheck disable=SC2046
if cc -std=c99 -Wall -Wextra -Werror tests/packaging/use_libtzf.c -o "$work/use_libtzf" \
  $(pkg-config --cflags --libs tzf) && "$work/use_libtzf" "$sample" "$work/c.ppm" "$version" &&
  same_pixels "$work/c.ppm" "$work/reference.png"; then
  ok "C program through pkg-config decodes the sample"
else
  fail "C program through pkg-config"
fi
ldd "$work/use_libtzf" | grep -Eq "libtzf.so.0 => (/usr)?/lib/x86_64-linux-gnu/libtzf.so.0" ||
  fail "the C program does not use the installed libtzf.so.0"

if [ -n "${deb_of[tzf-gdk-pixbuf-loader]:-}" ]; then
  step "tzf-gdk-pixbuf-loader through the system's caches"
  cache=$(pkg-config --variable=gdk_pixbuf_cache_file gdk-pixbuf-2.0 2>/dev/null ||
    echo /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache)
  grep -q "libpixbufloader-tzf.so" "$cache" && ok "loaders cache lists the loader" ||
    fail "loaders cache $cache does not list the loader"
  [ -f /usr/share/mime/image/x-tzf.xml ] && ok "MIME database has image/x-tzf" ||
    fail "no /usr/share/mime/image/x-tzf.xml"
  cp "$sample" "$work/thumb-source.tzf"
  gdk-pixbuf-thumbnailer -s 128 "$work/thumb-source.tzf" "$work/thumb.png" &&
    "$py" -c "import sys; from PIL import Image; im = Image.open(sys.argv[1]); sys.exit(0 if max(im.size) == 128 else 1)" "$work/thumb.png" &&
    ok "gdk-pixbuf-thumbnailer makes a 128-pixel thumbnail" || fail "gdk-pixbuf-thumbnailer"
  "$py" - "$sample" "$work/reference.png" <<'EOF' && ok "GdkPixbuf reads and saves the sample, pixels equal, MIME type image/x-tzf" || fail "GdkPixbuf or MIME type"
import sys
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio
from PIL import Image
pix = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])
ref = Image.open(sys.argv[2]).convert("RGB")
assert (pix.get_width(), pix.get_height()) == ref.size
n, stride = pix.get_n_channels(), pix.get_rowstride()
data = pix.get_pixels()
rows = b"".join(bytes(data[y * stride + x * n + c] for x in range(pix.get_width()) for c in range(3))
                for y in range(pix.get_height()))
assert rows == ref.tobytes(), "pixels differ"
with open(sys.argv[1], "rb") as f:
    head = f.read(256)
kind, _ = Gio.content_type_guess("picture.tzf", head)
assert Gio.content_type_get_mime_type(kind) == "image/x-tzf", kind
saved = pix.save_to_bufferv("tzf", [], [])[1]
loader = GdkPixbuf.PixbufLoader()
loader.write(saved)
loader.close()
back = loader.get_pixbuf()
assert back.read_pixel_bytes().get_data() == pix.read_pixel_bytes().get_data(), "saved pixels differ"
EOF
fi

if [ -n "${deb_of[python3-tzf-pillow]:-}" ]; then
  step "python3-tzf-pillow with Debian's Python"
  # The modules' compiled files: postinst makes them, and root importing the
  # module with bytecode writing on (this machine turns it off globally)
  # writes them anew; either way prerm must remove them.
  compiled() {
    (cd / && env -u PYTHONDONTWRITEBYTECODE "$py" -c "
import importlib.util, os
for name in ('tzf_pillow', '_tzf_abi'):
    path = importlib.util.cache_from_source(importlib.util.find_spec(name).origin)
    print(path if os.path.exists(path) else 'missing ' + path)
")
  }
  compiled | grep -q '^missing' && fail "python3-tzf-pillow: postinst did not byte-compile" ||
    ok "python3-tzf-pillow: byte-compiled on installation"
  env -u PYTHONDONTWRITEBYTECODE "$py" -c "import sys; assert sys.dont_write_bytecode is False" ||
    fail "bytecode writing could not be turned on"
  compiled | grep -v '^missing' | xargs -r rm -f
  (cd / && env -u PYTHONDONTWRITEBYTECODE "$py" -c "
import sys, tzf_pillow
from PIL import Image
im = Image.open(sys.argv[1])
assert im.format == 'TZF', im.format
ref = Image.open(sys.argv[2]).convert('RGB')
assert im.convert('RGB').tobytes() == ref.tobytes()
print('Pillow', im.format, im.size, im.mode, 'from', tzf_pillow.__file__)
import io
for bits in (8, 24):
    f = io.BytesIO()
    ref.save(f, 'TZF', bits=bits)
    f.seek(0)
    back = Image.open(f)
    assert back.format == 'TZF' and back.mode == ('P' if bits == 8 else 'RGB'), back.mode
    if bits == 24:
        assert back.convert('RGB').tobytes() == ref.tobytes()
print('Pillow saves TZF at 8 and 24 bits')
" "$sample" "$work/reference.png") && ok "Pillow opens and saves the sample through tzf_pillow" ||
    fail "python3-tzf-pillow"
  # Checked after the purge with the package's own files.
  compiled | grep -v '^missing' >>"$work/installed-files.txt" || true
  [ "$(compiled | grep -vc '^missing')" = 2 ] &&
    ok "python3-tzf-pillow: importing as root wrote bytecode" ||
    fail "python3-tzf-pillow: importing as root wrote no bytecode"
fi

for qt in 6 5; do
  [ -n "${deb_of[qt$qt-tzf-image-plugin]:-}" ] || continue
  step "qt$qt-tzf-image-plugin through QImageReader"
  module=Qt${qt}Gui
  if ! pkg-config --exists "$module"; then
    fail "qt$qt: pkg-config $module missing, cannot build the checker"
    continue
  fi
  # shellcheck disable=SC2046
  if g++ -std=c++17 -fPIC tests/packaging/qt_read.cpp -o "$work/qt${qt}_read" \
    $(pkg-config --cflags --libs "$module") &&
    QT_QPA_PLATFORM=offscreen "$work/qt${qt}_read" "$sample" "$work/qt$qt.ppm" &&
    same_pixels "$work/qt$qt.ppm" "$work/reference.png"; then
    ok "Qt $qt reads the sample and writes it back through the installed plug-in"
  else
    fail "Qt $qt QImageReader"
  fi
done

# The image tools' integrations: each folder's package test uses the tool
# from /usr/bin on the installed package.
for entry in "imagemagick-6-tzf-coder|imagemagick|ImageMagick" "libvips-tzf|vips|libvips" \
  "gimp-tzf-plugin|gimp|GIMP"; do
  IFS='|' read -r package folder tool <<<"$entry"
  [ -n "${deb_of[$package]:-}" ] || continue
  step "$package through $tool"
  if TZF_PACKAGE_WORK=$work bash "$folder/tests/package_test.sh"; then
    ok "$tool reads and writes TZF pictures through the installed $package"
  else
    fail "$package through $tool"
  fi
done

step "apt-get purge"
purge_all
left=""
while read -r f; do
  [ -e "$f" ] || [ -L "$f" ] && left+="$f "
done <"$work/installed-files.txt"
[ -z "$left" ] && ok "no file of the packages is left ($(wc -l <"$work/installed-files.txt") checked)" ||
  fail "left after purge: $left"
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 && fail "$p still installed"
done
dpkg-query -W -f '${Package}\n' | sort | cmp -s - "$work/before.txt" &&
  ok "the installed package set is as before" || fail "installed packages differ from before"
if [ -n "${deb_of[tzf-gdk-pixbuf-loader]:-}" ]; then
  ! grep -qi tzf "${cache}" && ! grep -rqsl "x-tzf" /usr/share/mime/mime.cache /usr/share/mime/globs2 \
    /usr/share/mime/image && ok "loaders cache and MIME database no longer mention tzf" ||
    fail "tzf still in the loaders cache or MIME database"
fi

# --- the Windows zip and setup ------------------------------------------------
# The zip: README.txt, LICENSE.txt, and x86\ and x64\ with the same four files.
# Its programs and the setup's are used under Wine: the 64-bit ones always,
# the 32-bit ones where the kernel runs 32-bit programs (scripts/can-run-win32.sh).
step "Windows zip"
zip=$dist/tzf-filter-$version-windows.zip
windows_files="tzfconv.exe tzfenc.exe tzffilter.dll tzfwic.dll"
want_listing="LICENSE.txt README.txt"
for folder in x64 x86; do
  for f in $windows_files; do want_listing+=" $folder/$f"; done
done
listing=$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')
[ "$listing" = "$(tr ' ' '\n' <<<"$want_listing" | LC_ALL=C sort | tr '\n' ' ')" ] &&
  ok "zip holds $listing" || fail "zip holds $listing"
win=$work/windows
mkdir "$win"
unzip -q "$zip" -d "$win"
for folder in x86 x64; do
  if [ $folder = x86 ]; then triple=i686 format=pei-i386; else triple=x86_64 format=pei-x86-64; fi
  for f in $windows_files; do
    objdump=$triple-w64-mingw32-objdump
    kind=$($objdump -f "$win/$folder/$f" | sed -n 's/.*file format //p')
    imports=$($objdump -p "$win/$folder/$f" | sed -n 's/.*DLL Name: //p' | sort -u | tr '\n' ' ')
    [ "$kind" = "$format" ] || fail "$folder/$f is $kind, not $format"
    case $f in
      tzfwic.dll)
        # System libraries only: nothing of the compiler's runtime.
        if grep -Eiq 'lib(gcc|stdc|winpthread)' <<<"$imports"; then
          fail "$folder/$f imports $imports"
        else
          ok "$folder/$f ($kind) imports only system libraries: $imports"
        fi ;;
      *)
        [ "$imports" = "KERNEL32.dll msvcrt.dll " ] && ok "$folder/$f ($kind) imports only $imports" ||
          fail "$folder/$f imports $imports" ;;
    esac
  done
done

wine64=$(command -v wine64 || true)
[ -n "$wine64" ] || wine64=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEDEBUG=-all
cp "$sample" "$win/sample.tzf"
cp "$work/reference.png" "$win/reference.png"
cp tests/corpus/ok_8_whole.tzf "$win/palette.tzf"
cp tests/corpus/ok_8_whole.png "$win/palette.png"

# The zip's 64-bit programs, in a prefix of their own (the setup's below must
# start from nothing of ours).
(
  export WINEPREFIX=$work/wine-zip
  "$wine64" wineboot --init >/dev/null 2>&1 || true
  (cd "$win/x64" && timeout 300 "$wine64" tzfconv.exe -q ../sample.tzf ../converted64.png </dev/null) &&
    same_pixels "$win/converted64.png" "$work/reference.png" &&
    ok "x64/tzfconv.exe writes the sample as a PNG equal to the native one" || fail "x64/tzfconv.exe"
  (cd "$win/x64" && timeout 300 "$wine64" tzfenc.exe ../reference.png ../encoded64.tzf </dev/null) &&
    "$reference" -q "$win/encoded64.tzf" "$work/encoded64.png" &&
    same_pixels "$work/encoded64.png" "$work/reference.png" &&
    ok "x64/tzfenc.exe makes a TZF that decodes back exactly" || fail "x64/tzfenc.exe"
  "$wineserver" -k >/dev/null 2>&1 || true
)

# The zip's 32-bit programs: only where the kernel runs 32-bit programs.
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-tzf}
win32_runs=0
if why=$(bash scripts/can-run-win32.sh); then
  win32_runs=1
  i686-w64-mingw32-gcc -std=c99 -O2 -Wall -Wextra -Werror tests/packaging/dll_host.c \
    -o "$win/x86/dll_host.exe" -lversion
  (cd "$win/x86" && wine tzfconv.exe -q ../sample.tzf ../converted.png </dev/null) &&
    same_pixels "$win/converted.png" "$work/reference.png" &&
    ok "x86/tzfconv.exe writes the sample as a PNG equal to the native one" || fail "x86/tzfconv.exe"
  (cd "$win/x86" && wine tzfenc.exe ../reference.png ../encoded.tzf </dev/null) &&
    "$reference" -q "$win/encoded.tzf" "$work/encoded.png" &&
    same_pixels "$work/encoded.png" "$work/reference.png" &&
    ok "x86/tzfenc.exe makes a TZF that decodes back exactly" || fail "x86/tzfenc.exe"
  [ "$(cd "$win/x86" && wine tzfconv.exe --version </dev/null | tr -d '\r')" = "tzfconv $version" ] &&
    ok "x86/tzfconv.exe --version" || fail "x86/tzfconv.exe --version"
  (cd "$win/x86" && wine dll_host.exe ../sample.tzf ../host.bmp "$version" </dev/null) &&
    same_pixels "$win/host.bmp" "$work/reference.png" &&
    ok "a host loads x86/tzffilter.dll from the unpacked folder and decodes the sample" ||
    fail "host loading tzffilter.dll"
else
  echo "the zip's 32-bit programs not run: this machine cannot run 32-bit programs ($why)"
fi

step "Windows setup under Wine"
setup=$dist/tzf-filter-$version-setup.exe
setup64=$root/build-package/tzf-filter-$version-setup-amd64.exe
[ "$(i686-w64-mingw32-objdump -f "$setup" | sed -n 's/.*file format //p')" = pei-i386 ] &&
  ok "the shipped setup is a 32-bit program" || fail "$setup is not a 32-bit program"
[ "$(x86_64-w64-mingw32-objdump -f "$setup64" | sed -n 's/.*file format //p')" = pei-x86-64 ] ||
  fail "$setup64 is not a 64-bit program"
# The codec's class and the formats it registers, as the codec names them.
guid() { sed -n "s/.*#define $1 L\"\\({[0-9A-Fa-f-]*}\\)\".*/\\1/p" wic/tzfwic_guids.h; }
codec_clsid=$(guid TZF_CLSID_WICDecoder_TEXT)
container=$(guid TZF_GUID_ContainerFormat_TEXT)
vendor=$(guid TZF_GUID_Vendor_TEXT)
[ -n "$codec_clsid" ] && [ -n "$container" ] && [ -n "$vendor" ] ||
  fail "the codec's GUIDs are not in wic/tzfwic_guids.h"
decoders_category='{7ED96837-96F0-4812-B211-F13C24117ED3}'
x86_64-w64-mingw32-gcc -municode -std=c99 -O2 -Wall -Wextra -Werror \
  packaging/windows/tests/wic_decode.c -o "$win/wic_decode.exe" -lwindowscodecs -lole32 -luuid

# A prefix of its own, new each run.
prefix=$work/wine-setup
drive_c=$prefix/drive_c
instdir='C:\tzf-filter-test'
filterdir='C:\viewer-test\plug-ins'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\tzf-filter'
env_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
inwine() { WINEPREFIX=$prefix timeout 300 "$wine64" "$@" </dev/null; }
settle() { WINEPREFIX=$prefix timeout 300 "$wineserver" -w; }
# Every trace of ours in the prefix: files, and registry lines.
ours="tzf|tzf-filter-test|viewer-test|${codec_clsid//[\{\}]/}|${container//[\{\}]/}|${vendor//[\{\}]/}"
traces() {
  (cd "$drive_c" && find . -iname '*tzf*' -o -ipath '*viewer-test*') | sort
  cat "$prefix"/*.reg | { grep -Ei -- "$ours" || true; } | sed 's/\] [0-9]*$/]/' | sort
}
regvalue() { # regvalue KEY NAME: the value's data
  inwine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
t0=$(date +%s)
WINEPREFIX=$prefix "$wine64" wineboot --init >/dev/null 2>&1 || true
settle
echo "new 64-bit prefix in $(($(date +%s) - t0)) s"
traces >"$work/traces-before.txt"

setups=("64-bit build of the setup (same script)|$setup64")
if [ "$win32_runs" = 1 ]; then
  setups+=("shipped 32-bit setup|$setup")
else
  echo "the shipped 32-bit setup not run, nor the 32-bit codec's registration checked:" \
    "this machine cannot run 32-bit programs"
fi
for entry in "${setups[@]}"; do
  label=${entry%%|*}
  file=${entry#*|}
  echo "setup run: $label, $(basename "$file")"
  cp "$file" "$win/setup.exe"
  t0=$(date +%s)
  (cd "$win" && inwine setup.exe /S /PATH=1 "/FILTERDIR=$filterdir" "/D=$instdir") && settle ||
    fail "$label: silent install"
  echo "installed in $(($(date +%s) - t0)) s"
  # Every file where it belongs, and nothing else.
  want=$(for f in README.txt LICENSE.txt uninstall.exe; do echo "$f"; done
    for folder in x86 x64; do for f in $windows_files; do echo "$folder/$f"; done; done)
  got=$(cd "$drive_c/tzf-filter-test" 2>/dev/null && find . -type f | sed 's|^\./||')
  [ "$(LC_ALL=C sort <<<"$got")" = "$(LC_ALL=C sort <<<"$want")" ] &&
    ok "$label: installed files $(tr '\n' ' ' <<<"$got")" || fail "$label: installed files $got"
  for folder in x86 x64; do
    for f in $windows_files; do
      cmp -s "$win/$folder/$f" "$drive_c/tzf-filter-test/$folder/$f" ||
        fail "$label: $folder/$f differs from the zip's"
    done
  done
  cmp -s "$win/x86/tzffilter.dll" "$drive_c/viewer-test/plug-ins/tzffilter.dll" &&
    ok "$label: the viewer filter in the folder chosen" || fail "$label: no filter in $filterdir"
  # "Apps and features".
  bad=""
  for pair in "DisplayName=tzf-filter $version" "DisplayVersion=$version" \
    "Publisher=the tzf-filter developers" "InstallLocation=$instdir" \
    "UninstallString=\"$instdir\\uninstall.exe\"" \
    "QuietUninstallString=\"$instdir\\uninstall.exe\" /S"; do
    [ "$(regvalue "$uninst_key" "${pair%%=*}")" = "${pair#*=}" ] ||
      bad+="${pair%%=*}='$(regvalue "$uninst_key" "${pair%%=*}")' "
  done
  size=$(regvalue "$uninst_key" EstimatedSize)
  [ -n "$size" ] && [ $((size)) -gt 100 ] || bad+="EstimatedSize='$size' "
  [ -z "$bad" ] && ok "$label: Uninstall key complete (EstimatedSize $((size)) KB)" ||
    fail "$label: Uninstall key: $bad"
  # The 64-bit codec, registered for WIC.
  server=$(inwine reg query "HKCR\\CLSID\\$codec_clsid\\InprocServer32" /ve 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *(Default) *REG_[A-Z_]* *//p')
  [ "$server" = "$instdir\\x64\\tzfwic.dll" ] && ok "$label: codec class served by $server" ||
    fail "$label: codec class served by '$server'"
  inwine reg query "HKCR\\CLSID\\$decoders_category\\Instance\\$codec_clsid" >/dev/null 2>&1 &&
    ok "$label: codec listed among WIC's decoders" || fail "$label: codec not among WIC's decoders"
  for picture in sample:reference palette:palette; do
    name=${picture%%:*}
    (cd "$win" && inwine wic_decode.exe "$name.tzf" "wic-$name.ppm") &&
      same_pixels "$win/wic-$name.ppm" "$win/${picture#*:}.png" &&
      ok "$label: WIC's factory decodes $name.tzf, pixels equal" ||
      fail "$label: WIC decoding $name.tzf"
  done
  # A new command prompt finds the tools through the system PATH.
  regvalue "$env_key" Path | grep -qiF ";$instdir\\x64" &&
    ok "$label: system PATH has $instdir\\x64" || fail "$label: system PATH lacks the tools"
  rm -f "$win/path.png" "$win/path.tzf"
  (cd "$win" && inwine cmd /c "tzfconv -q sample.tzf path.png") &&
    same_pixels "$win/path.png" "$work/reference.png" &&
    ok "$label: tzfconv through PATH converts the sample" || fail "$label: tzfconv through PATH"
  (cd "$win" && inwine cmd /c "tzfenc palette.png path.tzf") &&
    "$reference" -q "$win/path.tzf" "$work/path.png" && same_pixels "$work/path.png" "$win/palette.png" &&
    ok "$label: tzfenc through PATH" || fail "$label: tzfenc through PATH"
  # The uninstaller copies itself away and runs from there: wait for it.
  t0=$(date +%s)
  inwine "$instdir\\uninstall.exe" /S && settle || fail "$label: silent uninstall"
  echo "uninstalled in $(($(date +%s) - t0)) s"
  traces >"$work/traces-after.txt"
  left=$(comm -13 "$work/traces-before.txt" "$work/traces-after.txt")
  [ -z "$left" ] && ok "$label: nothing of ours left in the prefix's files or registry" ||
    fail "$label: left after uninstalling: $left"
done
rm -rf "$prefix"

echo
echo "packages covered: ${packages[*]}"
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
