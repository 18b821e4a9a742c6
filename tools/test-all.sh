#!/usr/bin/env bash
# Every test, from a fresh machine: packages, both builds, then the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
ctest --preset host
# Its data and command counts are checked; its times are only shown.
build/host/tests/flash/flash-bench
