#!/bin/sh
# The Wine stage: cross-builds win.xpl, XPLM_64.dll and velmir-sim.exe with
# MinGW-w64 (build-win), lays them out as in a simulator folder, runs them
# under Wine in a network namespace of its own, and drives the plugin from
# Linux with velmir-wine-check over loopback: every message type, then the
# run report velmir-sim.exe wrote.
#
#   run-wine-e2e.sh --check PATH/velmir-wine-check [--build-win DIR]
#
# WINE_E2E_SECONDS: length of the main run (default 20 s; the client needs
# about 12). VELMIR_KEEP_WINE_DIR=1 keeps the temporary folder (prefix, logs,
# reports) for a look afterwards.
set -eu

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
CHECK=""
BUILD_WIN="$SOURCE/build-win"
while [ $# -gt 0 ]; do
  case "$1" in
    --check) CHECK=$2; shift 2 ;;
    --build-win) BUILD_WIN=$2; shift 2 ;;
    *) echo "run-wine-e2e: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[ -x "$CHECK" ] || { echo "run-wine-e2e: --check needs the velmir-wine-check program" >&2; exit 2; }
CHECK=$(cd "$(dirname "$CHECK")" && pwd)/$(basename "$CHECK")
SECONDS_MAIN=${WINE_E2E_SECONDS:-20}

now() { date +%s; }

if [ "${VELMIR_WINE_NETNS:-}" != 1 ]; then
  start=$(now)
  echo "== cross-building build-win"
  cmake -S "$SOURCE" -B "$BUILD_WIN" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64.cmake" \
    -DVELMIR_BUILD_TOOLS=ON -DVELMIR_BUILD_TESTS=OFF -DVELMIR_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$BUILD_WIN" -j "${JOBS:-2}" --target velmir_xpl velmir-sim
  echo "   built in $(( $(now) - start )) s"

  # The DLL must export the simulator API exactly as our import library of
  # win.xpl expects it, and nothing may need a DLL that Windows lacks.
  OBJDUMP=$(command -v x86_64-w64-mingw32-objdump || echo objdump)
  exports() { "$OBJDUMP" -p "$1" | awk '/\[Ordinal\/Name Pointer\]/ {t = 1; next} t && /^\t\[/ {print $NF}'; }
  imports() { "$OBJDUMP" -p "$1" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' '; }
  want=$(awk '$1 ~ /^XPLM[A-Za-z]+$/ {print $1}' "$SOURCE/cmake/XPLM_64.def" | sort)
  have=$(exports "$BUILD_WIN/host/XPLM_64.dll" | grep '^XPLM' | sort)
  if [ "$want" = "$have" ]; then
    echo "ok   XPLM_64.dll exports the $(echo "$want" | wc -l) functions of cmake/XPLM_64.def"
  else
    echo "FAIL XPLM_64.dll exports differ from cmake/XPLM_64.def:"
    printf '%s\n' "$want" >"${TMPDIR:-/tmp}/velmir-want.$$"
    printf '%s\n' "$have" | diff "${TMPDIR:-/tmp}/velmir-want.$$" - || true
    rm -f "${TMPDIR:-/tmp}/velmir-want.$$"
    exit 1
  fi
  for binary in host/XPLM_64.dll host/velmir-sim.exe Velmir/64/win.xpl; do
    for dll in $(imports "$BUILD_WIN/$binary"); do
      case "$dll" in
        KERNEL32.dll|msvcrt.dll|WS2_32.dll|XPLM_64.dll) ;;
        *) echo "FAIL $binary needs $dll, which Windows does not have"; exit 1 ;;
      esac
    done
  done
  echo "ok   the binaries import only KERNEL32, msvcrt, WS2_32 and XPLM_64"
  # Port 7472 is fixed: a namespace of our own keeps other tests' plugins away.
  VELMIR_WINE_NETNS=1 exec "$SOURCE/scripts/netns-run" "$0" --check "$CHECK" --build-win "$BUILD_WIN"
fi

WINE=$(command -v wine || command -v wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
TMP=$(mktemp -d /tmp/velmir-wine.XXXXXX)
export WINEPREFIX="$TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
failed=0

cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  if [ "${VELMIR_KEEP_WINE_DIR:-}" = 1 ] || [ "$failed" != 0 ]; then
    echo "   kept $TMP"
  else
    rm -rf "$TMP"
  fi
}
trap cleanup EXIT

# What Wine printed, when something went wrong.
show_logs() {
  for log in "$@"; do
    [ -f "$log" ] || continue
    echo "---- last lines of $log"
    tail -n 40 "$log"
  done
}

# The simulator's folder: the executable, the API DLL beside it, the plugin
# where X-Plane keeps it. Everything is addressed relative to it, so no Unix
# path ever needs translating for Windows.
SIM="$TMP/sim"
mkdir -p "$SIM/Resources/plugins/Velmir/64"
cp "$BUILD_WIN/host/velmir-sim.exe" "$BUILD_WIN/host/XPLM_64.dll" "$SIM/"
cp "$BUILD_WIN/Velmir/64/win.xpl" "$SIM/Resources/plugins/Velmir/64/"
PLUGIN=Resources/plugins/Velmir/64/win.xpl

echo "== Wine prefix"
start=$(now)
"$WINESERVER" -k >/dev/null 2>&1 || true
if ! "$WINE" wineboot --init >"$TMP/wine-boot.log" 2>&1; then
  failed=1
  echo "FAIL wineboot"
  show_logs "$TMP/wine-boot.log"
  exit 1
fi
"$WINESERVER" -w
echo "   ready in $(( $(now) - start )) s"

# start AIRCRAFT SECONDS: velmir-sim.exe in the background; finish: its exit.
start() {
  echo "== velmir-sim.exe --aircraft $1 --seconds $2"
  (cd "$SIM" && exec timeout 300 "$WINE" velmir-sim.exe --plugin "$PLUGIN" --aircraft "$1" \
     --seconds "$2" --report "report-$1.json" >"$TMP/wine-$1.log" 2>&1) &
  sim=$!
}
finish() {
  status=0
  wait "$sim" || status=$?
  [ "$status" = 0 ] || { echo "FAIL velmir-sim.exe exited with status $status"; failed=1; }
}

# The piston single: the live check against it, then its run report.
begun=$(now)
start piston "$SECONDS_MAIN"
"$CHECK" live --root "$SIM" --expect "$TMP/expect.txt" --wait 120 || failed=1
finish
"$CHECK" report "$SIM/report-piston.json" --expect "$TMP/expect.txt" || failed=1
"$WINESERVER" -w >/dev/null 2>&1 || true
echo "== the Wine runs took $(( $(now) - begun )) s"
if [ "$failed" != 0 ]; then
  show_logs "$TMP/wine-piston.log"
  echo "wine_e2e: FAILED"
  exit 1
fi
echo "wine_e2e: passed"
