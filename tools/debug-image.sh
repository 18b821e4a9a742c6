#!/usr/bin/env bash
# Stops gdb inside a driver image running on OVMF under QEMU.
#
#   tools/debug-image.sh [--symbols DIR] [--timeout SECONDS] [--check CHECK-ARGS... --] IMAGE FUNCTION
#
# Boots Debian's OVMF with the test application and "debug IMAGE": it loads IMAGE as the
# platform run's drivers start (firmware-tests/app/debug.cpp) and holds before starting it. gdb
# then attaches to QEMU's gdbstub, loads the symbols of the test application and of IMAGE at
# their load addresses (tools/debug/uefi_gdb.py, from the firmware's debug image info table),
# sets a breakpoint at FUNCTION, releases the hold and continues (tools/debug/session.py): the
# prompt comes back at FUNCTION with its source line shown. QEMU ends with gdb.
# --check runs tools/debug/check_stop.py in batch mode instead (see there), for the test suite.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=ovmf-machine.sh
source "$here/tools/ovmf-machine.sh"
symbols="$here/build/firmware/symbols"
app="$here/build/firmware/firmware-tests/FirmwareTestApp.efi"
timeout_s=""
check=()
while (($#)); do
  case "$1" in
    --symbols) symbols=$2; shift ;;
    --timeout) timeout_s=$2; shift ;;
    --check) shift; while (($#)) && [ "$1" != -- ]; do check+=("$1"); shift; done ;;
    *) break ;;
  esac
  shift
done
(($# == 2)) || { sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 2; }
image=$1 function=$2
# Interactive sessions may last; a scripted check must not hang the suite.
[ -n "$timeout_s" ] || { ((${#check[@]})) && timeout_s=100 || timeout_s=7200; }

ovmf_dir=/usr/share/OVMF
for f in "$ovmf_dir/OVMF_CODE_4M.fd" "$ovmf_dir/OVMF_VARS_4M.fd" "$app" "$symbols/$image.debug"; do
  [ -f "$f" ] || { echo "debug-image: missing $f (tools/install-deps.sh, then build the firmware preset)"; exit 2; }
done
for tool in qemu-system-x86_64 gdb; do
  command -v $tool >/dev/null || { echo "debug-image: $tool not installed (tools/install-deps.sh)"; exit 2; }
done

work=$(mktemp -d /tmp/debug-image.XXXXXX)
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$ovmf_dir/OVMF_VARS_4M.fd" "$work/vars.fd"

# The same machine as tools/run-ovmf.sh, with the gdbstub on a socket of this run only.
ovmf_machine_args "$ovmf_dir/OVMF_CODE_4M.fd" "$work/vars.fd" "$app" "debug $image" "$work"
timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 "${OVMF_MACHINE_ARGS[@]}" \
  -chardev socket,id=gdb,path="$work/gdb.sock",server=on,wait=off -gdb chardev:gdb </dev/null &
qemu_pid=$!

# Wait for the test application to hold with the image loaded.
for ((i = 0; i < 600; i++)); do
  hold=$(grep -a -m1 "^NOTE debug: $image loaded at" "$work/debug.log" 2>/dev/null) && break
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "${hold:-}" ]; then
  echo "debug-image: the test application did not hold at $image (not in this build?)"
  grep -a -E '^(BEGIN|SUITE|CHECK|NOTE)' "$work/debug.log" 2>/dev/null | tail -n 5
  tail -n 20 "$work/serial.log" 2>/dev/null
  exit 1
fi
echo "debug-image: ${hold#NOTE debug: }"

gdb_setup=(-ex "set pagination off" -ex "set architecture i386:x86-64"
           -x "$here/tools/debug/uefi_gdb.py" -x "$here/tools/debug/session.py"
           -ex "target remote $work/gdb.sock")
if ((${#check[@]})); then
  UEFI_SYMBOL_DIR="$symbols" DEBUG_IMAGE="$image" DEBUG_FUNCTION="$function" DEBUG_SOURCE_ROOT="$here" \
    gdb -q -nx -batch "${gdb_setup[@]}" -x "$here/tools/debug/check_stop.py" -ex "check-stop $(printf '%q ' "${check[@]}")"
  exit $?
fi
UEFI_SYMBOL_DIR="$symbols" gdb -q "${gdb_setup[@]}" -ex "debug-stop $image $function"
