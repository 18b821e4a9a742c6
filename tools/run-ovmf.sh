#!/usr/bin/env bash
# Boots the real-firmware test application on OVMF under QEMU (q35, TCG) with a fresh
# variable store, prints what it reports, and judges the run.
#
#   tools/run-ovmf.sh [--report] [--timeout SECONDS] [APP.efi]
#
# Checks mode (default): prints every check and "N passed, N failed"; exits non-zero on a
# failed check, a missing closing line, a time-out, or an exit that is not the app's own.
# --report: shows what each driver image does when it starts.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
mode=checks
timeout_s=120
app="$here/build/firmware/firmware-tests/FirmwareTestApp.efi"
while (($#)); do
  case "$1" in
    --report) mode=report ;;
    --timeout) timeout_s=$2; shift ;;
    *) app=$1 ;;
  esac
  shift
done

ovmf_dir=/usr/share/OVMF
for f in "$ovmf_dir/OVMF_CODE_4M.fd" "$ovmf_dir/OVMF_VARS_4M.fd" "$app"; do
  [ -f "$f" ] || { echo "run-ovmf: missing $f (tools/install-deps.sh, then build the firmware preset)"; exit 2; }
done
command -v qemu-system-x86_64 >/dev/null || { echo "run-ovmf: qemu-system-x86_64 not installed"; exit 2; }

work=$(mktemp -d /tmp/ovmf-run.XXXXXX)
trap '[ -n "${OVMF_KEEP_LOGS:-}" ] && cp "$work"/*.log "$OVMF_KEEP_LOGS"/ 2>/dev/null; rm -rf "$work"' EXIT
cp "$ovmf_dir/OVMF_VARS_4M.fd" "$work/vars.fd"

start=$(date +%s%N)
timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 \
  -machine q35 -m 512M -cpu qemu64 \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$ovmf_dir/OVMF_CODE_4M.fd" \
  -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" \
  -kernel "$app" -append "$mode" \
  -display none -nodefaults -no-reboot -net none -monitor none \
  -debugcon file:"$work/debug.log" -global isa-debugcon.iobase=0x402 \
  -serial file:"$work/serial.log" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null
status=$?
elapsed_ms=$((($(date +%s%N) - start) / 1000000))

touch "$work/debug.log" "$work/serial.log"
# The app's own lines; the firmware's log may share the port.
grep -a -E '^(BEGIN|SUITE|CHECK|NOTE|REPORT|SUMMARY)' "$work/debug.log" | sed -e 's/^CHECK //' -e 's/^REPORT //' \
  -e 's/^SUITE /== /' > "$work/app.log"
if [ "$mode" = report ]; then grep -v '^SUMMARY' "$work/app.log"; else cat "$work/app.log"; fi

fail() {
  echo "run-ovmf: $1"
  echo "---- serial log (tail) ----"
  tail -n 40 "$work/serial.log"
  echo "---- debug console (tail) ----"
  tail -n 20 "$work/debug.log"; echo
  echo "0 passed, 1 failed"
  exit 1
}

[ "$status" -eq 124 ] || [ "$status" -eq 137 ] && fail "timed out after ${timeout_s}s (a driver may have faulted or hung)"
summary=$(grep -a '^SUMMARY ' "$work/debug.log" | tail -n 1)
[ -n "$summary" ] || fail "no closing line from the test application (QEMU exit status $status)"
passed=$(sed -E 's/^SUMMARY ([0-9]+) passed, ([0-9]+) failed.*/\1/' <<<"$summary")
failed=$(sed -E 's/^SUMMARY ([0-9]+) passed, ([0-9]+) failed.*/\2/' <<<"$summary")
case "$status" in
  33) [ "$failed" -eq 0 ] || fail "exit status says pass but $failed checks failed" ;;
  35) ;;
  *) fail "QEMU exit status $status is not the test application's (33 pass, 35 fail)" ;;
esac
echo "run-ovmf: QEMU ran $((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000)))s"
if [ "$mode" = checks ]; then
  echo "$passed passed, $failed failed"
else
  echo "run-ovmf: report done"
fi
[ "$failed" -eq 0 ] && [ "$status" -eq 33 ]
