#!/usr/bin/env bash
# The binary package through EDK II's own build, as an integrator runs it: the package copied
# into a workspace as BoardDriversBin/, a platform whose FDF holds the README's seven INF lines
# and rules in a volume with a base address (execute-in-place, so GenFv rebases every DRIVER
# file) and no FvForceRebase, then `build`. Each firmware file GenFds writes must equal
# build/firmware/ffs/<Image>.ffs, and each DXE image in the device image must be rebased to
# where it lies.
#
#   tools/edk2/package-check.sh        (needs the firmware preset built and tools/edk2/setup.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/edk2/build-in-workspace.sh"
package="$here/build/firmware/package"
[ -d "$package" ] || { echo "package-check: no $package (cmake --build --preset firmware)"; exit 2; }
tree=$("$here/tools/edk2/setup.sh")
ws="$here/build/edk2/package-check"
rm -rf "$ws"
mkdir -p "$ws/BoardPackageCheck"
cp -r "$package" "$ws/BoardDriversBin"
base=0xFFF00000

cat >"$ws/BoardPackageCheck/BoardPackageCheck.dsc" <<DSC
[Defines]
  PLATFORM_NAME           = BoardPackageCheck
  PLATFORM_GUID           = 6F1B4C2A-93D5-4E37-8A0C-2B7E95D14F68
  PLATFORM_VERSION        = 0.1
  DSC_SPECIFICATION       = 0x00010005
  OUTPUT_DIRECTORY        = Build/BoardPackageCheck
  SUPPORTED_ARCHITECTURES = X64
  BUILD_TARGETS           = RELEASE
  SKUID_IDENTIFIER        = DEFAULT
  FLASH_DEFINITION        = BoardPackageCheck/BoardPackageCheck.fdf
DSC

{
  cat <<FDF
[FD.BOARD]
BaseAddress   = $base
Size          = 0x00100000
ErasePolarity = 1
BlockSize     = 0x1000
NumBlocks     = 0x100

0x00000000|0x00100000
FV = BOARDFV

# A volume at a fixed flash address, as most platforms' DXE volumes are: GenFv rebases its
# DRIVER files in place.
[FV.BOARDFV]
FvAlignment        = 16
ERASE_POLARITY     = 1
MEMORY_MAPPED      = TRUE
STICKY_WRITE       = TRUE
LOCK_CAP           = TRUE
LOCK_STATUS        = TRUE
WRITE_DISABLED_CAP = TRUE
WRITE_ENABLED_CAP  = TRUE
WRITE_STATUS       = TRUE
WRITE_LOCK_CAP     = TRUE
WRITE_LOCK_STATUS  = TRUE
READ_DISABLED_CAP  = TRUE
READ_ENABLED_CAP   = TRUE
READ_STATUS        = TRUE
READ_LOCK_CAP      = TRUE
READ_LOCK_STATUS   = TRUE

FDF
  python3 "$here/tools/edk2/integrator.py" fdf-lines "$here/README.md"
  echo
  python3 "$here/tools/edk2/integrator.py" fdf-rules "$here/README.md"
} >"$ws/BoardPackageCheck/BoardPackageCheck.fdf"
if grep -q FvForceRebase "$ws/BoardPackageCheck/BoardPackageCheck.fdf"; then
  echo "package-check: the FDF must not say FvForceRebase"; exit 1
fi

start=$(date +%s)
edk2_build "$ws" "$tree" "$ws/build.log" -p BoardPackageCheck/BoardPackageCheck.dsc -a X64 -t GCC5 -b RELEASE -n 2 ||
  { echo "package-check: EDK II's build failed (log: $ws/build.log)"; exit 1; }
echo "package-check: EDK II's build of the package took $(($(date +%s) - start)) s"
fv="$ws/Build/BoardPackageCheck/RELEASE_GCC5/FV"
python3 "$here/tools/edk2/integrator.py" compare "$fv" "$here/build/firmware/ffs" "$fv/BOARD.fd" "$base"
