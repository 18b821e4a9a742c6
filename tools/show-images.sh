#!/usr/bin/env bash
# Builds the UEFI images and the platform image, shows what each image is (the image checker's
# verdict and size), then boots the platform image and shows each driver as its firmware
# dispatched it and what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
build/host/tools/check-image/check_image build/firmware/images
echo
echo "Booting the platform image (OVMF with the drivers in its DXE volume), twice:"
tools/run-ovmf.sh --platform
