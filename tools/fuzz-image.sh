#!/usr/bin/env bash
# The long campaigns over MediaCapsuleSmm's image: both libFuzzer targets at once (one core
# each), each for MINUTES (default 15), seeded like CI's short runs (the host targets' corpora
# and tests/capsule/image_fuzz_inputs/), their corpora kept across campaigns in
# build/host/fuzz/long/<target>/. Prints each target's runs, inputs per second and the share of
# the image's basic blocks reached (IMAGE_FUZZ_COVERAGE_DETAIL=1: per function too); fails if
# either found something, whose input is then in build/host/fuzz/long/<target>-crash-*.
#
#   tools/fuzz-image.sh [MINUTES]
#
# Run after both builds (tools/build.sh). IMAGE_DIR=<dir> runs another image (a patched copy).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-15}
fuzz=build/host/fuzz
cmake --build --preset host --target capsule_fuzz_stage_block capsule_fuzz_command capsule_fuzz_heap_records \
  capsule_fuzz_image_sequence capsule_fuzz_image_heap_records >/dev/null
# The host corpora, from the same fixed-seed runs CI makes.
ctest --preset host -R '^capsule_(fuzz_stage_block|fuzz_command|fuzz_heap_records|image_seeds)$' >/dev/null
mkdir -p $fuzz/long/image_sequence $fuzz/long/image_heap_records
status=0
pids=()
for target in image_sequence:image_sequence_seeds image_heap_records:heap_records; do
  name=${target%%:*}
  seeds=${target##*:}
  $fuzz/capsule_$name -seed=1 -max_total_time=$((minutes * 60)) -max_len=4096 -rss_limit_mb=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix=$fuzz/long/$name- \
    $fuzz/long/$name tests/capsule/image_fuzz_inputs/$name $fuzz/corpus/$seeds >$fuzz/long/$name.log 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for name in image_sequence image_heap_records; do
  echo "== capsule_$name (log: $fuzz/long/$name.log)"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|^image coverage|^  |^finding|guest fault|instruction budget|^SUMMARY' \
    $fuzz/long/$name.log || true
done
exit $status
