#!/usr/bin/env bash
# The image checker must reject what a firmware would refuse: each case patches one field of a
# good image and expects the checker to fail naming that field.
set -euo pipefail
checker=$1
good=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pe=$(od -An -t u4 -j 60 -N 4 "$good" | tr -d ' ')
opt=$((pe + 24))
patch() {  # offset, little-endian hex bytes
  cp "$good" "$work/bad.efi"
  printf "$(sed 's/\(..\)/\\x\1/g' <<<"$2")" | dd of="$work/bad.efi" bs=1 seek="$1" conv=notrunc status=none
}
expect_fail() {  # field, offset, bytes
  patch "$2" "$3"
  if out=$("$checker" "$work/bad.efi"); then echo "not rejected: $1"; exit 1; fi
  grep -q "$1" <<<"$out" || { echo "rejected without naming $1: $out"; exit 1; }
  echo "rejected: $1"
}
"$checker" "$good" >/dev/null
expect_fail "Machine" $((pe + 4)) 4c01                      # i386
expect_fail "Characteristics" $((pe + 22)) 2320             # relocations stripped
expect_fail "Magic" "$opt" 0b01                             # PE32
expect_fail "Subsystem" $((opt + 68)) 0a00                  # EFI application
expect_fail "ImageBase" $((opt + 24)) 00004000              # 0x400000
expect_fail "Import directory" $((opt + 112 + 8)) 00100000  # import table RVA
expect_fail "AddressOfEntryPoint" $((opt + 16)) ffff0000    # outside every section
echo "all rejected"
