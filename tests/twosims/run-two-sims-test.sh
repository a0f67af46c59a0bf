#!/bin/sh
# ctest two_sims: scripts/two-sims for 15 s against this build, then the
# checker on both reports. Skipped (exit 77) where network namespaces cannot
# be made.
#   run-two-sims-test.sh SOURCE_DIR BUILD_DIR CHECKER
set -u
SRC=$1 BUILD=$2 CHECKER=$3
if [ "$(id -u)" != 0 ]; then
  echo "two_sims: skipped: needs root (network namespaces)"
  exit 77
fi
# A name of its own, so a scripts/two-sims run by hand is not disturbed.
PREFIX=vt$$
if ! command -v ip >/dev/null || ! ip netns add "$PREFIX-probe" 2>/dev/null; then
  echo "two_sims: skipped: ip netns is unavailable here"
  exit 77
fi
ip netns del "$PREFIX-probe"

OUT=$(mktemp -d "${TMPDIR:-/tmp}/velmir-two-sims.XXXXXX")
VELMIR_NETNS_PREFIX=$PREFIX "$SRC/scripts/two-sims" --build "$BUILD" --seconds 15 \
  --out "$OUT" --no-check
status=$?
if [ $status = 0 ]; then
  "$CHECKER" --a "$OUT/a.json" --b "$OUT/b.json" --tolerance 150
  status=$?
fi
if [ $status != 0 ]; then
  for f in a.log b.log relay.log; do
    echo "---- $f (last lines)"
    tail -n 15 "$OUT/$f" 2>/dev/null
  done
fi
rm -rf "$OUT"
exit $status
