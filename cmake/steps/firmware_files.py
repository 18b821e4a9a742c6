#!/usr/bin/env python3
"""PI firmware files for the driver images, and the binary package an integrator drops into
a platform's FDF.

    firmware_files.py <Image> <Image.efi> <out_dir> --guid G --kind dxe|mm --depex EXPR
                      --protocols <include/uefi> [--no-package]
    firmware_files.py --header <out.h> <Image>=<file guid>=<kind>... [--platform <Image>=...]

writes <out_dir>/ffs/<Image>.ffs and <out_dir>/package/<Image>/ (the .efi, the .depex, the
UI text and a binary-module INF). Each image's file GUID, kind and dependency expression are
declared once, in its add_uefi_driver() call; the expression names protocols by the GUID
globals of the headers in --protocols. --header writes the board images' file GUIDs, and those of
the test platform's images after --platform, as C++ tables for the code that looks for them.
"""
import argparse
import glob
import os
import re
import struct
import sys
import uuid

VERSION = "1.0"

FV_FILETYPE = {"dxe": 0x07, "mm": 0x0A}
DEPEX_SECTION = {"dxe": 0x13, "mm": 0x1C}
MODULE_TYPE = {"dxe": "DXE_DRIVER", "mm": "DXE_SMM_DRIVER"}
DEPEX_INF_TYPE = {"dxe": "DXE_DEPEX", "mm": "SMM_DEPEX"}
SECTION_PE32, SECTION_VERSION, SECTION_UI = 0x10, 0x14, 0x15
FILE_STATE_VALID = 0x07  # header construction, header valid, data valid (positive polarity)
FILE_CHECKSUM_NONE = 0xAA
DEPEX_OP = {"AND": 0x03, "OR": 0x04, "NOT": 0x05, "TRUE": 0x06, "FALSE": 0x07}
DEPEX_PUSH, DEPEX_END = 0x02, 0x08


class FormatError(Exception):
    pass


def guid_bytes(text):
    try:
        return uuid.UUID(text).bytes_le
    except ValueError:
        raise FormatError(f"not a GUID: {text!r}") from None


def sum8(data):
    return sum(data) & 0xFF


GUID_GLOBAL = re.compile(r"EFI_GUID\s+(g\w+)\s*=\s*\{\s*0x([0-9A-Fa-f]{1,8})\s*,\s*0x([0-9A-Fa-f]{1,4})\s*,"
                         r"\s*0x([0-9A-Fa-f]{1,4})\s*,\s*\{((?:\s*0x[0-9A-Fa-f]{1,2}\s*,?){8})\}\s*\}")


def header_guids(directory):
    """The GUID globals (gXxxGuid = {...}) that the headers in a directory define, as text."""
    found = {}
    for path in sorted(glob.glob(os.path.join(directory, "*.h"))):
        with open(path, encoding="utf-8") as f:
            for m in GUID_GLOBAL.finditer(f.read()):
                tail = [int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]+)", m.group(5))]
                found[m.group(1)] = str(uuid.UUID(fields=(int(m.group(2), 16), int(m.group(3), 16),
                                                          int(m.group(4), 16), tail[0], tail[1],
                                                          int.from_bytes(bytes(tail[2:]), "big")))).upper()
    if not found:
        raise FormatError(f"no GUID globals in {directory}/*.h")
    return found


def compile_depex(expr, protocols):
    """Infix AND/OR/NOT/TRUE/FALSE with parentheses over protocol names (keys of protocols) or
    GUIDs, to the PI postfix opcodes."""
    tokens = expr.replace("(", " ( ").replace(")", " ) ").split()
    pos = 0

    def peek():
        return tokens[pos] if pos < len(tokens) else None

    def take():
        nonlocal pos
        pos += 1
        return tokens[pos - 1]

    def primary():
        t = peek()
        if t is None:
            raise FormatError(f"dependency expression ends early: {expr!r}")
        take()
        if t == "(":
            code = disjunction()
            if peek() != ")":
                raise FormatError(f"dependency expression misses ')': {expr!r}")
            take()
            return code
        if t == "NOT":
            return primary() + bytes([DEPEX_OP["NOT"]])
        if t in ("TRUE", "FALSE"):
            return bytes([DEPEX_OP[t]])
        guid = protocols.get(t, t)
        if t not in protocols and len(t) != 36:
            raise FormatError(f"unknown protocol {t!r} in dependency expression")
        return bytes([DEPEX_PUSH]) + guid_bytes(guid)

    def binary(operand, op):
        code = operand()
        while peek() == op:
            take()
            code += operand() + bytes([DEPEX_OP[op]])
        return code

    def conjunction():
        return binary(primary, "AND")

    def disjunction():
        return binary(conjunction, "OR")

    code = disjunction()
    if peek() is not None:
        raise FormatError(f"unexpected {peek()!r} in dependency expression {expr!r}")
    return code + bytes([DEPEX_END])


def section(kind, body):
    size = 4 + len(body)
    if size >= 1 << 24:
        raise FormatError(f"section of {size} bytes needs the extended header")
    return size.to_bytes(3, "little") + bytes([kind]) + body


def ucs2z(text):
    return text.encode("utf-16-le") + b"\0\0"


def ffs_file(name_guid, file_type, sections):
    """A PI firmware file (FFS2 header) of 4-byte aligned sections, state as for positive
    polarity; a volume with erase polarity 1 stores the state inverted."""
    data = b""
    for s in sections:
        data += b"\0" * (-len(data) % 4) + s
    size = 24 + len(data)
    if size >= 1 << 24:
        raise FormatError(f"firmware file of {size} bytes needs the extended header")
    header = bytearray(guid_bytes(name_guid) + bytes([0, 0, file_type, 0]) + size.to_bytes(3, "little") + b"\0")
    header[16] = -sum8(header) & 0xFF  # header checksum with the file checksum and state at 0
    header[17] = FILE_CHECKSUM_NONE
    header[23] = FILE_STATE_VALID
    return bytes(header) + data


def build(name, image, guid, kind, depex_expr, protocols):
    depex = compile_depex(depex_expr, protocols)
    ffs = ffs_file(guid, FV_FILETYPE[kind], [
        section(DEPEX_SECTION[kind], depex),
        section(SECTION_PE32, image),
        section(SECTION_UI, ucs2z(name)),
        section(SECTION_VERSION, struct.pack("<H", 0) + ucs2z(VERSION)),
    ])
    return ffs, depex


# EDK II takes a DXE_SMM_DRIVER that declares no PI version of at least 1.10 for a pre-PI SMM
# driver, and its GenFds refuses to put one in an SMM file.
PI_SPECIFICATION_VERSION = {"mm": "0x0001000A"}


def inf_text(name, guid, kind):
    pi = PI_SPECIFICATION_VERSION.get(kind)
    return (f"# Binary module: the {name} image with its dependency expression.\n"
            "[Defines]\n"
            "  INF_VERSION    = 0x00010005\n"
            f"  BASE_NAME      = {name}\n"
            f"  FILE_GUID      = {guid}\n"
            f"  MODULE_TYPE    = {MODULE_TYPE[kind]}\n"
            + (f"  PI_SPECIFICATION_VERSION = {pi}\n" if pi else "") +
            f"  VERSION_STRING = {VERSION}\n"
            "\n[Binaries.X64]\n"
            f"  PE32|{name}.efi|*\n"
            f"  {DEPEX_INF_TYPE[kind]}|{name}.depex|*\n"
            f"  UI|{name}.ui|*\n")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)  # never a half-written output after a failure


def guid_initializer(text):
    u = uuid.UUID(text)
    f = u.fields
    rest = ", ".join(f"0x{b:02X}" for b in u.bytes[8:])
    return f"{{0x{f[0]:08X}, 0x{f[1]:04X}, 0x{f[2]:04X}, {{{rest}}}}}"


def header_text(files, platform_files):
    """(name, file GUID, kind) of each board image and of each test platform image, in
    declaration order."""
    def table(name, entries):
        rows = "".join(f'    {{"{n}", {guid_initializer(g)}, {"true" if k == "mm" else "false"}}},\n'
                       for n, g, k in entries)
        return f"\ninline constexpr BOARD_FIRMWARE_FILE {name}[] = {{\n{rows}}};\n"
    return ("// Generated by cmake/steps/firmware_files.py from the drivers' declarations.\n#pragma once\n"
            "#include <uefi/uefi.h>\n\nstruct BOARD_FIRMWARE_FILE {\n  const char *Name;\n  EFI_GUID FileGuid;\n"
            "  bool Mm;\n};\n" + table("BoardFirmwareFiles", files) + table("TestPlatformFirmwareFiles", platform_files))


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--header":
        args = sys.argv[3:]
        split = args.index("--platform") if "--platform" in args else len(args)
        files = [tuple(arg.split("=")) for arg in args[:split]]
        platform_files = [tuple(arg.split("=")) for arg in args[split + 1:]]
        if not files or any(len(f) != 3 or f[2] not in FV_FILETYPE for f in files + platform_files):
            sys.exit(f"firmware_files: --header takes <Image>=<file guid>=<kind>..., not {args}")
        write(sys.argv[2], header_text(files, platform_files).encode())
        return
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("name")
    p.add_argument("image")
    p.add_argument("out_dir")
    p.add_argument("--guid", required=True)
    p.add_argument("--kind", choices=FV_FILETYPE, required=True)
    p.add_argument("--depex", required=True)
    p.add_argument("--protocols", required=True, help="the headers' directory (include/uefi)")
    p.add_argument("--no-package", action="store_true", help="the firmware file only")
    a = p.parse_args()
    guid, kind = a.guid, a.kind
    try:
        with open(a.image, "rb") as f:
            image = f.read()
        if image[:2] != b"MZ":
            raise FormatError(f"{a.image}: not a PE image (no MZ signature)")
        ffs, depex = build(a.name, image, guid, kind, a.depex, header_guids(a.protocols))
    except (OSError, FormatError) as e:
        sys.exit(f"firmware_files: {a.name}: {e}")
    write(os.path.join(a.out_dir, "ffs", a.name + ".ffs"), ffs)
    if not a.no_package:
        pkg = os.path.join(a.out_dir, "package", a.name)
        write(os.path.join(pkg, a.name + ".efi"), image)
        write(os.path.join(pkg, a.name + ".depex"), depex)
        write(os.path.join(pkg, a.name + ".ui"), a.name.encode())
        write(os.path.join(pkg, a.name + ".inf"), inf_text(a.name, guid, kind).encode())


if __name__ == "__main__":
    main()
