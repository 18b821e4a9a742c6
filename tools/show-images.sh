#!/usr/bin/env bash
# Builds the UEFI images and shows what each one is: the image checker's verdict and size.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
build/host/tools/check_image build/firmware/images
echo
echo "Booting every image on OVMF (q35) and showing what it did:"
tools/run-ovmf.sh --report
