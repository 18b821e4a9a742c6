#!/usr/bin/env python3
"""The integrator's side of the binary package, as the README gives it.

    integrator.py fdf-lines README.md           the README's INF lines, one a line
    integrator.py fdf-rules README.md           the README's binary rules
    integrator.py ovmf-fdf OvmfPkgX64.fdf README.md
        OVMF's FDF with the test platform's DXE driver, the README's INF lines, the test
        platform's SMM driver and the never-dispatched driver at the end of its DXE volume (the
        platform image's order), and the README's binary rules after its own
    integrator.py compare FV_DIR FFS_DIR FD BASE
        each board firmware file that EDK II's GenFds wrote (FV_DIR/Ffs/<guid><name>/) against
        FFS_DIR/<name>.ffs, byte for byte; then, in the flash device image FD (its volume at
        BASE), each DXE driver's image rebased by GenFv to the address where it lies.

The FDFs of the package and OVMF builds take their INF lines and rules from the README, so
what the README tells an integrator is what EDK II was given.
"""
import glob
import os
import re
import struct
import sys

DRIVERS = ("FlashAccessDxe", "MediaCapsuleSmm", "EcSetupSyncDxe", "SioSetupDxe", "EcBoardConfigDxe",
           "EcChannelConfigDxe", "LegacyInterruptDxe")


def fences(readme):
    with open(readme, encoding="utf-8") as f:
        return re.findall(r"^```[^\n]*\n(.*?)^```", f.read(), re.S | re.M)


def fdf_lines(readme):
    for body in fences(readme):
        lines = body.strip().splitlines()
        if lines and all(l.startswith("INF RuleOverride = BINARY ") for l in lines):
            return lines
    sys.exit("integrator: no fence of INF lines in " + readme)


def fdf_rules(readme):
    for body in fences(readme):
        if body.startswith("[Rule.Common.DXE_DRIVER.BINARY]"):
            return body
    sys.exit("integrator: no fence of binary rules in " + readme)


def sections(ffs):
    size = int.from_bytes(ffs[20:23], "little")
    pos, out = 24, []
    while pos + 4 <= size:
        length, kind = int.from_bytes(ffs[pos:pos + 3], "little"), ffs[pos + 3]
        if length < 4:
            break
        out.append((kind, pos + 4, length - 4))
        pos = (pos + length + 3) & ~3
    return out


def ovmf_fdf(fdf, readme):
    with open(fdf, encoding="utf-8") as f:
        text = f.read()
    end = text.index("\n[FV.FVMAIN_COMPACT]")
    lines = (["INF RuleOverride = BINARY TestPlatformBin/TestPlatformDxe/TestPlatformDxe.inf"] + fdf_lines(readme) +
             ["INF RuleOverride = BINARY TestPlatformBin/TestPlatformSmm/TestPlatformSmm.inf",
              "INF RuleOverride = BINARY TestPlatformBin/NeverDispatchedDxe/NeverDispatchedDxe.inf"])
    added = "\n# The board's drivers, as an integrator adds them, between the test platform's.\n" + "\n".join(lines) + "\n"
    return text[:end] + added + text[end:].rstrip("\n") + "\n\n" + fdf_rules(readme)


def compare(fv_dir, ffs_dir, fd_path, base):
    failures = 0
    with open(fd_path, "rb") as f:
        fd = f.read()
    for name in DRIVERS:
        with open(os.path.join(ffs_dir, name + ".ffs"), "rb") as f:
            ours = f.read()
        found = glob.glob(os.path.join(fv_dir, "Ffs", f"*{name}", "*.ffs"))
        if len(found) != 1:
            print(f"FAIL {name}: GenFds wrote {len(found)} firmware files for it")
            failures += 1
            continue
        with open(found[0], "rb") as f:
            theirs = f.read()
        if theirs != ours:
            at = next((i for i, (a, b) in enumerate(zip(theirs, ours)) if a != b), min(len(theirs), len(ours)))
            print(f"FAIL {name}: GenFds's file ({len(theirs)} bytes) differs from ours ({len(ours)}) at byte {at}")
            failures += 1
            continue
        # In the device image: the same file, its image rebased where it lies if it is a
        # DRIVER (GenFv leaves SMM files alone).
        at = fd.find(ours[:16])
        if at < 0:
            print(f"FAIL {name}: not in {os.path.basename(fd_path)}")
            failures += 1
            continue
        kind, start, length = next(s for s in sections(ours) if s[0] == 0x10)
        image = fd[at + start:at + start + length]
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        image_base = struct.unpack_from("<Q", image, pe + 24 + 24)[0]
        want = base + at + start if ours[18] == 0x07 else 0
        if image_base != want:
            print(f"FAIL {name}: ImageBase 0x{image_base:X} in the device image, expected 0x{want:X}")
            failures += 1
            continue
        where = f"rebased to 0x{image_base:X}" if want else "left at 0 (SMM)"
        print(f"PASS {name}: GenFds's firmware file equals build/firmware/ffs/{name}.ffs ({len(ours)} bytes); "
              f"in the volume {where}")
    print(f"{len(DRIVERS) - failures} passed, {failures} failed")
    return failures == 0


def main():
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "fdf-lines" and len(sys.argv) == 3:
        print("\n".join(fdf_lines(sys.argv[2])))
    elif cmd == "fdf-rules" and len(sys.argv) == 3:
        print(fdf_rules(sys.argv[2]), end="")
    elif cmd == "ovmf-fdf" and len(sys.argv) == 4:
        print(ovmf_fdf(sys.argv[2], sys.argv[3]), end="")
    elif cmd == "compare" and len(sys.argv) == 6:
        sys.exit(0 if compare(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5], 0)) else 1)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
