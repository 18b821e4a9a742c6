#!/usr/bin/env bash
# Counts the resets that a first boot through a normal boot option costs, on a fresh variable
# store: the machine of tools/run-ovmf.sh with no -kernel and a disk whose
# \EFI\BOOT\BOOTX64.EFI is the test application, which, started without options,
# reports the boot manager's memory-type bins and ends QEMU. With -no-reboot a reset ends QEMU
# with status 0 before the application has begun; the next boot keeps the variable store.
#
#   tools/boot-option-resets.sh [--timeout SECONDS]
#
# Cases: Debian's OVMF as it is; the platform image; the platform image after a -kernel boot
# that stored this boot's bins as "MemoryTypeInformation" unchanged, and one that stored them
# with 8192 more pages (MediaCapsuleSmm's 32 MiB staging buffer) in the EfiReservedMemoryType
# bin, as a platform whose default bins were sized for the drivers would start. Each case's
# count is checked against the one the README states; prints "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=ovmf-machine.sh
source "$here/tools/ovmf-machine.sh"
timeout_s=120
[ "${1:-}" = --timeout ] && timeout_s=$2

stock=/usr/share/OVMF/OVMF_CODE_4M.secboot.fd
platform="$here/build/platform/OVMF_CODE_4M.fd"
app="$here/build/firmware/firmware-tests/FirmwareTestApp.efi"
vars_template=/usr/share/OVMF/OVMF_VARS_4M.fd
for f in "$stock" "$platform" "$app" "$vars_template"; do
  [ -f "$f" ] || { echo "boot-option-resets: missing $f (tools/install-deps.sh, then tools/build.sh)"; exit 2; }
done
for t in qemu-system-x86_64 mformat mmd mcopy; do
  command -v "$t" >/dev/null || { echo "boot-option-resets: $t not installed (tools/install-deps.sh)"; exit 2; }
done

work=$(mktemp -d /tmp/boot-option-resets.XXXXXX)
trap 'rm -rf "$work"' EXIT
disk="$work/disk.img"
truncate --size 8M "$disk"
if ! { mformat -i "$disk" :: && mmd -i "$disk" ::/EFI ::/EFI/BOOT &&
  mcopy -i "$disk" "$app" ::/EFI/BOOT/BOOTX64.EFI; }; then
  echo "boot-option-resets: could not write the FAT disk"
  exit 2
fi

# boot CODE [APPEND]: one QEMU run; from the disk without APPEND, else the app by -kernel.
boot() {
  rm -f "$work/debug.log" "$work/serial.log"
  if [ $# -gt 1 ]; then
    ovmf_machine_args "$1" "$work/vars.fd" "$app" "$2" "$work"
  else
    ovmf_machine_args "$1" "$work/vars.fd" "" "" "$work"
    OVMF_MACHINE_ARGS+=(-drive file="$disk",format=raw,if=virtio)
  fi
  timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 "${OVMF_MACHINE_ARGS[@]}" </dev/null
  status=$?
  touch "$work/debug.log"
}

passed=0
failed=0
# run_case NAME WANT CODE [SEED-OPTIONS]: a fresh store, the seeding boot if any, then boots
# from the disk until the application begins; the resets before it are the count.
run_case() {
  local name=$1 want=$2 code=$3 resets=0 detail=""
  cp "$vars_template" "$work/vars.fd"
  if [ $# -gt 3 ]; then
    boot "$code" "$4"
    [ "$status" -eq 33 ] || detail="the seeding boot ended with QEMU status $status"
  fi
  while [ -z "$detail" ]; do
    boot "$code"
    if grep -aq '^BEGIN boot-option' "$work/debug.log"; then
      [ "$status" -eq 33 ] || detail="the application ended QEMU with status $status"
      break
    fi
    [ "$status" -eq 0 ] || { detail="QEMU status $status before the application began"; break; }
    resets=$((resets + 1))
    [ "$resets" -le 3 ] || { detail="still resetting after $resets boots"; break; }
  done
  if [ -z "$detail" ] && [ "$resets" -eq "$want" ]; then
    echo "PASS $name: $resets reset(s) before the boot option starts"
    passed=$((passed + 1))
  else
    echo "FAIL $name: ${detail:-$resets reset(s) before the boot option starts, $want expected}"
    failed=$((failed + 1))
  fi
  grep -a '^NOTE ' "$work/debug.log" | sed 's/^NOTE /  /'
}

start=$(date +%s%N)
run_case "Debian's OVMF, fresh variable store" 0 "$stock"
run_case "platform image, fresh variable store" 1 "$platform"
run_case "platform image, fresh store given the default bins as \"MemoryTypeInformation\"" 1 "$platform" "seed-bins"
run_case "platform image, fresh store given the default bins with 8192 more reserved pages" 0 "$platform" \
  "seed-bins staging"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
echo "boot-option-resets: QEMU ran $((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000)))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
