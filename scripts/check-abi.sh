#!/usr/bin/env bash
# Holds a freshly built libtzf.so.0 to the ABI of every release kept in
# abi/ (libtzf.so.0-<release>.abi, written by abidw from that release's
# library built with debug information and symbol versions). Added functions
# are fine; a function removed or changed, or a record of the public header
# changed, fails. Also checks the symbol versions: every function the header
# declares is exported, each under a LIBTZF_ node, and a function a release
# exported keeps its node.
#   scripts/check-abi.sh BUILD_DIR      (the library is BUILD_DIR/bin/libtzf.so.0)
# The library must carry debug information (RelWithDebInfo or Debug).
#
# abi/README.md says how a baseline is written.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: scripts/check-abi.sh BUILD_DIR" >&2
  exit 2
fi
lib=$(cd "$1" && pwd)/bin/libtzf.so.0
cd "$(dirname "$0")/.."
for tool in abidiff readelf; do
  command -v "$tool" >/dev/null || {
    echo "error: $tool is missing (abigail-tools, binutils)" >&2
    exit 2
  }
done
[ -f "$lib" ] || {
  echo "error: no $lib" >&2
  exit 2
}
# Without debug information abidiff compares symbol names alone.
readelf -S -W "$lib" | grep -q ' \.debug_info ' || {
  echo "error: $lib has no debug information: build with -g" >&2
  exit 2
}

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

# Exported functions as "name version", from the dynamic symbol table.
exported=$(readelf --dyn-syms -W "$lib" |
  awk '$4 == "FUNC" && $7 != "UND" && $8 ~ /@/ { split($8, s, "@+"); print s[1], s[2] }
       $4 == "FUNC" && $7 != "UND" && $8 !~ /@/ { print $8, "-" }' | sort)

# Every function the public header declares, exported under a version.
declared=$(sed -n 's/^TZF_API [^(]*[ *]\(tzf_[a-z0-9_]*\)(.*/\1/p' include/tzf/tzf.h | sort)
for name in $declared; do
  version=$(awk -v n="$name" '$1 == n { print $2 }' <<<"$exported")
  case $version in
    LIBTZF_*) ;;
    "") fail "$name is declared in tzf.h but not exported (codec/libtzf.map)" ;;
    *) fail "$name is exported without a LIBTZF_ version (codec/libtzf.map)" ;;
  esac
done
extra=$(comm -13 <(echo "$declared") <(cut -d' ' -f1 <<<"$exported"))
[ -z "$extra" ] || fail "exported but not declared in tzf.h: $extra"

shopt -s nullglob
baselines=(abi/libtzf.so.0-*.abi)
[ ${#baselines[@]} -gt 0 ] || {
  echo "error: no baseline in abi/" >&2
  exit 2
}
for baseline in "${baselines[@]}"; do
  release=${baseline#abi/libtzf.so.0-}
  release=${release%.abi}
  echo "--- $lib against $release ($baseline)"

  # A function of the release keeps its version node.
  functions=$(sed -n "s/.*<elf-symbol name='\([a-z0-9_]*\)' version='\([A-Z0-9_.]*\)'.* type='func-type'.*/\1 \2/p" "$baseline")
  [ -n "$functions" ] || {
    echo "error: $baseline lists no function with a version" >&2
    exit 2
  }
  while read -r name node; do
    version=$(awk -v n="$name" '$1 == n { print $2 }' <<<"$exported")
    if [ -z "$version" ]; then
      fail "$name of $release is no longer exported"
    elif [ "$version" != "$node" ]; then
      fail "$name of $release is exported as $name@$version, not $name@$node"
    fi
  done <<<"$functions"

  # abidiff's exit status is a set of bits: 1 the tool failed, 2 bad usage,
  # 4 the ABIs differ, 8 incompatibly (a function or variable removed). With
  # added functions left out of the count, any difference that remains (4
  # alone is a changed function or record) breaks programs built on the
  # release.
  # (Not --headers-dir2: it takes a change of a standard typedef such as
  # uint32_t to uint64_t in a public record for a private one, and hides it.)
  status=0
  abidiff --no-added-syms "$baseline" "$lib" || status=$?
  if [ $((status & 3)) -ne 0 ]; then
    echo "error: abidiff failed (status $status)" >&2
    exit 2
  elif [ "$status" -ne 0 ]; then
    fail "the ABI of $release changed (abidiff status $status)"
  else
    # What was added, for the log.
    abidiff "$baseline" "$lib" | grep '\[A\]' || true
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "libtzf ABI check failed" >&2
  exit 1
fi
echo "libtzf ABI check passed: every release's ABI is kept"
