#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is missing, and
# makes the archive's source packages reachable (EDK II's build of the package and of OVMF
# starts from Debian's edk2 source).
set -euo pipefail
packages=(cmake ninja-build g++ clang-14 lld-14 llvm-14 libclang-rt-14-dev libgtest-dev libgmock-dev
          qemu-system-x86 ovmf mtools gdb python3 python3-capstone libunicorn-dev libcapstone-dev pkg-config
          # EDK II's BaseTools and build: apt-get source unpacks with dpkg-source
          dpkg-dev xz-utils make gcc nasm acpica-tools uuid-dev)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
updated=""
# deb-src entries with the archives and suites of the system's deb entries, both formats.
if ! apt-cache showsrc edk2 2>/dev/null | grep '^Package: edk2' >/dev/null; then
  src=/etc/apt/sources.list.d/board-drivers-src
  shopt -s nullglob
  lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  sources=(/etc/apt/sources.list.d/*.sources)
  shopt -u nullglob
  existing=()
  written=()
  for f in "${lists[@]}"; do [ -f "$f" ] && [ "$f" != "$src.list" ] && existing+=("$f"); done
  if ((${#existing[@]})); then
    sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "${existing[@]}" | $sudo tee "$src.list" >/dev/null
    written+=("$src.list")
  fi
  existing=()
  for f in "${sources[@]}"; do [ "$f" != "$src.sources" ] && existing+=("$f"); done
  if ((${#existing[@]})); then
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:([^\n]*[ \t])?deb([ \t\n]|$)/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      "${existing[@]}" | $sudo tee "$src.sources" >/dev/null
    written+=("$src.sources")
  fi
  echo "deb-src entries written: ${written[*]:-none (no deb entries found)}"
  $sudo apt-get update -q
  updated=1
fi
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  [ -n "$updated" ] || $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
