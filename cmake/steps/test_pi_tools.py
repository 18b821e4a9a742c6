#!/usr/bin/env python3
"""Checks of the firmware-file and platform-image tools against the PI formats, and of the
platform-image tool's refusals on Debian's OVMF image (skipped where it is not installed)."""
import glob
import lzma
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import firmware_files as ff  # noqa: E402
import platform_image as pi  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADERS = os.path.join(ROOT, "include", "uefi")
PROTOCOLS = ff.header_guids(HEADERS)
OVMF = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
VAR_ARCH = uuid.UUID("1E5668E2-8481-11D4-BCF1-0080C73C8881").bytes_le
VAR_WRITE_ARCH = uuid.UUID("6441F818-6362-4E44-B570-7DBA31DD2453").bytes_le
PCI_RB = uuid.UUID("2F707EBB-4A1A-11D4-9A38-0090273FC14D").bytes_le
# A PE image stand-in: the tools only carry the bytes.
IMAGE = b"MZ" + bytes(range(256)) * 3
# A made-up file GUID and declaration, for the format checks.
FILE_GUID = "0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0"
SMM_DEPEX = "gEfiSmmSxDispatch2ProtocolGuid AND gSmmBufferValidationProtocolGuid"


def declarations():
    """(name, file GUID, kind, expression) of every image declared with a file GUID in the
    tree's CMakeLists.txt files."""
    decl = re.compile(r"add_uefi_driver\((\w+)[^)]*?FILE_GUID\s+(\S+)\s+KIND\s+(\w+)\s+DEPEX\s+(\"[^\"]*\"|\S+?)[\s)]",
                      re.S)
    found = []
    for path in glob.glob(os.path.join(ROOT, "**", "CMakeLists.txt"), recursive=True):
        if os.sep + "build" + os.sep in path:
            continue
        with open(path, encoding="utf-8") as f:
            found += [(n, g, k, e.strip('"')) for n, g, k, e in decl.findall(f.read())]
    return found


class DependencyExpressions(unittest.TestCase):
    def test_postfix_opcodes_of_the_pi_grammar(self):
        self.assertEqual(ff.compile_depex("TRUE", PROTOCOLS), b"\x06\x08")
        self.assertEqual(ff.compile_depex("gEfiVariableArchProtocolGuid AND gEfiVariableWriteArchProtocolGuid", PROTOCOLS),
                         b"\x02" + VAR_ARCH + b"\x02" + VAR_WRITE_ARCH + b"\x03\x08")
        # AND binds tighter than OR; NOT takes one operand; parentheses group.
        self.assertEqual(ff.compile_depex("NOT gEfiVariableArchProtocolGuid OR gEfiPciRootBridgeIoProtocolGuid AND TRUE",
                                          PROTOCOLS),
                         b"\x02" + VAR_ARCH + b"\x05\x02" + PCI_RB + b"\x06\x03\x04\x08")
        self.assertEqual(ff.compile_depex("NOT (gEfiVariableArchProtocolGuid OR FALSE)", PROTOCOLS),
                         b"\x02" + VAR_ARCH + b"\x07\x04\x05\x08")

    def test_malformed_expressions_refused(self):
        for expr in ("gNoSuchProtocolGuid", "TRUE AND", "(TRUE", "TRUE FALSE", ""):
            with self.assertRaises(ff.FormatError, msg=expr):
                ff.compile_depex(expr, PROTOCOLS)

    def test_protocols_come_from_every_guid_global_of_the_headers(self):
        # A GUID global the reader missed would leave an expression naming it unresolvable.
        defined = 0
        for path in glob.glob(os.path.join(HEADERS, "*.h")):
            with open(path, encoding="utf-8") as f:
                defined += len(re.findall(r"EFI_GUID\s+g\w+\s*=", f.read()))
        self.assertEqual(len(PROTOCOLS), defined)
        self.assertEqual(uuid.UUID(PROTOCOLS["gEfiVariableArchProtocolGuid"]).bytes_le, VAR_ARCH)
        self.assertEqual(uuid.UUID(PROTOCOLS["gEfiPciRootBridgeIoProtocolGuid"]).bytes_le, PCI_RB)

    def test_every_declaration_compiles_with_its_own_file_guid(self):
        found = declarations()
        names = {n for n, _, _, _ in found}
        self.assertLessEqual({"FlashAccessDxe", "MediaCapsuleSmm", "EcSetupSyncDxe", "SioSetupDxe", "EcBoardConfigDxe",
                              "EcChannelConfigDxe", "LegacyInterruptDxe", "TestPlatformDxe", "TestPlatformSmm"}, names)
        for name, guid, kind, expr in found:
            self.assertIn(kind, ff.FV_FILETYPE, name)
            self.assertEqual(ff.compile_depex(expr, PROTOCOLS)[-1], 0x08, name)
            uuid.UUID(guid)
        guids = [g.upper() for _, g, _, _ in found]
        self.assertEqual(len(guids), len(set(guids)), "two images declare one file GUID")


def parse_sections(data):
    out, pos = [], 24
    while pos < len(data):
        size, kind = int.from_bytes(data[pos:pos + 3], "little"), data[pos + 3]
        out.append((kind, data[pos + 4:pos + size]))
        pos = (pos + size + 3) & ~3
    return out


class FirmwareFiles(unittest.TestCase):
    def test_mm_file_layout(self):
        ffs, depex = ff.build("MediaCapsuleSmm", IMAGE + b"x", FILE_GUID, "mm", SMM_DEPEX, PROTOCOLS)
        header = bytearray(ffs[:24])
        self.assertEqual(header[:16], uuid.UUID(FILE_GUID).bytes_le)
        self.assertEqual((header[18], header[19]), (0x0A, 0))
        self.assertEqual(int.from_bytes(header[20:23], "little"), len(ffs))
        self.assertEqual((header[17], header[23]), (0xAA, 0x07))
        header[17] = header[23] = 0
        self.assertEqual(sum(header) & 0xFF, 0, "header checksum")
        sections = parse_sections(ffs)
        self.assertEqual([k for k, _ in sections], [0x1C, 0x10, 0x15, 0x14])
        self.assertEqual(sections[0][1], depex)
        self.assertEqual(sections[1][1], IMAGE + b"x")  # the image unchanged, at any length
        self.assertEqual(sections[2][1], "MediaCapsuleSmm\0".encode("utf-16-le"))
        self.assertEqual(sections[3][1], b"\0\0" + "1.0\0".encode("utf-16-le"))

    def test_package_and_refusals_through_the_command(self):
        with tempfile.TemporaryDirectory() as d:
            efi = os.path.join(d, "LegacyInterruptDxe.efi")
            with open(efi, "wb") as f:
                f.write(IMAGE)
            tool = os.path.join(os.path.dirname(__file__), "firmware_files.py")
            declared = ["--guid", FILE_GUID, "--kind", "dxe", "--depex", "gEfiPciRootBridgeIoProtocolGuid",
                        "--protocols", HEADERS]
            subprocess.run([sys.executable, tool, "LegacyInterruptDxe", efi, d] + declared, check=True)
            pkg = os.path.join(d, "package", "LegacyInterruptDxe")
            # Every kind of module, as EDK II reads its INF: an SMM driver without a PI version
            # of at least 1.10 is a pre-PI one, which GenFds refuses in an SMM file.
            mm = ["--guid", FILE_GUID, "--kind", "mm", "--depex", SMM_DEPEX, "--protocols", HEADERS]
            subprocess.run([sys.executable, tool, "MediaCapsuleSmm", efi, d] + mm, check=True)
            for name, module, depex in (("LegacyInterruptDxe", "DXE_DRIVER", "DXE_DEPEX"),
                                        ("MediaCapsuleSmm", "DXE_SMM_DRIVER", "SMM_DEPEX")):
                with open(os.path.join(d, "package", name, name + ".inf")) as f:
                    inf = f.read()
                defines = dict(re.findall(r"^\s*(\w+)\s*=\s*(\S+)\s*$", inf.split("[Binaries.X64]")[0], re.M))
                self.assertEqual((defines["MODULE_TYPE"], defines["FILE_GUID"], defines["BASE_NAME"]),
                                 (module, FILE_GUID, name))
                pi_version = int(defines.get("PI_SPECIFICATION_VERSION", "0"), 16)
                if module == "DXE_SMM_DRIVER":
                    self.assertGreaterEqual(pi_version, 0x0001000A, name)
                for line in (f"PE32|{name}.efi|*", f"{depex}|{name}.depex|*", f"UI|{name}.ui|*"):
                    self.assertIn(line, inf)
            with open(os.path.join(pkg, "LegacyInterruptDxe.depex"), "rb") as f:
                self.assertEqual(f.read(), b"\x02" + PCI_RB + b"\x08")
            with open(efi, "wb") as f:
                f.write(b"not a PE image")
            r = subprocess.run([sys.executable, tool, "LegacyInterruptDxe", efi, os.path.join(d, "x")] + declared,
                               capture_output=True, text=True)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("no MZ signature", r.stderr)
            self.assertFalse(os.path.exists(os.path.join(d, "x")))
            r = subprocess.run([sys.executable, tool, "Undeclared", efi, d], capture_output=True, text=True)
            self.assertIn("--guid", r.stderr)
            with open(efi, "wb") as f:
                f.write(IMAGE)
            unknown = declared[:5] + ["gEfiNoSuchProtocolGuid"] + declared[6:]
            r = subprocess.run([sys.executable, tool, "LegacyInterruptDxe", efi, os.path.join(d, "y")] + unknown,
                               capture_output=True, text=True)
            self.assertIn("unknown protocol 'gEfiNoSuchProtocolGuid'", r.stderr)


@unittest.skipUnless(os.path.exists(OVMF), "Debian's ovmf package is not installed")
class PlatformImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(OVMF, "rb") as f:
            cls.ovmf = f.read()
        cls.small = ff.build("LegacyInterruptDxe", IMAGE, FILE_GUID, "dxe", "TRUE", PROTOCOLS)[0]

    def refused(self, image, files, field):
        with self.assertRaises(pi.Refused) as e:
            pi.build(image, files)
        self.assertIn(field, str(e.exception))

    def patched(self, offset, data):
        image = bytearray(self.ovmf)
        image[offset:offset + len(data)] = data
        return bytes(image)

    def test_unparsable_inputs_refused_naming_the_field(self):
        self.refused(self.ovmf[:0x40], [], "header beyond the end")
        self.refused(self.patched(0x28, b"_FVX"), [], "Signature")
        self.refused(self.patched(0x20, struct.pack("<Q", 0x1000000)), [], "FvLength")
        self.refused(self.patched(0x32, b"\0\0"), [], "Checksum")
        # The volume-image file's compressed data, past the LZMA header.
        self.refused(self.patched(0x78 + 24 + 24 + 13, b"\xff" * 64), [], "LZMA data")

    def test_files_that_do_not_fit_or_clash_refused(self):
        huge = ff.ffs_file(str(uuid.uuid4()), 0x07, [ff.section(0x19, bytes(0x700000))])
        self.refused(self.ovmf, [("huge.ffs", huge)], "DXE volume: no room")
        self.refused(self.ovmf, [("a.ffs", self.small), ("b.ffs", self.small)], "already holds")
        with self.assertRaises(pi.Refused):
            pi.check_ffs(self.small[:-1], "short.ffs")

    def test_added_file_in_the_recompressed_dxe_volume(self):
        out = pi.build(self.ovmf, [("x.ffs", self.small)])
        self.assertEqual(len(out), len(self.ovmf))
        self.assertEqual(out[0x348000:], self.ovmf[0x348000:], "SECFV untouched")
        compact = pi.Volume(bytearray(out), 0, "out")
        (pos, _, attrs, size), = [f for f in compact.files() if f[1] == pi.FILETYPE_FV_IMAGE]
        header = bytearray(out[pos:pos + 24])
        header[17] = header[23] = 0
        self.assertEqual(sum(header) & 0xFF, 0, "volume-image file header checksum")
        sec = pos + 24
        self.assertEqual(int.from_bytes(out[sec:sec + 3], "little"), size - 24)
        data_offset = struct.unpack_from("<H", out, sec + 20)[0]
        packed = out[sec + data_offset:pos + size]
        raw = lzma.decompress(packed, format=lzma.FORMAT_ALONE)
        self.assertEqual(struct.unpack_from("<Q", packed, 5)[0], len(raw), "uncompressed size in the LZMA header")
        self.assertTrue(all(b == 0xFF for b in out[pos + size:0x348000]), "freed space erased")
        at = raw.find(self.small[:16])
        self.assertGreater(at, 0)
        self.assertEqual(at % 8, 0)
        self.assertEqual(raw[at + 23], 0xF8, "state inverted for erase polarity 1")
        self.assertEqual(raw[at + 24:at + len(self.small)], self.small[24:])


if __name__ == "__main__":
    unittest.main()
