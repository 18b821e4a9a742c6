#!/usr/bin/env bash
# Configures and builds both presets: the UEFI images and the host build with its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset firmware >/dev/null
cmake --build --preset firmware
cmake --preset host >/dev/null
cmake --build --preset host
