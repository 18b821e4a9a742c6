"""Just enough of PE32+ for the symbol tools: sections (with the long names lld-link keeps for
DWARF sections) and the CodeView record that ties an image to its PDB and .debug file."""
import struct

IMAGE_DEBUG_TYPE_CODEVIEW = 2
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, rva, virtual_size, file_offset, raw_size, flags):
        self.name, self.rva, self.virtual_size = name, rva, virtual_size
        self.file_offset, self.raw_size, self.flags = file_offset, raw_size, flags

    @property
    def loaded(self):
        return not self.flags & IMAGE_SCN_MEM_DISCARDABLE


def headers(read):
    """Offsets of the COFF and optional headers; read(offset, size) gives bytes of the image."""
    if read(0, 2) != b"MZ":
        raise PeError("no DOS header")
    pe = struct.unpack("<I", read(0x3C, 4))[0]
    if read(pe, 4) != b"PE\0\0":
        raise PeError("no PE signature")
    opt = pe + 24
    if struct.unpack("<H", read(opt, 2))[0] != 0x20B:
        raise PeError("not PE32+")
    return pe + 4, opt


class PeFile:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        self.coff, self.opt = headers(self.read)
        count, = struct.unpack_from("<H", self.data, self.coff + 2)
        symbols, symbol_count = struct.unpack_from("<II", self.data, self.coff + 8)
        opt_size, = struct.unpack_from("<H", self.data, self.coff + 16)
        strings = symbols + symbol_count * 18
        table = self.opt + opt_size
        self.sections = []
        for i in range(count):
            s = table + 40 * i
            name = bytes(self.data[s:s + 8]).rstrip(b"\0").decode()
            if name.startswith("/"):  # long name: offset into the COFF string table
                start = strings + int(name[1:])
                name = bytes(self.data[start:self.data.index(b"\0", start)]).decode()
            vsize, rva, raw_size, offset = struct.unpack_from("<IIII", self.data, s + 8)
            flags, = struct.unpack_from("<I", self.data, s + 36)
            self.sections.append(Section(name, rva, vsize, offset, raw_size, flags))

    def read(self, offset, size):
        if offset + size > len(self.data):
            raise PeError("%s: truncated" % self.path)
        return bytes(self.data[offset:offset + size])

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def loaded_bytes(self, section):
        """The section as the loader maps it: raw data cut or zero-filled to its virtual size."""
        raw = self.read(section.file_offset, min(section.raw_size, section.virtual_size)) if section.raw_size else b""
        return raw + bytes(section.virtual_size - len(raw))

    def rva_to_offset(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + s.raw_size:
                return s.file_offset + rva - s.rva
        raise PeError("%s: RVA 0x%x is in no section" % (self.path, rva))

    def relocated(self):
        """(RVA, size) of every place the loader changes by the load address."""
        sites = []
        section = self.section(".reloc")
        data = self.loaded_bytes(section) if section else b""
        pos = 0
        while pos + 8 <= len(data):
            page, size = struct.unpack_from("<II", data, pos)
            if size < 8:
                break
            for i in range(pos + 8, pos + size, 2):
                entry, = struct.unpack_from("<H", data, i)
                width = {3: 4, 10: 8}.get(entry >> 12)  # HIGHLOW, DIR64; 0 is padding
                if width:
                    sites.append((page + (entry & 0xFFF), width))
            pos += size
        return sites

    def debug_directory(self):
        """(RVA, size) of the debug directory, or (0, 0)."""
        count, = struct.unpack_from("<I", self.data, self.opt + 108)
        if count <= 6:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.opt + 112 + 6 * 8)

    def codeview(self):
        return codeview_record(self.read, self.rva_to_offset)


def codeview_record(read, rva_to_offset=lambda rva: rva):
    """(GUID bytes, age, PDB name) from the debug directory, or None. read(offset, size) reads
    the file (with rva_to_offset) or, by default, a loaded image, where offsets are RVAs."""
    _, opt = headers(read)
    count, = struct.unpack("<I", read(opt + 108, 4))
    if count <= 6:
        return None
    rva, size = struct.unpack("<II", read(opt + 112 + 6 * 8, 8))
    if rva == 0:
        return None
    directory = rva_to_offset(rva)
    for entry in range(directory, directory + size, 28):
        kind, data_size, data_rva = struct.unpack("<III", read(entry + 12, 12))
        if kind != IMAGE_DEBUG_TYPE_CODEVIEW or data_size < 24:
            continue
        record = read(rva_to_offset(data_rva), data_size)
        if record[:4] != b"RSDS":
            continue
        age, = struct.unpack_from("<I", record, 20)
        return record[4:20], age, record[24:].split(b"\0")[0].decode()
    return None


def guid_text(raw):
    a, b, c = struct.unpack_from("<IHH", raw)
    return "%08X-%04X-%04X-%s-%s" % (a, b, c, raw[8:10].hex().upper(), raw[10:16].hex().upper())
