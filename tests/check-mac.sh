#!/bin/sh
# The universal macOS module: an arm64 and an x86_64 slice, each defining and
# exporting exactly the five entry points (nothing of ours, nothing of the
# static C++ runtime), linked against libSystem alone, and importing every
# simulator function by dynamic lookup (flat namespace), since the simulator
# provides them when it loads the module. arm64 slices must carry a code
# signature or macOS refuses to map them.
#
#   check-mac.sh build-mac/Velmir/64/mac.xpl
set -eu
xpl=$1
LIPO=$(command -v llvm-lipo-14 || command -v llvm-lipo)
NM=$(command -v llvm-nm-14 || command -v llvm-nm)
OBJDUMP=$(command -v llvm-objdump-14 || command -v llvm-objdump)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
expected="_XPluginDisable _XPluginEnable _XPluginReceiveMessage _XPluginStart _XPluginStop"
words() { awk 'NF' | sort | tr '\n' ' ' | sed 's/ $//'; }

archs=$("$LIPO" -archs "$xpl" | tr ' ' '\n' | words)
[ "$archs" = "arm64 x86_64" ] || fail "architectures: '$archs', expected 'arm64 x86_64'"

for arch in arm64 x86_64; do
  slice=$work/$arch
  "$LIPO" -thin "$arch" "$xpl" -output "$slice" 2>/dev/null || continue
  "$OBJDUMP" --macho --private-headers "$slice" >"$work/headers"

  awk '/^ *magic/ {getline; print $5; exit}' "$work/headers" | grep -qx 'BUNDLE\|DYLIB' ||
    fail "$arch: not a loadable module (bundle or dylib)"
  grep -q '^ *platform macos$' "$work/headers" || fail "$arch: not built for macOS"

  defined=$("$NM" -gU "$slice" | awk '{print $NF}' | words)
  [ "$defined" = "$expected" ] || fail "$arch: external symbols '$defined'"
  trie=$("$OBJDUMP" --macho --exports-trie "$slice" | awk '/^0x/ {print $NF}' | words)
  [ "$trie" = "$expected" ] || fail "$arch: exports trie '$trie'"

  libraries=$(awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ {getline; getline; print $2}' \
    "$work/headers" | words)
  [ "$libraries" = /usr/lib/libSystem.B.dylib ] || fail "$arch: linked libraries '$libraries'"

  # Imports: "dylib symbol" from the bind and lazy-bind tables.
  "$OBJDUMP" --macho --bind --lazy-bind "$slice" |
    awk '$1 ~ /^__/ {print $(NF-1), $NF}' | sort -u >"$work/imports"
  stray=$(awk '$1 != "libSystem" && !($1 == "flat-namespace" && $2 ~ /^_XPLM/) {print $1 ":" $2}' \
    "$work/imports" | words)
  [ -z "$stray" ] || fail "$arch: imports from elsewhere than libSystem: $stray"
  bound=$(awk '$1 != "flat-namespace" && $2 ~ /^_XPLM/ {print $2}' "$work/imports" | words)
  [ -z "$bound" ] || fail "$arch: simulator functions bound to a library: $bound"
  grep -q '^flat-namespace _XPLMDebugString$' "$work/imports" ||
    fail "$arch: XPLMDebugString not imported by dynamic lookup"
  weak=$("$OBJDUMP" --macho --weak-bind "$slice" | awk '$1 ~ /^__/ {print $NF}' | words)
  [ -z "$weak" ] || fail "$arch: weak definitions shared with other images: $weak"
  undefined=$("$NM" -u "$slice" | awk '{print $NF}' | sort -u)
  for symbol in $undefined; do
    case "$symbol" in dyld_stub_binder) continue ;; esac
    grep -q " $symbol\$" "$work/imports" || fail "$arch: undefined $symbol is never bound"
  done

  if [ "$arch" = arm64 ]; then
    grep -q 'cmd LC_CODE_SIGNATURE$' "$work/headers" || fail "$arch: no code signature"
  fi
done

[ "$failures" = 0 ] || exit 1
echo "mac.xpl ok: arm64 x86_64, 5 exports, libSystem only, simulator by dynamic lookup"
