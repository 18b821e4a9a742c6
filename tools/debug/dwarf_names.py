#!/usr/bin/env python3
"""Makes an image's DWARF name its functions the way gdb can look them up.

The images are compiled for a Windows target, so the linkage names in the DWARF are Microsoft
mangled names; gdb cannot demangle those and then knows an inlined function only by its mangled
name ("break SyncEcToSetup" finds nothing). Turning DW_AT_linkage_name into DW_AT_description
in the abbreviation table (one byte each, nothing moves) makes gdb build the qualified name from
the scopes, as it does for every other function; the mangled name stays readable.

  dwarf_names.py IMAGE.debug      (rewritten in place)
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

DW_AT_description = 0x5A
DW_AT_linkage_name = 0x6E
DW_FORM_implicit_const = 0x21


def leb128(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def hide_linkage_names(abbrev):
    """Rewrites every linkage-name attribute in a .debug_abbrev section; returns how many."""
    count = pos = 0
    while pos < len(abbrev):
        code, pos = leb128(abbrev, pos)
        if code == 0:  # end of one unit's table, or padding
            continue
        _tag, pos = leb128(abbrev, pos)
        pos += 1  # DW_CHILDREN
        while True:
            at = pos
            attribute, pos = leb128(abbrev, pos)
            form, pos = leb128(abbrev, pos)
            if form == DW_FORM_implicit_const:
                _, pos = leb128(abbrev, pos)
            if attribute == 0 and form == 0:
                break
            if attribute == DW_AT_linkage_name:
                abbrev[at] = DW_AT_description
                count += 1
    return count


def main(path):
    image = pe.PeFile(path)
    section = image.section(".debug_abbrev")
    if section is None:
        sys.exit("dwarf_names: %s has no .debug_abbrev (linked without /debug?)" % path)
    start = section.file_offset
    abbrev = image.data[start:start + min(section.raw_size, section.virtual_size)]
    hide_linkage_names(abbrev)
    image.data[start:start + len(abbrev)] = abbrev
    with open(path, "wb") as f:
        f.write(image.data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
