#!/usr/bin/env python3
"""Seeds of the image's call-sequence target from the host targets' corpora.

A StageBlock record of the host target is already one of the sequence target's (kind bytes
below 0x80 keep their meaning there; the rest become other records, as any seed may). A
command-target input (two bytes of block length, 16 bytes for the caller's buffer, then
25-byte requests) becomes: the 16 bytes written into the caller's buffer, that block staged
from its start, then each request as a command record.

usage: image_fuzz_seeds.py STAGE_BLOCK_CORPUS COMMAND_CORPUS OUT_DIR
"""
import hashlib
import os
import shutil
import struct
import sys


def command_seed(data: bytes) -> bytes:
    if len(data) < 2:
        return b""
    head = data[2:18]
    length = data[0] * 16 + data[1] % 16
    out = b"\xa0" + struct.pack("<H", 0) + head.ljust(16, b"\0")
    out += b"\x01" + struct.pack("<QIII", 0, 0, length, 0)  # from the caller's buffer, offset 0
    rest = data[2 + len(head):]
    for at in range(0, len(rest) - 24, 25):
        out += b"\x80" + rest[at:at + 25]
    return out


def main() -> int:
    stage_dir, command_dir, out_dir = sys.argv[1:4]
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    seeds = []
    for directory, convert in ((stage_dir, lambda d: d), (command_dir, command_seed)):
        for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
            with open(os.path.join(directory, name), "rb") as f:
                seeds.append(convert(f.read()))
    for seed in seeds:
        with open(os.path.join(out_dir, hashlib.sha1(seed).hexdigest()), "wb") as f:
            f.write(seed)
    print(f"{len(seeds)} seeds in {out_dir}")
    return 0 if seeds else 1


if __name__ == "__main__":
    sys.exit(main())
