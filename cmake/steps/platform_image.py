#!/usr/bin/env python3
"""Adds firmware files to the DXE volume of an SMM-enabled OVMF code image.

    platform_image.py <OVMF_CODE_4M.secboot.fd> <out.fd> <file.ffs>...

The DXE volume lies LZMA-compressed inside one firmware-volume-image file of FVMAIN_COMPACT
(the volume at offset 0 of the image): the files go into the DXE volume's free space in the
order given, the section is recompressed, and the sizes and checksums of the section and the
file are fixed. Every other byte of the image is kept. An input that does not parse, or a
volume without room, is refused with the field at fault.
"""
import lzma
import os
import struct
import sys
import uuid

FVH_SIGNATURE = b"_FVH"
FVB2_ERASE_POLARITY = 0x800
FFS_ATTRIB_CHECKSUM = 0x40
FFS_ATTRIB_LARGE_FILE = 0x01
FILETYPE_DXE_CORE, FILETYPE_FV_IMAGE = 0x05, 0x0B
SECTION_GUID_DEFINED, SECTION_FV_IMAGE = 0x02, 0x17
LZMA_SECTION_GUID = uuid.UUID("EE4E5898-3914-4259-9D6E-DC7BD79403CF").bytes_le
FILE_CHECKSUM_NONE = 0xAA
FFS_HEADER = 24


class Refused(Exception):
    pass


def u24(b, off):
    return int.from_bytes(b[off:off + 3], "little")


def sum8(data):
    return sum(data) & 0xFF


def sum16(data):
    return sum(struct.unpack(f"<{len(data) // 2}H", data)) & 0xFFFF


def guid_text(b):
    return str(uuid.UUID(bytes_le=bytes(b))).upper()


class Volume:
    """A firmware volume (FFS2) at an offset of a buffer."""

    def __init__(self, buf, off, what):
        self.buf, self.off, self.what = buf, off, what
        if len(buf) < off + 0x48:
            raise Refused(f"{what}: header beyond the end of the data")
        (self.length, sig, self.attributes, self.header_length, _checksum,
         self.ext_offset) = struct.unpack_from("<Q4sIHHH", buf, off + 0x20)
        if sig != FVH_SIGNATURE:
            raise Refused(f"{what}: Signature is {sig!r}, not '_FVH'")
        if self.header_length < 0x48 or self.header_length % 2:
            raise Refused(f"{what}: HeaderLength 0x{self.header_length:X} is not a volume header's")
        if off + self.length > len(buf) or self.length < self.header_length:
            raise Refused(f"{what}: FvLength 0x{self.length:X} runs past the data (0x{len(buf) - off:X} bytes)")
        if sum16(buf[off:off + self.header_length]) != 0:
            raise Refused(f"{what}: header Checksum does not sum to zero")
        self.erased = 0xFF if self.attributes & FVB2_ERASE_POLARITY else 0x00

    def first_file(self):
        start = self.header_length
        if self.ext_offset:
            ext_size = struct.unpack_from("<I", self.buf, self.off + self.ext_offset + 16)[0]
            start = self.ext_offset + ext_size
        return (start + 7) & ~7

    def files(self):
        """(offset within the volume, type, attributes, size) of each file, then the free
        space's offset as a last entry of type None."""
        pos = self.first_file()
        while pos + FFS_HEADER <= self.length:
            at = self.off + pos
            header = self.buf[at:at + FFS_HEADER]
            if all(b == self.erased for b in header):
                break
            ftype, attrs, size = header[18], header[19], u24(header, 20)
            if attrs & FFS_ATTRIB_LARGE_FILE:
                raise Refused(f"{self.what}: file at 0x{pos:X} has a large-file header, not handled")
            if size < FFS_HEADER or pos + size > self.length:
                raise Refused(f"{self.what}: file {guid_text(header[:16])} Size 0x{size:X} runs past the volume")
            yield pos, ftype, attrs, size
            pos = (pos + size + 7) & ~7
        yield min(pos, self.length), None, 0, 0

    def guids(self):
        return {bytes(self.buf[self.off + p:self.off + p + 16]) for p, t, _, _ in self.files() if t is not None}


def sections(buf, start, end, what):
    """(offset, type, size) of each section between start and end."""
    pos = start
    while pos + 4 <= end:
        size, stype = u24(buf, pos), buf[pos + 3]
        if size == 0xFFFFFF:
            raise Refused(f"{what}: section at 0x{pos:X} has an extended size, not handled")
        if size < 4 or pos + size > end:
            raise Refused(f"{what}: section at 0x{pos:X} Size 0x{size:X} runs past its container")
        yield pos, stype, size
        pos = (pos + size + 3) & ~3


def check_ffs(data, path):
    if len(data) < FFS_HEADER:
        raise Refused(f"{path}: shorter than a firmware file header")
    header = bytearray(data[:FFS_HEADER])
    if u24(header, 20) != len(data):
        raise Refused(f"{path}: Size 0x{u24(header, 20):X} differs from the file's 0x{len(data):X} bytes")
    header[17] = header[23] = 0
    if sum8(header) != 0:
        raise Refused(f"{path}: header checksum (IntegrityCheck.Header) does not sum to zero")


def add_files(dxefv, files):
    """Writes the files into the volume's free space; state bits follow its erase polarity."""
    present = dxefv.guids()
    pos = [p for p, t, _, _ in dxefv.files() if t is None][0]
    for path, data in files:
        if data[:16] in present:
            raise Refused(f"{path}: the DXE volume already holds a file named {guid_text(data[:16])}")
        present.add(data[:16])
        pos = (pos + 7) & ~7
        if pos + len(data) > dxefv.length:
            free = max(dxefv.length - pos, 0)
            raise Refused(f"DXE volume: no room for {os.path.basename(path)} (0x{len(data):X} bytes, 0x{free:X} free)")
        data = bytearray(data)
        if dxefv.erased == 0xFF:
            data[23] = ~data[23] & 0xFF
        at = dxefv.off + pos
        dxefv.buf[at:at + len(data)] = data
        pos += len(data)


def build(ovmf, files):
    image = bytearray(ovmf)
    compact = Volume(image, 0, "FVMAIN_COMPACT")
    fv_files = [f for f in compact.files() if f[1] == FILETYPE_FV_IMAGE]
    if len(fv_files) != 1:
        raise Refused(f"FVMAIN_COMPACT: {len(fv_files)} firmware-volume-image files, expected 1")
    file_pos, _, file_attrs, file_size = fv_files[0]
    secs = list(sections(image, file_pos + FFS_HEADER, file_pos + file_size, "FVMAIN_COMPACT volume-image file"))
    if len(secs) != 1 or secs[0][1] != SECTION_GUID_DEFINED:
        raise Refused("FVMAIN_COMPACT volume-image file: expected one GUID-defined section")
    sec_pos, _, sec_size = secs[0]
    sec_guid = bytes(image[sec_pos + 4:sec_pos + 20])
    data_offset, guided_attrs = struct.unpack_from("<HH", image, sec_pos + 20)
    if sec_guid != LZMA_SECTION_GUID:
        raise Refused(f"GUID-defined section: SectionDefinitionGuid {guid_text(sec_guid)} is not LZMA")
    if not 24 <= data_offset <= sec_size:
        raise Refused(f"GUID-defined section: DataOffset 0x{data_offset:X} outside the section")
    compressed = bytes(image[sec_pos + data_offset:sec_pos + sec_size])
    if len(compressed) < 13:
        raise Refused("LZMA data: shorter than its 13-byte header")
    try:
        raw = bytearray(lzma.decompress(compressed, format=lzma.FORMAT_ALONE))
    except lzma.LZMAError as e:
        raise Refused(f"LZMA data: {e}") from None
    if struct.unpack_from("<Q", compressed, 5)[0] != len(raw):
        raise Refused("LZMA data: the uncompressed size in its header differs from the data")

    dxefv = None
    for pos, stype, size in sections(raw, 0, len(raw), "compressed volumes"):
        if stype == SECTION_FV_IMAGE:
            fv = Volume(raw, pos + 4, f"volume at 0x{pos + 4:X} of the compressed section")
            if any(t == FILETYPE_DXE_CORE for _, t, _, _ in fv.files()):
                dxefv = fv
    if dxefv is None:
        raise Refused("compressed volumes: none holds the DXE core (no DXE volume)")
    dxefv.what = "DXE volume"
    add_files(dxefv, files)

    props, dict_size = compressed[0], struct.unpack_from("<I", compressed, 1)[0]
    lc, rest = props % 9, props // 9
    lp, pb = rest % 5, rest // 5
    packed = bytearray(lzma.compress(bytes(raw), format=lzma.FORMAT_ALONE, filters=[
        {"id": lzma.FILTER_LZMA1, "dict_size": dict_size, "lc": lc, "lp": lp, "pb": pb, "preset": 9}]))
    # The encoder writes the size as unknown; SEC sizes its output buffer from these bytes.
    struct.pack_into("<Q", packed, 5, len(raw))

    guided_header = bytearray(image[sec_pos:sec_pos + data_offset])
    new_sec_size = data_offset + len(packed)
    new_file_size = (sec_pos - file_pos) + new_sec_size
    guided_header[0:3] = new_sec_size.to_bytes(3, "little")
    next_files = [p for p, t, _, _ in compact.files() if p > file_pos and t is not None]
    room = next_files[0] if next_files else compact.length
    if file_pos + new_file_size > room:
        raise Refused(f"FVMAIN_COMPACT: no room for the recompressed volumes (0x{new_file_size:X} bytes at "
                      f"0x{file_pos:X}, 0x{room - file_pos:X} available)")
    if new_sec_size >= 1 << 24:
        raise Refused("GUID-defined section: Size does not fit 24 bits")

    header = bytearray(image[file_pos:file_pos + FFS_HEADER])
    state = header[23]
    header[20:23] = new_file_size.to_bytes(3, "little")
    header[16] = header[17] = header[23] = 0
    header[16] = -sum8(header) & 0xFF
    body = bytes(image[file_pos + FFS_HEADER:sec_pos]) + bytes(guided_header) + bytes(packed)
    header[17] = (-sum8(body) & 0xFF) if file_attrs & FFS_ATTRIB_CHECKSUM else FILE_CHECKSUM_NONE
    header[23] = state
    old_end = file_pos + file_size
    new_end = file_pos + new_file_size
    image[file_pos:new_end] = bytes(header) + body
    if new_end < old_end:
        image[new_end:old_end] = bytes([compact.erased]) * (old_end - new_end)
    # Re-read what was written, as SEC will.
    Volume(image, 0, "FVMAIN_COMPACT (written)")
    return bytes(image)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().split("\n\n")[1].strip())
    src, out, ffs_paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    try:
        with open(src, "rb") as f:
            ovmf = f.read()
        files = []
        for path in ffs_paths:
            with open(path, "rb") as f:
                data = f.read()
            check_ffs(data, path)
            files.append((path, data))
        image = build(ovmf, files)
    except (OSError, Refused) as e:
        sys.exit(f"platform_image: refused: {e}")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out + ".tmp", "wb") as f:
        f.write(image)
    os.replace(out + ".tmp", out)
    print(f"platform_image: {out}: {len(files)} files added to the DXE volume")


if __name__ == "__main__":
    main()
