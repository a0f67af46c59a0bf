#!/bin/sh
# velmir-net.exe must run from a plain folder on any Windows 10 or later: one
# file, importing only DLLs every Windows has (no MinGW runtime, no OpenSSL
# or libmosquitto DLL beside it), and a console program.
#
#   check-net-win.sh build-win/net/velmir-net.exe
set -eu
exe=$1
OBJDUMP=$(command -v x86_64-w64-mingw32-objdump || echo objdump)
"$OBJDUMP" -p "$exe" >"${TMPDIR:-/tmp}/velmir-net-pe.$$"
headers=${TMPDIR:-/tmp}/velmir-net-pe.$$
trap 'rm -f "$headers"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

grep -q '^Magic.*020b' "$headers" || fail "not a 64-bit (PE32+) program"
grep -q '^Subsystem.*(Windows CUI)' "$headers" || fail "not a console program"
imports=$(awk '/DLL Name:/ {print $3}' "$headers" | sort -u)
[ -n "$imports" ] || fail "no imports read"
for dll in $imports; do
  # Case varies with the import library that named it.
  case $(echo "$dll" | tr '[:lower:]' '[:upper:]') in
    KERNEL32.DLL | WS2_32.DLL | MSVCRT.DLL | ADVAPI32.DLL | CRYPT32.DLL | BCRYPT.DLL | USER32.DLL | SHELL32.DLL) ;;
    API-MS-WIN-CRT-*.DLL) ;;
    *) fail "imports $dll, which Windows does not have" ;;
  esac
done
echo "$imports" | grep -qi '^WS2_32.dll$' || fail "no Winsock import: sockets not from WS2_32?"
[ "$failures" = 0 ] || exit 1
echo "velmir-net.exe ok: console program, imports only $(echo "$imports" | tr '\n' ' ')"
