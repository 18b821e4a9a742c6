# Sourced by the scripts that boot OVMF: the one machine they all use.
# ovmf_machine_args CODE VARS APP APPEND WORK fills the array OVMF_MACHINE_ARGS: q35 with the
# pflash pair, the application as -kernel with its command line (none when APP is empty), the
# debug console and serial port logged under WORK, and isa-debug-exit for the application's
# verdict.
ovmf_machine_args() {
  OVMF_MACHINE_ARGS=(
    -machine q35 -m 512M -cpu qemu64
    -drive if=pflash,format=raw,unit=0,readonly=on,file="$1"
    -drive if=pflash,format=raw,unit=1,file="$2")
  [ -n "$3" ] && OVMF_MACHINE_ARGS+=(-kernel "$3" -append "$4")
  OVMF_MACHINE_ARGS+=(
    -display none -nodefaults -no-reboot -net none -monitor none
    -debugcon file:"$5/debug.log" -global isa-debugcon.iobase=0x402
    -serial file:"$5/serial.log"
    -device isa-debug-exit,iobase=0xf4,iosize=0x04)
}

# ovmf_capture_args WORK appends to OVMF_MACHINE_ARGS an isa-debugcon device for each port of
# firmware-tests/platform/captured_ports.def: every byte written to the port goes to
# WORK/port-<port>.bin, and every read gets the answer given there.
ovmf_capture_args() {
  local def port answer
  def="$(dirname "${BASH_SOURCE[0]}")/../firmware-tests/platform/captured_ports.def"
  while read -r port answer; do
    OVMF_MACHINE_ARGS+=(-chardev "file,id=port$port,path=$1/port-$port.bin"
      -device "isa-debugcon,iobase=$port,chardev=port$port,readback=$answer")
  done < <(sed -n 's/^CAPTURED_PORT(\(0x[0-9A-Fa-f]*\), *\(0x[0-9A-Fa-f]*\)).*/\1 \2/p' "$def")
}
