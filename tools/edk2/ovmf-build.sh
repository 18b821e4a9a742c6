#!/usr/bin/env bash
# OVMF built from Debian's edk2 source by EDK II's own build, with the board's drivers: the
# binary package and the test platform's drivers (packaged the same way) copied into the
# workspace, their INF lines (the README's, then the test platform's) added to the DXE volume
# of OvmfPkgX64.fdf and the README's binary rules to its rules, built with SMM and a 4 MiB
# flash as Debian builds its SMM image. Secure Boot is built in because Debian's Shell needs
# its library (a Debian patch hides the Shell when Secure Boot is on); the variable store
# holds no keys, so it is off, and the platform checks do not need it.
#
#   tools/edk2/ovmf-build.sh      writes build/edk2/ovmf/OVMF_CODE_4M.fd and OVMF_VARS_4M.fd
#
# Needs the firmware preset built and tools/edk2/setup.sh. tools/run-ovmf.sh --platform
# --code build/edk2/ovmf/OVMF_CODE_4M.fd boots it with the platform checks.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/edk2/build-in-workspace.sh"
package="$here/build/firmware/package"
platform="$here/build/firmware/firmware-tests/package"
for d in "$package" "$platform"; do
  [ -d "$d" ] || { echo "ovmf-build: no $d (cmake --build --preset firmware)"; exit 2; }
done
tree=$("$here/tools/edk2/setup.sh")
ws="$here/build/edk2/ovmf"
out="$ws/out"
mkdir -p "$ws"
rm -rf "$ws/BoardDriversBin" "$ws/TestPlatformBin" "$ws/OvmfPkg" "$out"
cp -r "$package" "$ws/BoardDriversBin"
cp -r "$platform" "$ws/TestPlatformBin"
# OvmfPkg shadowed in the workspace (it comes first in PACKAGES_PATH): hard links but for the FDF.
cp -al "$tree/OvmfPkg" "$ws/OvmfPkg"
fdf="$ws/OvmfPkg/OvmfPkgX64.fdf"
rm "$fdf"
python3 "$here/tools/edk2/integrator.py" ovmf-fdf "$tree/OvmfPkg/OvmfPkgX64.fdf" "$here/README.md" >"$fdf"

start=$(date +%s)
edk2_build "$ws" "$tree" "$ws/build.log" -p OvmfPkg/OvmfPkgX64.dsc -a X64 -t GCC5 -b RELEASE -n 2 \
  -D SMM_REQUIRE=TRUE -D FD_SIZE_4MB -D SECURE_BOOT_ENABLE=TRUE ||
  { echo "ovmf-build: EDK II's build of OVMF failed (log: $ws/build.log)"; exit 1; }
mkdir -p "$out"
cp "$ws/Build/OvmfX64/RELEASE_GCC5/FV/OVMF_CODE.fd" "$out/OVMF_CODE_4M.fd"
cp "$ws/Build/OvmfX64/RELEASE_GCC5/FV/OVMF_VARS.fd" "$out/OVMF_VARS_4M.fd"
echo "ovmf-build: EDK II's build of OVMF with the board's drivers took $(($(date +%s) - start)) s: $out/OVMF_CODE_4M.fd"
