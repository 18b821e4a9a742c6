#!/usr/bin/env bash
# The platform checks on the OVMF that EDK II builds from source with the board's drivers
# (tools/edk2/ovmf-build.sh): its two platform boots, then the drivers loaded by hand on
# Debian's OVMF. OvmfPkgX64's PEI phase stops at start-up when SMM and S3 are both on (S3 resume
# with SMM needs the IA32 PEI phase of OvmfPkgIa32X64), so those two boots run with S3 off.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
"$here/tools/edk2/ovmf-build.sh"
exec "$here/tools/run-ovmf.sh" --platform --code "$here/build/edk2/ovmf/out/OVMF_CODE_4M.fd" --no-s3
