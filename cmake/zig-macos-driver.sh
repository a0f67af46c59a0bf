#!/bin/sh
# Compiler driver for the macOS cross-build (see cmake/zig-macos.cmake).
#
#   zig-macos-driver.sh ZIG TARGET LANGUAGE [compiler arguments...]
#
# Compiling goes to zig's clang (`zig cc|c++ -target TARGET`). Linking goes to
# LLVM's Mach-O linker, ld64.lld, instead of zig's own: zig 0.11's linker
# exports hidden symbols too and refuses -exported_symbols_list, and it would
# add a C++ runtime built with default visibility. Here the link gets only
# libSystem (from zig's .tbd stubs) and what the build itself names, so the
# module's exports are exactly what its exported-symbols list says.
set -eu
zig=$1 target=$2 language=$3
shift 3

compiling=0
for arg in "$@"; do
  case "$arg" in -c | -S | -E | -M | -MM) compiling=1 ;; esac
done
if [ "$compiling" = 1 ] || [ $# = 0 ]; then
  exec "$zig" "$language" -target "$target" "$@"
fi

# A program (velmir-net) exports nothing, so zig links it itself, with its
# own static libc++: the program needs only libSystem. The Darwin flags
# CMake adds for ld64 are not zig's.
module=0
for arg in "$@"; do
  case "$arg" in -shared | -dynamiclib | -bundle) module=1 ;; esac
done
if [ "$module" = 0 ]; then
  count=$#
  while [ "$count" -gt 0 ]; do
    arg=$1
    shift
    count=$((count - 1))
    case "$arg" in
      -Wl,-search_paths_first | -Wl,-headerpad_max_install_names) ;;
      *) set -- "$@" "$arg" ;;
    esac
  done
  exec "$zig" "$language" -target "$target" "$@"
fi

case "$target" in
  aarch64-*) arch=arm64 ;;
  x86_64-*) arch=x86_64 ;;
  *) echo "zig-macos-driver: unknown target $target" >&2; exit 2 ;;
esac
version=${target#*-macos.}
major=${version%%.*}
lib_dir=$("$zig" env | sed -n 's/^ *"lib_dir": "\(.*\)",$/\1/p')
tbd="$lib_dir/libc/darwin/libSystem.$major.tbd"
[ -f "$tbd" ] || tbd="$lib_dir/libc/darwin/libSystem.tbd"  # zig after 0.11
[ -f "$tbd" ] || { echo "zig-macos-driver: no $tbd" >&2; exit 2; }
linker=$(command -v ld64.lld-14 || command -v ld64.lld) ||
  { echo "zig-macos-driver: ld64.lld not found (Debian package lld-14)" >&2; exit 2; }

# Rebuild the argument list in place for the linker: -Wl,a,b becomes a b;
# the compile-only flags CMake repeats on the link line are dropped.
output=executable
count=$#
while [ "$count" -gt 0 ]; do
  arg=$1
  shift
  count=$((count - 1))
  case "$arg" in
    -Wl,*)
      rest=${arg#-Wl,}
      while :; do
        set -- "$@" "${rest%%,*}"
        [ "$rest" = "${rest#*,}" ] && break
        rest=${rest#*,}
      done
      ;;
    -shared | -dynamiclib) output=dylib ;;
    -bundle) output=bundle ;;
    -framework) set -- "$@" "$arg" ;;
    -O* | -g* | -f* | -std=* | -D* | -I* | -pipe | -rdynamic) ;;
    -W*) ;;
    *) set -- "$@" "$arg" ;;
  esac
done
case "$output" in
  dylib) kind=-dylib ;;
  bundle) kind=-bundle ;;
  *) kind=-execute ;;
esac
exec "$linker" -arch "$arch" -platform_version macos "$version" "$version" "$kind" "$@" "$tbd"
