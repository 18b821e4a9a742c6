#!/usr/bin/env python3
"""Every image has its symbol files, and they describe that image.

  check_symbols.py IMAGES_DIR SYMBOLS_DIR [LLVM_PDBUTIL]

For each <Image>.efi: <Image>.pdb and <Image>.debug exist; the image's CodeView record names
<Image>.pdb with the GUID and age that the PDB and the .debug file carry; every section the
loader maps is byte for byte the same in the .debug file, at the same address; the image itself
carries no DWARF; the PDB lists functions. Prints one line per image; exits 1 on any failure.
"""
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402


def pdb_identity(pdbutil, path):
    out = subprocess.run([pdbutil, "dump", "-summary", path], capture_output=True, text=True, check=True).stdout
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", out).group(1)
    age = int(re.search(r"Age: (\d+)", out).group(1))
    return guid, age


def pdb_function_count(pdbutil, path):
    out = subprocess.run([pdbutil, "dump", "-symbols", path], capture_output=True, text=True, check=True).stdout
    return len(re.findall(r"S_[GL]PROC32", out))


def mapped(image, section):
    """Section bytes with the debug directory's PointerToRawData masked: a file offset, which
    differs between two files that hold the same image."""
    data = bytearray(image.loaded_bytes(section))
    rva, size = struct.unpack_from("<II", image.data, image.opt + 112 + 6 * 8)
    for entry in range(rva, rva + size, 28):
        if section.rva <= entry + 24 < section.rva + len(data):
            data[entry + 24 - section.rva:entry + 28 - section.rva] = bytes(4)
    return bytes(data)


def check(image_path, symbols, pdbutil):
    name = os.path.splitext(os.path.basename(image_path))[0]
    pdb_path, debug_path = (os.path.join(symbols, name + ext) for ext in (".pdb", ".debug"))
    for path in (pdb_path, debug_path):
        if not os.path.exists(path):
            return "missing " + path
    image, debug = pe.PeFile(image_path), pe.PeFile(debug_path)
    record = image.codeview()
    if record is None:
        return "no CodeView entry in its debug directory"
    guid, age, pdb_name = record
    if pdb_name != name + ".pdb":
        return "CodeView entry names %s, not %s.pdb" % (pdb_name, name)
    other = debug.codeview()
    if other != record:
        return "%s is from another link (%s, image %s age %d)" % (
            debug_path, "GUID %s age %d" % (pe.guid_text(other[0]), other[1]) if other else "no CodeView",
            pe.guid_text(guid), age)
    if pdb_identity(pdbutil, pdb_path) != (pe.guid_text(guid), age):
        return "%s is from another link (GUID/age %s, image %s age %d)" % (
            pdb_path, pdb_identity(pdbutil, pdb_path), pe.guid_text(guid), age)
    for section in image.sections:
        if section.name.startswith(".debug"):
            return "the image carries DWARF section %s" % section.name
        other = debug.section(section.name)
        if section.loaded and (other is None or other.rva != section.rva or mapped(debug, other) != mapped(image, section)):
            return "section %s differs from %s" % (section.name, debug_path)
    if debug.section(".debug_info") is None:
        return "%s has no DWARF" % debug_path
    functions = pdb_function_count(pdbutil, pdb_path)
    if functions == 0:
        return "%s lists no functions" % pdb_path
    return "ok   %-20s PDB %s age %d, %d functions" % (name, pe.guid_text(guid), age, functions)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    images, symbols = sys.argv[1:3]
    pdbutil = sys.argv[3] if len(sys.argv) == 4 else "llvm-pdbutil-14"
    paths = sorted(os.path.join(images, f) for f in os.listdir(images) if f.endswith(".efi"))
    if not paths:
        sys.exit("FAIL no .efi images in %s (build the firmware preset first)" % images)
    failures = 0
    for path in paths:
        result = check(path, symbols, pdbutil)
        if not result.startswith("ok"):
            result = "FAIL %s: %s" % (os.path.basename(path), result)
            failures += 1
        print(result)
    print("%d images, %d failed" % (len(paths), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
