#!/usr/bin/env python3
"""PI firmware files for the driver images, and the binary package an integrator drops into
a platform's FDF.

    firmware_files.py <Image> <Image.efi> <out_dir> [--guid G --kind dxe|mm --depex EXPR]
    firmware_files.py --header <out.h>

writes <out_dir>/ffs/<Image>.ffs and <out_dir>/package/<Image>/ (the .efi, the .depex, the
UI text and a binary-module INF). The seven board images take their file GUID, kind and
dependency expression from DRIVERS; the test platform's drivers pass their own. --header
writes the board images' file GUIDs as a C++ table, for the code that looks for them.
"""
import argparse
import os
import struct
import sys
import uuid

VERSION = "1.0"

# Protocols that dependency expressions may name.
PROTOCOLS = {
    "gEfiVariableArchProtocolGuid": "1E5668E2-8481-11D4-BCF1-0080C73C8881",
    "gEfiVariableWriteArchProtocolGuid": "6441F818-6362-4E44-B570-7DBA31DD2453",
    "gEfiPciRootBridgeIoProtocolGuid": "2F707EBB-4A1A-11D4-9A38-0090273FC14D",
    "gEfiSmmBase2ProtocolGuid": "F4CCBFB7-F6E0-47FD-9DD4-10A8F150C191",
    "gEfiSmmSxDispatch2ProtocolGuid": "456D2859-A84B-4E47-A2EE-3276D886997D",
    "gSmmBufferValidationProtocolGuid": "DA473D7F-4B31-4D63-92B7-3D905EF84B84",
    "gEfiSmmAccess2ProtocolGuid": "C2702B74-800C-4131-8746-8FB5B89CE4AC",
    "gPcdProtocolGuid": "11B34006-D85B-4D0A-A290-D5A571310EF7",
    "gEfiPcdProtocolGuid": "13A3F0F6-264A-3EF0-F2E0-DEC512342F34",
}

# The board images: file GUID (fixed once, never changed: platforms name files by it), kind,
# and what the entry needs before it can do its work (README: "Dependency expressions").
DRIVERS = {
    "FlashAccessDxe": ("11B9CA75-6447-4379-A9B8-717EDEF071D7", "dxe", "TRUE"),
    "MediaCapsuleSmm": ("45750B1B-C8FC-4E6E-9474-230C9E10B789", "mm",
                        "gEfiSmmSxDispatch2ProtocolGuid AND gSmmBufferValidationProtocolGuid"),
    "EcSetupSyncDxe": ("4D293A57-0F42-4F58-96FC-2F261CA20C76", "dxe",
                       "gEfiVariableArchProtocolGuid AND gEfiVariableWriteArchProtocolGuid"),
    "SioSetupDxe": ("39874E96-CAF7-4864-A05C-535E3016B4E8", "dxe",
                    "gEfiVariableArchProtocolGuid AND gEfiVariableWriteArchProtocolGuid"),
    "EcBoardConfigDxe": ("E775DF6A-0D73-4143-A7A9-BDBF9C9F3F89", "dxe",
                         "gEfiVariableArchProtocolGuid AND gEfiVariableWriteArchProtocolGuid"),
    "EcChannelConfigDxe": ("77132E45-5A03-418B-8C33-79447FD9DA42", "dxe", "gEfiVariableArchProtocolGuid"),
    "LegacyInterruptDxe": ("8964E491-A0C7-460C-8153-5939156A413E", "dxe", "gEfiPciRootBridgeIoProtocolGuid"),
}

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


def compile_depex(expr):
    """Infix AND/OR/NOT/TRUE/FALSE with parentheses over protocol names or GUIDs, to the PI
    postfix opcodes."""
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
        guid = PROTOCOLS.get(t, t)
        if t not in PROTOCOLS and len(t) != 36:
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


def build(name, image, guid, kind, depex_expr):
    depex = compile_depex(depex_expr)
    ffs = ffs_file(guid, FV_FILETYPE[kind], [
        section(DEPEX_SECTION[kind], depex),
        section(SECTION_PE32, image),
        section(SECTION_UI, ucs2z(name)),
        section(SECTION_VERSION, struct.pack("<H", 0) + ucs2z(VERSION)),
    ])
    return ffs, depex


def inf_text(name, guid, kind):
    return (f"# Binary module: the {name} image with its dependency expression.\n"
            "[Defines]\n"
            "  INF_VERSION    = 0x00010005\n"
            f"  BASE_NAME      = {name}\n"
            f"  FILE_GUID      = {guid}\n"
            f"  MODULE_TYPE    = {MODULE_TYPE[kind]}\n"
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


def header_text():
    rows = "".join(f'    {{"{n}", {guid_initializer(g)}, {"true" if k == "mm" else "false"}}},\n'
                   for n, (g, k, _) in DRIVERS.items())
    return ("// Generated by tools/firmware_files.py from its driver table.\n#pragma once\n"
            "#include <uefi/uefi.h>\n\nstruct BOARD_FIRMWARE_FILE {\n  const char *Name;\n  EFI_GUID FileGuid;\n"
            "  bool Mm;\n};\n\ninline constexpr BOARD_FIRMWARE_FILE BoardFirmwareFiles[] = {\n" + rows + "};\n")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--header":
        write(sys.argv[2], header_text().encode())
        return
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("name")
    p.add_argument("image")
    p.add_argument("out_dir")
    p.add_argument("--guid")
    p.add_argument("--kind", choices=FV_FILETYPE)
    p.add_argument("--depex")
    p.add_argument("--no-package", action="store_true", help="the firmware file only")
    a = p.parse_args()
    guid, kind, depex_expr = DRIVERS.get(a.name, (None, None, None))
    guid, kind, depex_expr = a.guid or guid, a.kind or kind, a.depex or depex_expr
    if not (guid and kind and depex_expr):
        sys.exit(f"firmware_files: {a.name} is not in the driver table; give --guid, --kind and --depex")
    try:
        with open(a.image, "rb") as f:
            image = f.read()
        if image[:2] != b"MZ":
            raise FormatError(f"{a.image}: not a PE image (no MZ signature)")
        ffs, depex = build(a.name, image, guid, kind, depex_expr)
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
