#!/usr/bin/env bash
# EDK II from Debian's edk2 source package, with its BaseTools built: the integrator's tools
# that the package and OVMF builds use. Kept in build/edk2/ (EDK2_CACHE) across rebuilds and
# made once: a second call only checks it.
#
#   tools/edk2/setup.sh            prints the tree's path (EDK2_CACHE/edk2-<version>) last
#
# Needs the archive's deb-src entries and the build's packages (tools/install-deps.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
cache=${EDK2_CACHE:-$here/build/edk2}
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9  # one fetch and one BaseTools build when several tests start together

tree=$(find "$cache" -maxdepth 1 -type d -name 'edk2-*' | sort | tail -n 1)
if [ -z "$tree" ] || [ ! -f "$tree/.unpacked" ]; then
  apt-cache showsrc edk2 2>/dev/null | grep '^Package: edk2' >/dev/null ||
    { echo "edk2-setup: no deb-src entry gives edk2 (tools/install-deps.sh adds them)" >&2; exit 2; }
  rm -rf "$cache"/edk2-* "$cache"/edk2_*
  start=$(date +%s)
  (cd "$cache" && apt-get source -q edk2 >"$cache/source.log" 2>&1) ||
    { tail -n 20 "$cache/source.log" >&2; echo "edk2-setup: apt-get source edk2 failed" >&2; exit 1; }
  tree=$(find "$cache" -maxdepth 1 -type d -name 'edk2-*' | sort | tail -n 1)
  touch "$tree/.unpacked"
  echo "edk2-setup: $(basename "$tree") unpacked in $(($(date +%s) - start)) s" >&2
fi
if [ ! -f "$tree/.basetools-built" ]; then
  start=$(date +%s)
  nice -n 15 make -C "$tree/BaseTools" -j2 >"$cache/basetools.log" 2>&1 ||
    { tail -n 30 "$cache/basetools.log" >&2; echo "edk2-setup: BaseTools did not build" >&2; exit 1; }
  touch "$tree/.basetools-built"
  echo "edk2-setup: BaseTools built in $(($(date +%s) - start)) s" >&2
fi
echo "$tree"
