#!/usr/bin/env bash
# Runs one driver image on the simulated board and prints what it did (service calls, every
# port and MMIO access with the device's view, variables written, protocols installed).
#
#   tools/run-image.sh IMAGE [--part NAME] [--capacity CODE] [--ec present|absent|stuck]
#                      [--setup FILE] [--ready-to-boot] [--quiet]
#
# IMAGE: a driver name (FlashAccessDxe, ...) taken from $IMAGE_DIR or build/firmware/images/,
# or a path to an .efi file. Builds what is missing first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
if [ ! -d build/firmware/images ] || [ -z "$(ls build/firmware/images/*.efi 2>/dev/null)" ]; then
  cmake --preset firmware >/dev/null && cmake --build --preset firmware >/dev/null
fi
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target run-image >/dev/null
exec build/host/tools/run-image/run-image "$@"
