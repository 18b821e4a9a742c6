#!/usr/bin/env bash
# Builds one libFuzzer target with clang (-fsanitize=fuzzer,address) against the simulated
# platform and runs it with a fixed seed and run count, so that CI runs are repeatable.
#
#   tools/run-fuzz.sh CXX OUT_DIR NAME RUNS SOURCE...
set -euo pipefail
cxx=$1 out=$2 name=$3 runs=$4
shift 4
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$out/$name"
mkdir -p "$out"
# Rebuilt when any source or header of the tree is newer than the binary.
if [ ! -x "$bin" ] || [ -n "$(find "$root/capsule" "$root/support" "$root/sim" "$root/include" "$root/tests" \
                              -newer "$bin" -print -quit)" ]; then
  # The simulation is not instrumented for coverage: its branches would cost time and count
  # as new behaviour of the driver.
  printf 'src:%s/sim/*\n' "$root" >"$out/coverage-ignore.txt"
  "$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address -DUEFI_HOST=1 -Wno-unused-command-line-argument \
    -fsanitize-coverage-ignorelist="$out/coverage-ignore.txt" \
    -I"$root" -I"$root/include" -I"$root/support" "$@" -o "$bin"
fi
"$bin" -seed=1 -runs="$runs" -max_len=4096 -artifact_prefix="$out/$name-" -print_final_stats=1 2>&1 | tail -n 25
