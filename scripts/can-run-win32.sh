#!/usr/bin/env bash
# Tells whether this machine runs 32-bit Windows programs under Wine: builds a
# tiny one with the i686 MinGW compiler and runs it with `wine` (in the
# caller's WINEPREFIX). Exit status 0 when it ran and printed what it should;
# otherwise 1, with the reason on standard output (one line), e.g.
#   if why=$(bash scripts/can-run-win32.sh); then ...; else echo "... ($why)"; fi
# Kernels without IA-32 emulation refuse the 32-bit Wine loader with
# "Exec format error"; 64-bit Windows programs may still run under wine64.
set -uo pipefail

for tool in i686-w64-mingw32-gcc wine timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is not installed"
    exit 1
  fi
done

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '#include <stdio.h>\nint main(void) { puts("win32 runs"); return 0; }\n' >"$dir/probe.c"
if ! i686-w64-mingw32-gcc -O2 "$dir/probe.c" -o "$dir/probe.exe" 2>"$dir/cc.log"; then
  echo "i686-w64-mingw32-gcc cannot build a program: $(tail -1 "$dir/cc.log")"
  exit 1
fi
# A first start in a new WINEPREFIX sets the prefix up, which takes a while.
out=$(cd "$dir" && WINEDEBUG=${WINEDEBUG:--all} timeout 180 wine probe.exe </dev/null 2>"$dir/wine.log")
rc=$?
if [ "$(printf '%s' "$out" | tr -d '\r')" = "win32 runs" ]; then
  exit 0
fi
if [ "$rc" -eq 124 ]; then
  echo "wine did not finish a 32-bit program within 180 s"
else
  why=$(grep -v '^[[:space:]]*$' "$dir/wine.log" | tail -1)
  echo "wine exited with status $rc${why:+: $why}"
fi
exit 1
