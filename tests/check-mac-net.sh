#!/bin/sh
# The universal macOS velmir-net: an arm64 and an x86_64 slice, each a
# program for macOS that links libSystem alone (OpenSSL, libmosquitto and
# the C++ runtime are inside), the arm64 slice signed (macOS runs no
# unsigned arm64 code). Checked by structure only: it is never run here.
#
#   check-mac-net.sh build-mac/velmir-net
set -eu
program=$1
LIPO=$(command -v llvm-lipo-14 || command -v llvm-lipo)
OBJDUMP=$(command -v llvm-objdump-14 || command -v llvm-objdump)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

archs=$("$LIPO" -archs "$program" | tr ' ' '\n' | awk 'NF' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$archs" = "arm64 x86_64" ] || fail "architectures: '$archs', expected 'arm64 x86_64'"
for arch in arm64 x86_64; do
  slice=$work/$arch
  "$LIPO" -thin "$arch" "$program" -output "$slice" 2>/dev/null || continue
  "$OBJDUMP" --macho --private-headers "$slice" >"$work/headers"
  awk '/^ *magic/ {getline; print $5; exit}' "$work/headers" | grep -qx EXECUTE ||
    fail "$arch: not a program (MH_EXECUTE)"
  grep -q '^ *platform macos$' "$work/headers" || fail "$arch: not built for macOS"
  grep -q 'cmd LC_MAIN$' "$work/headers" || fail "$arch: no entry point (LC_MAIN)"
  libraries=$("$OBJDUMP" --macho --dylibs-used "$slice" | awk 'NR > 1 {print $1}' | sort -u | tr '\n' ' ' | sed 's/ $//')
  [ "$libraries" = /usr/lib/libSystem.B.dylib ] || fail "$arch: linked libraries '$libraries'"
  if [ "$arch" = arm64 ]; then
    grep -q 'cmd LC_CODE_SIGNATURE$' "$work/headers" || fail "$arch: no code signature"
  fi
done
[ "$failures" = 0 ] || exit 1
echo "velmir-net (macOS) ok: arm64 x86_64 programs, libSystem only"
