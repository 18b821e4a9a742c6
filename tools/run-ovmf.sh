#!/usr/bin/env bash
# Boots the test application on OVMF under QEMU (q35, TCG), prints what it reports, and judges
# the run.
#
#   tools/run-ovmf.sh --platform [--code FILE [--no-s3]] [--timeout SECONDS]
#   tools/run-ovmf.sh [--report] [--timeout SECONDS]
#
# --platform: the platform run. The platform image (build/platform/OVMF_CODE_4M.fd, the
# drivers in its DXE volume) booted twice with one variable store: the first boot stores
# "Setup", the drivers of the second read it before the application looks at what they did.
# The board's ports are captured in both boots, and after each the host build's platform-ports
# compares the bytes with those the same drivers send on the simulated board (so it needs the
# host preset). Then a third boot, on Debian's OVMF with a fresh store: the cases that dispatch
# cannot reach, with the drivers loaded by hand. --code: another image with the drivers in its
# DXE volume for the first two boots, such as the OVMF that EDK II built from source with the
# package's INF lines (tools/edk2/ovmf-build.sh); --no-s3 boots those two with S3 off, which an
# OVMF whose PEI phase is X64 needs with SMM (it hangs before the application otherwise).
# Without --platform: that third boot alone. --report: on the same firmware, what each driver
# image does when it starts, instead of checks.
# Checks print every check and "N passed, N failed"; the run exits non-zero on a failed check,
# a missing closing line, a time-out, or an exit that is not the app's own.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=ovmf-machine.sh
source "$here/tools/ovmf-machine.sh"
mode=checks
timeout_s=120
debian=/usr/share/OVMF/OVMF_CODE_4M.fd
platform="$here/build/platform/OVMF_CODE_4M.fd"
app="$here/build/firmware/firmware-tests/FirmwareTestApp.efi"
ports="$here/build/host/firmware-tests/platform-ports"
# Each boot: its load options, the firmware, the variable store (a fresh one per name), and
# whether the board's ports are captured.
boots=("hand-loaded|$debian|hand|no")
platform_args=()
while (($#)); do
  case "$1" in
    --report) mode=report; boots=("report|$debian|report|no") ;;
    --platform) platform_run=1 ;;
    --code) platform=$2; shift ;;
    --no-s3) platform_args=(-global ICH9-LPC.disable_s3=1) ;;
    --timeout) timeout_s=$2; shift ;;
    *) echo "run-ovmf: unknown argument $1"; exit 2 ;;
  esac
  shift
done
if [ -n "${platform_run:-}" ]; then
  boots=("store|$platform|platform|yes" "checks|$platform|platform|yes" "hand-loaded|$debian|hand|no")
fi
needed=("$app")
for b in "${boots[@]}"; do
  IFS='|' read -r _ code _ capture <<<"$b"
  needed+=("$code")
  [ "$capture" = yes ] && needed+=("$ports")
done

vars_template=/usr/share/OVMF/OVMF_VARS_4M.fd
for f in "$vars_template" "${needed[@]}"; do
  [ -f "$f" ] || { echo "run-ovmf: missing $f (tools/install-deps.sh, then tools/build.sh)"; exit 2; }
done
command -v qemu-system-x86_64 >/dev/null || { echo "run-ovmf: qemu-system-x86_64 not installed"; exit 2; }

work=$(mktemp -d /tmp/ovmf-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
# OVMF_KEEP_LOGS=DIR keeps each boot's logs and captures in DIR/<boot>/.
keep_logs() {
  [ -n "${OVMF_KEEP_LOGS:-}" ] || return 0
  mkdir -p "$OVMF_KEEP_LOGS/$boot" && cp "$work"/*.log "$work"/*.bin "$OVMF_KEEP_LOGS/$boot"/ 2>/dev/null
  return 0
}

fail() {
  keep_logs
  echo "run-ovmf: $1"
  echo "---- serial log (tail) ----"
  tail -n 40 "$work/serial.log"
  echo "---- debug console (tail) ----"
  tail -n 20 "$work/debug.log"; echo
  echo "$total_passed passed, $((total_failed + 1)) failed"
  exit 1
}

total_passed=0
total_failed=0
start=$(date +%s%N)
for b in "${boots[@]}"; do
  IFS='|' read -r boot code store capture <<<"$b"
  rm -f "$work/debug.log" "$work/serial.log" "$work/ports.log" "$work"/port-*.bin
  [ -f "$work/$store.fd" ] || cp "$vars_template" "$work/$store.fd"
  ovmf_machine_args "$code" "$work/$store.fd" "$app" "$boot" "$work"
  [ "$capture" = yes ] && ovmf_capture_args "$work" && OVMF_MACHINE_ARGS+=("${platform_args[@]}")
  timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 "${OVMF_MACHINE_ARGS[@]}" </dev/null
  status=$?
  touch "$work/debug.log" "$work/serial.log"
  # The app's own lines; the firmware's log may share the port.
  grep -a -E '^(BEGIN|SUITE|CHECK|NOTE|REPORT|SUMMARY)' "$work/debug.log" | sed -e 's/^CHECK //' -e 's/^REPORT //' \
    -e 's/^SUITE /== /' > "$work/app.log"
  if [ "$mode" = report ]; then grep -v '^SUMMARY' "$work/app.log"; else cat "$work/app.log"; fi

  [ "$status" -eq 124 ] || [ "$status" -eq 137 ] && fail "$boot boot timed out after ${timeout_s}s (a driver may have faulted or hung)"
  summary=$(grep -a '^SUMMARY ' "$work/debug.log" | tail -n 1)
  [ -n "$summary" ] || fail "no closing line from the test application in the $boot boot (QEMU exit status $status)"
  passed=$(sed -E 's/^SUMMARY ([0-9]+) passed, ([0-9]+) failed.*/\1/' <<<"$summary")
  failed=$(sed -E 's/^SUMMARY ([0-9]+) passed, ([0-9]+) failed.*/\2/' <<<"$summary")
  case "$status" in
    33) [ "$failed" -eq 0 ] || fail "exit status says pass but $failed checks failed" ;;
    35) [ "$failed" -gt 0 ] || fail "exit status says failure but no check failed" ;;
    *) fail "QEMU exit status $status is not the test application's (33 pass, 35 fail)" ;;
  esac
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  if [ "$capture" = yes ]; then
    "$ports" "$boot" "$work" > "$work/ports.log" 2>&1
    grep -a '^CHECK ' "$work/ports.log" | sed -e 's/^CHECK //'
    summary=$(grep -a '^SUMMARY ' "$work/ports.log" | tail -n 1)
    [ -n "$summary" ] || { tail -n 20 "$work/ports.log"; fail "no closing line from platform-ports after the $boot boot"; }
    total_passed=$((total_passed + $(sed -E 's/^SUMMARY ([0-9]+) passed.*/\1/' <<<"$summary")))
    total_failed=$((total_failed + $(sed -E 's/^SUMMARY [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$summary")))
  fi
  keep_logs
done
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
echo "run-ovmf: QEMU ran $((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000)))s (${#boots[@]} boot(s))"
if [ "$mode" = checks ]; then
  echo "$total_passed passed, $total_failed failed"
else
  echo "run-ovmf: report done"
fi
[ "$total_failed" -eq 0 ]
