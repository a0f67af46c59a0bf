#!/bin/sh
# velmir-net.exe: cross-built into build-win-net (MinGW-w64's posix thread
# model, for its map page) with its static libraries (scripts/setup-libs),
# its imports checked (tests/check-net-win.sh), then run under Wine beside
# velmir-sim.exe with win.xpl from build-win, flying with a Linux pilot
# (tests/wine/net_win.py). velmir-console-event.exe sends it Ctrl-C and the
# console's close.
#
#   run-net-win.sh --build BUILD [--build-win DIR] [--build-win-net DIR]
set -eu
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=""
BUILD_WIN="$SOURCE/build-win"
BUILD_WIN_NET="$SOURCE/build-win-net"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --build-win) BUILD_WIN=$2; shift 2 ;;
    --build-win-net) BUILD_WIN_NET=$2; shift 2 ;;
    *) echo "run-net-win: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[ -n "$BUILD" ] || { echo "run-net-win: --build BUILD (the Linux build) is needed" >&2; exit 2; }
for libs in mingw64 httplib; do
  if [ ! -f "$("$SOURCE/scripts/setup-libs" --prefix $libs)/.complete" ]; then
    echo "skipped: velmir-net's Windows libraries are not built (scripts/setup-libs $libs)"
    exit 77
  fi
done
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "skipped: no x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix)"
  exit 77
fi
echo "== cross-building velmir-net.exe in $BUILD_WIN_NET, the simulator in $BUILD_WIN"
cmake -S "$SOURCE" -B "$BUILD_WIN_NET" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64-posix.cmake" \
  -DVELMIR_BUILD_TOOLS=OFF -DVELMIR_BUILD_TESTS=OFF -DVELMIR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$BUILD_WIN_NET" -j "${JOBS:-2}" --target velmir-net
cmake -S "$SOURCE" -B "$BUILD_WIN" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64.cmake" \
  -DVELMIR_BUILD_TOOLS=ON -DVELMIR_BUILD_TESTS=OFF -DVELMIR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$BUILD_WIN" -j "${JOBS:-2}" --target velmir_xpl velmir-sim velmir-console-event
"$SOURCE/tests/check-net-win.sh" "$BUILD_WIN_NET/net/velmir-net.exe"
exec python3 "$SOURCE/tests/wine/net_win.py" --build "$BUILD" --build-win "$BUILD_WIN" \
  --net "$BUILD_WIN_NET/net/velmir-net.exe"
