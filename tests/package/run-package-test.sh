#!/bin/sh
# The release as a pilot gets it: scripts/package builds the zip, which is
# unzipped into a simulator folder's Resources/plugins; velmir-sim then loads
# lin.xpl from there, in a network namespace of its own (port 7472 is fixed).
#
#   run-package-test.sh SOURCE BUILD
set -eu
SOURCE=$1
BUILD=$2
TMP=$(mktemp -d "${TMPDIR:-/tmp}/velmir-package-test.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
failed=0
check() {  # check DESCRIPTION COMMAND...
  what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}

"$SOURCE/scripts/package" --build "$BUILD" --build-win "$SOURCE/build-win" --out "$TMP/velmir.zip"

listing=$(unzip -Z1 "$TMP/velmir.zip" | grep -v '/$' | sort | tr '\n' ' ')
inside() { case " $listing" in *" $1 "*) return 0 ;; esac; return 1; }
outside=$(unzip -Z1 "$TMP/velmir.zip" | grep -v '^Velmir/' || true)
check "the zip holds lin.xpl, win.xpl and INSTALL.txt ($listing)" \
  eval 'inside Velmir/64/lin.xpl && inside Velmir/64/win.xpl && inside Velmir/INSTALL.txt'
check "nothing lies outside the plugin folder" test -z "$outside"

PLUGINS="$TMP/X-Plane/Resources/plugins"
mkdir -p "$PLUGINS"
unzip -q "$TMP/velmir.zip" -d "$PLUGINS"
magic() { head -c 4 "$1" | od -An -c | tr -d ' \n'; }
check "lin.xpl is an ELF module" test "$(magic "$PLUGINS/Velmir/64/lin.xpl")" = "177ELF"
check "win.xpl is a Windows module" test "$(magic "$PLUGINS/Velmir/64/win.xpl" | cut -c1-2)" = "MZ"
check "INSTALL.txt says where it goes" grep -q "Resources/plugins" "$PLUGINS/Velmir/INSTALL.txt"
NET="$PLUGINS/Velmir/velmir-net"
check "the Linux velmir-net is an ELF program" test "$(magic "$NET/linux/velmir-net")" = "177ELF"
check "velmir-net.exe is a Windows program" test "$(magic "$NET/windows/velmir-net.exe" | cut -c1-2)" = "MZ"
check "the macOS velmir-net is a universal Mach-O file" \
  test "$(head -c 4 "$NET/macos/velmir-net" | od -An -tx1 | tr -d ' \n')" = "cafebabe"
check "the Linux velmir-net runs from the zip" "$NET/linux/velmir-net" --version
check "the broker configurations are there" \
  eval 'inside Velmir/broker/tls.conf && inside Velmir/broker/secure.conf && inside Velmir/broker/acl'
check "INSTALL.txt says where the settings file goes" grep -q 'APPDATA%.Velmir.velmir-net.ini' \
  "$PLUGINS/Velmir/INSTALL.txt"

# As the simulator does: its folder is the working folder, the plugin a path below it.
(cd "$TMP/X-Plane" && "$SOURCE/scripts/netns-run" "$BUILD/host/velmir-sim" --fast --seconds 3 \
  --plugin Resources/plugins/Velmir/64/lin.xpl) >"$TMP/sim.log" 2>&1 || {
  echo "FAIL velmir-sim exited with status $?"; failed=1; }
has() { grep -qF "$1" "$TMP/sim.log"; }
check "velmir-sim started the plugin from the zip" has "(Brannockdale.Velmir) started: XPluginStart returned 1"
check "the plugin listened for its client" has "Velmir: Listening for the client on port 7472."
check "it stopped and unloaded cleanly" has "unloaded: yes; flight loops left: 0; instances left: 0; host errors: 0"
[ "$failed" = 0 ] || { echo "---- velmir-sim's output"; cat "$TMP/sim.log"; }
exit "$failed"
