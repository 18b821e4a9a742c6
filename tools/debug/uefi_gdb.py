"""gdb commands for UEFI images on a running firmware (QEMU's gdbstub, or any target whose
memory gdb reads).

  uefi-symbols [--dir DIR] [IMAGE...]
      Finds every loaded image through the firmware's debug image info table and loads the
      DWARF symbol file (DIR/<name>.debug, default build/firmware/symbols) at its load address.
      The image is matched to its symbol file by the CodeView record in its debug directory:
      the PDB name gives the file, and the GUID and age must be those of the file, or the file
      is from another build and is refused; so is a file whose code is not the code in memory.
      Named images must be loaded, or it is an error.

The table is found the way debuggers find it on any UEFI platform: the DXE core leaves an
EFI_SYSTEM_TABLE_POINTER ("IBI SYST") on a 4 MiB boundary, whose system table's configuration
table lists the EFI_DEBUG_IMAGE_INFO_TABLE.
"""
import os
import struct
import sys

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

SYSTEM_TABLE_SIGNATURE = b"IBI SYST"
DEBUG_IMAGE_INFO_TABLE_GUID = struct.pack("<IHH8B", 0x49152E77, 0x1ADA, 0x4764,
                                          0xB7, 0xA2, 0x7A, 0xFE, 0xFE, 0xD9, 0x5E, 0x8B)
EFI_DEBUG_IMAGE_INFO_TYPE_NORMAL = 1
FOUR_MIB = 4 << 20
DEFAULT_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "..", "..", "build", "firmware", "symbols"))


def read(address, size):
    return bytes(gdb.selected_inferior().read_memory(address, size))


def u32(address):
    return struct.unpack("<I", read(address, 4))[0]


def u64(address):
    return struct.unpack("<Q", read(address, 8))[0]


def system_table():
    for address in range((1 << 32) - FOUR_MIB, -1, -FOUR_MIB):
        try:
            if read(address, 8) != SYSTEM_TABLE_SIGNATURE:
                continue
            table = u64(address + 8)
            if read(table, 8) == SYSTEM_TABLE_SIGNATURE:
                return table
        except gdb.MemoryError:
            continue
    raise gdb.GdbError("uefi-symbols: no EFI_SYSTEM_TABLE_POINTER below 4 GiB (is the DXE phase running?)")


def loaded_images():
    """(image base, CodeView record or None) of every image in the debug image info table."""
    table = system_table()
    count, entries = u64(table + 0x68), u64(table + 0x70)
    header = None
    for i in range(count):
        entry = entries + 24 * i
        if read(entry, 16) == DEBUG_IMAGE_INFO_TABLE_GUID:
            header = u64(entry + 16)
    if header is None:
        raise gdb.GdbError("uefi-symbols: the firmware has no debug image info table")
    size, infos = u32(header + 4), u64(header + 8)
    images = []
    for i in range(size):
        info = u64(infos + 8 * i)
        if info == 0 or u32(info) != EFI_DEBUG_IMAGE_INFO_TYPE_NORMAL:
            continue
        base = u64(u64(info + 8) + 64)  # EFI_LOADED_IMAGE_PROTOCOL.ImageBase
        try:
            record = pe.codeview_record(lambda offset, n: read(base + offset, n))
        except (pe.PeError, gdb.MemoryError):
            record = None  # not PE32+ or not readable: nothing of ours
        images.append((base, record))
    return images


def code_differences(image, base):
    """RVAs where the code in memory is not the symbol file's, the relocated places left out:
    a second proof, beside the GUID, that the file describes the bytes that run."""
    relocated = set()
    for rva, size in image.relocated():
        relocated.update(range(rva, rva + size))
    # The debug directory holds file offsets, which differ between the symbol file and the
    # stripped image; it lies in .text where read-only data is merged into it.
    rva, size = image.debug_directory()
    relocated.update(range(rva, rva + size))
    differences = []
    for section in image.sections:
        if section.flags & pe.IMAGE_SCN_MEM_EXECUTE:
            memory, expected = read(base + section.rva, section.virtual_size), image.loaded_bytes(section)
            differences += [section.rva + i for i in range(section.virtual_size)
                            if memory[i] != expected[i] and section.rva + i not in relocated]
    return differences


loaded_symbols = set()  # (file, base) already given to gdb


def load_symbols(directory, wanted):
    found = {}
    for base, record in loaded_images():
        if record is None:
            continue
        guid, age, pdb_name = record
        name = os.path.splitext(os.path.basename(pdb_name.replace("\\", "/")))[0]
        path = os.path.join(directory, name + ".debug")
        if (wanted and name not in wanted) or not os.path.exists(path):
            continue
        symbol_file = pe.PeFile(path)
        file_record = symbol_file.codeview()
        if file_record is None or file_record[:2] != (guid, age):
            raise gdb.GdbError(
                "uefi-symbols: %s at 0x%x is %s age %d, but %s is %s: a symbol file of another build"
                % (name, base, pe.guid_text(guid), age, path,
                   pe.guid_text(file_record[0]) + " age %d" % file_record[1] if file_record else "without CodeView"))
        changed = code_differences(symbol_file, base)
        if changed:
            raise gdb.GdbError("uefi-symbols: %s at 0x%x: its code differs from %s at %d bytes (first at RVA 0x%x)"
                               % (name, base, path, len(changed), changed[0]))
        if (path, base) not in loaded_symbols:
            gdb.execute("add-symbol-file %s -o 0x%x" % (path, base), to_string=True)
            loaded_symbols.add((path, base))
        print("uefi-symbols: %-20s at 0x%x  %s" % (name, base, path))
        found.setdefault(name, []).append(base)
    missing = [n for n in wanted if n not in found]
    if missing:
        raise gdb.GdbError("uefi-symbols: not loaded on the target: %s" % ", ".join(missing))
    return found


class UefiSymbols(gdb.Command):
    """Load the symbols of the UEFI images loaded on the target: uefi-symbols [--dir DIR] [IMAGE...]"""

    def __init__(self):
        super().__init__("uefi-symbols", gdb.COMMAND_FILES)

    def invoke(self, argument, from_tty):
        args = gdb.string_to_argv(argument)
        directory = os.environ.get("UEFI_SYMBOL_DIR", DEFAULT_DIR)
        if args[:1] == ["--dir"] and len(args) > 1:
            directory, args = args[1], args[2:]
        confirm = gdb.parameter("confirm")
        gdb.execute("set confirm off")
        try:
            load_symbols(directory, args)
        finally:
            gdb.execute("set confirm %s" % ("on" if confirm else "off"))


UefiSymbols()
