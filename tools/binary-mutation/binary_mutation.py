#!/usr/bin/python3
"""Mutation run over the shipped driver images.

Makes single-point changes to an image's bytes, each in its own copy of the image directory, runs
that image's test binary against the copy (IMAGE_DIR) and names every change no case noticed.

Operators, each keeping every instruction's length and leaving bytes under base relocations alone:
  jump       a conditional jump's condition inverted (je -> jne)
  immediate  an instruction's immediate one up or one down (the stack frame's size excepted)
  compare    SETcc/CMOVcc inverted, or an ordered condition's signedness swapped (jl <-> jb)
  call       a call replaced by "xor eax, eax" and NOPs: the callee skipped, its result 0
  data       one byte of read-only data or initialized data with its low bit flipped

Sites are ordered with a fixed seed, round-robin over the operators and, within an operator, over
the functions (or data symbols) of the image, so the first N of an image are spread over both.
"""
import argparse
import concurrent.futures
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import capstone
from capstone import x86

OPERATORS = ("jump", "immediate", "compare", "call", "data")
# Condition nibble of an ordered comparison -> its other-signedness twin (b/l, ae/ge, be/le, a/g).
SIGNEDNESS = {0x2: 0xC, 0xC: 0x2, 0x3: 0xD, 0xD: 0x3, 0x6: 0xE, 0xE: 0x6, 0x7: 0xF, 0xF: 0x7}
CONDITION = ["o", "no", "b", "ae", "e", "ne", "be", "a", "s", "ns", "p", "np", "l", "ge", "le", "g"]
NOPS = {0: b"", 1: b"\x90", 2: b"\x66\x90", 3: b"\x0f\x1f\x00", 4: b"\x0f\x1f\x40\x00", 5: b"\x0f\x1f\x44\x00\x00",
        6: b"\x66\x0f\x1f\x44\x00\x00", 7: b"\x0f\x1f\x80\x00\x00\x00\x00", 8: b"\x0f\x1f\x84\x00\x00\x00\x00\x00"}
RETURN_ZERO = b"\x31\xc0"  # xor eax, eax
DISASSEMBLER = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_64)
PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}


class ImageError(Exception):
    pass


def undecorated(name):
    """Source name of an MSVC-decorated map symbol, anonymous namespaces left out."""
    if name.startswith("??_C@"):
        return "string literal"
    if not name.startswith("?"):
        return name
    if name.startswith("??8@"):
        return "operator=="
    if name.startswith("??$"):  # a template's instance: its name, the arguments left out
        return name[3:name.index("@", 3)] + "<>" if "@" in name[3:] else name
    parts, at = [], 1
    while at < len(name) and name[at] != "@":
        end = name.find("@", at)
        if end < 0:
            break
        parts.append(name[at:end])
        at = end + 1
    return "::".join(p for p in reversed(parts) if not p.startswith("?A0x")) or name


class Image:
    """A PE32+ image's sections, base relocations and map-file symbols."""

    def __init__(self, path):
        self.path, self.name = path, os.path.splitext(os.path.basename(path))[0]
        self.bytes = open(path, "rb").read()
        b = self.bytes
        if b[:2] != b"MZ":
            raise ImageError(f"{path}: no MZ header")
        pe = struct.unpack_from("<I", b, 0x3C)[0]
        if b[pe:pe + 4] != b"PE\0\0":
            raise ImageError(f"{path}: no PE signature")
        count, optional_size = struct.unpack_from("<H", b, pe + 6)[0], struct.unpack_from("<H", b, pe + 20)[0]
        optional = pe + 24
        if struct.unpack_from("<H", b, optional)[0] != 0x20B:
            raise ImageError(f"{path}: not PE32+")
        self.image_base = struct.unpack_from("<Q", b, optional + 24)[0]
        directories = struct.unpack_from("<I", b, optional + 108)[0]
        reloc_rva, reloc_size = struct.unpack_from("<II", b, optional + 112 + 5 * 8) if directories > 5 else (0, 0)
        self.sections = []  # (name, rva, virtual size, file offset, raw size)
        for i in range(count):
            at = optional + optional_size + 40 * i
            name = b[at:at + 8].rstrip(b"\0").decode()
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", b, at + 8)
            self.sections.append((name, rva, vsize, raw_at, raw_size))
        self.relocated = set()
        at = self.offset(reloc_rva) if reloc_size else 0
        end = at + reloc_size
        while at + 8 <= end:
            page, block = struct.unpack_from("<II", b, at)
            if block < 8:
                raise ImageError(f"{path}: relocation block of {block} bytes")
            for (entry,) in struct.iter_unpack("<H", b[at + 8:at + block]):
                kind, width = entry >> 12, {3: 4, 10: 8}.get(entry >> 12, 0)
                if kind and not width:
                    raise ImageError(f"{path}: relocation type {kind} not handled")
                self.relocated.update(range(page + (entry & 0xFFF), page + (entry & 0xFFF) + width))
            at += block
        self.load_map(os.path.splitext(path)[0] + ".map")

    def load_map(self, map_path):
        text = open(map_path, encoding="latin-1").read()
        self.ranges = {}  # ".text"/".rdata"/".data" -> (rva, length) of initialized bytes
        for section, offset, length, name in re.findall(r"^ ([0-9a-f]{4}):([0-9a-f]{8}) ([0-9a-f]{8})H (\.\w+)",
                                                       text, re.M):
            if name in (".text", ".rdata", ".data"):
                base = self.sections[int(section, 16) - 1][1]
                self.ranges[name] = (base + int(offset, 16), int(length, 16))
        symbols = {}
        for _, _, name, rva in re.findall(r"^ ([0-9a-f]{4}):([0-9a-f]{8})\s+(\S+)\s+([0-9a-f]{16})", text, re.M):
            symbols.setdefault(int(rva, 16) - self.image_base, name)
        self.symbols = sorted(symbols.items())
        if ".text" not in self.ranges or not self.symbols:
            raise ImageError(f"{map_path}: no .text range or no symbols")

    def section_of(self, rva):
        for index, (name, start, vsize, raw_at, raw_size) in enumerate(self.sections):
            if start <= rva < start + max(vsize, raw_size):
                return index, name, start, raw_at, raw_size
        raise ImageError(f"{self.path}: RVA {rva:#x} in no section")

    def offset(self, rva):
        _, _, start, raw_at, raw_size = self.section_of(rva)
        if rva - start >= raw_size:
            raise ImageError(f"{self.path}: RVA {rva:#x} has no file bytes")
        return raw_at + rva - start

    def map_address(self, rva):
        index, _, start, _, _ = self.section_of(rva)
        return f"{index + 1:04x}:{rva - start:08x}"

    def symbol(self, rva):
        """(decorated name, start RVA) of the symbol rva falls in."""
        best = (None, 0)
        for start, name in self.symbols:
            if start > rva:
                break
            best = (name, start)
        return best


class Mutant:
    def __init__(self, image, operator, rva, old, new, what, insn=None):
        self.image, self.operator, self.rva, self.old, self.new, self.what = image, operator, rva, old, new, what
        self.insn = insn  # (RVA, length) of the changed instruction; None for data
        decorated, start = image.symbol(rva)
        self.function = f"{undecorated(decorated)}+{rva - start:#x}" if decorated else "?"
        self.group = decorated or "?"
        self.id = f"{image.name} {operator} {rva:#x} {what}"

    def describe(self):
        return (f"{self.id}  [map {self.image.map_address(self.rva)}, RVA {self.rva:#x}, file offset "
                f"{self.image.offset(self.rva):#x}, {self.function}]")

    def apply(self, data):
        at = self.image.offset(self.rva)
        if data[at:at + len(self.old)] != self.old:
            raise ImageError(f"{self.id}: bytes at {at:#x} are not the expected ones")
        data[at:at + len(self.new)] = self.new
        if self.insn:
            # The changed instruction must decode to the same length, so the ones after it stay.
            start, length = self.insn
            first = self.image.offset(start)
            decoded = list(DISASSEMBLER.disasm(bytes(data[first:first + length]), start))
            shape = [(i.mnemonic, i.size) for i in decoded]
            want = ([("xor", 2)] + ([("nop", length - 2)] if length > 2 else [])) if self.operator == "call" else None
            if sum(size for _, size in shape) != length or (want and shape != want) or (not want and len(shape) != 1):
                raise ImageError(f"{self.id}: the changed instruction does not decode to {length} bytes")


def condition_at(insn, first, last):
    """Offset of the opcode byte carrying a condition nibble: a one-byte opcode in [first, last] or
    0F followed by one in [first, last], after any prefixes and REX."""
    b, at = insn.bytes, 0
    while at < len(b) and (b[at] in PREFIXES or 0x40 <= b[at] <= 0x4F):
        at += 1
    if first >= 0x70 and first <= b[at] <= last and first < 0x80:
        return at
    if at + 1 < len(b) and b[at] == 0x0F and first <= b[at + 1] <= last:
        return at + 1
    return None


def sites(image):
    """Every possible mutant of image, by operator."""
    found = {op: [] for op in OPERATORS}
    md = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_64)
    md.detail = True
    text_start, text_length = image.ranges[".text"]
    starts = [s for s, _ in image.symbols if text_start <= s < text_start + text_length] + [text_start + text_length]

    def add(op, insn, offset, new, what):
        rva, old = insn.address + offset, bytes(insn.bytes[offset:offset + len(new)])
        if not image.relocated.intersection(range(rva, rva + len(new))):
            found[op].append(Mutant(image, op, rva, old, new, what, (insn.address, insn.size)))

    for start, end in zip(starts, starts[1:]):
        code = image.bytes[image.offset(start):image.offset(start) + end - start]
        for insn in md.disasm(code, start):
            groups = set(insn.groups)
            jcc = x86.X86_GRP_JUMP in groups and insn.mnemonic not in ("jmp", "jrcxz", "jecxz", "loop")
            conditional = None
            if jcc:
                conditional = condition_at(insn, 0x70, 0x7F)
                if conditional is None:
                    conditional = condition_at(insn, 0x80, 0x8F)
                if conditional is not None:
                    c = insn.bytes[conditional]
                    add("jump", insn, conditional, bytes([c ^ 1]),
                        f"{insn.mnemonic}->j{CONDITION[(c ^ 1) & 0xF]}")
            elif insn.mnemonic.startswith(("set", "cmov")):
                conditional = condition_at(insn, 0x90, 0x9F) if insn.mnemonic.startswith("set") else \
                    condition_at(insn, 0x40, 0x4F)
                if conditional is not None:
                    c = insn.bytes[conditional]
                    stem = "set" if insn.mnemonic.startswith("set") else "cmov"
                    add("compare", insn, conditional, bytes([c ^ 1]), f"{insn.mnemonic}->{stem}{CONDITION[(c ^ 1) & 0xF]}")
            if conditional is not None:
                c = insn.bytes[conditional]
                if c & 0xF in SIGNEDNESS:
                    twin = (c & 0xF0) | SIGNEDNESS[c & 0xF]
                    stem = insn.mnemonic.rstrip("abegln").rstrip()
                    add("compare", insn, conditional, bytes([twin]),
                        f"{insn.mnemonic}->{stem}{CONDITION[twin & 0xF]}")
            if x86.X86_GRP_CALL in groups:
                new = RETURN_ZERO + NOPS[insn.size - 2] if insn.size >= 2 else None
                if new:
                    add("call", insn, 0, new, f"'{insn.mnemonic} {insn.op_str}'->'xor eax, eax'")
            elif insn.imm_size and not groups & {x86.X86_GRP_JUMP, x86.X86_GRP_RET, x86.X86_GRP_INT}:
                ops = insn.operands
                if ops and ops[0].type == x86.X86_OP_REG and ops[0].reg in (x86.X86_REG_RSP, x86.X86_REG_ESP):
                    continue  # the frame's size: compiler bookkeeping, not a constant of the driver
                size, at = insn.imm_size, insn.imm_offset
                value = int.from_bytes(insn.bytes[at:at + size], "little")
                step = 1 if value == 0 or (insn.address & 1) else -1
                new = ((value + step) % (1 << (8 * size))).to_bytes(size, "little")
                add("immediate", insn, at, new, f"'{insn.mnemonic} {insn.op_str}' imm {value:#x}->{int.from_bytes(new, 'little'):#x}")
    for name in (".rdata", ".data"):
        if name not in image.ranges:
            continue
        start, length = image.ranges[name]
        for rva in range(start, start + length):
            try:
                at = image.offset(rva)
            except ImageError:
                continue  # beyond the file's bytes
            if rva in image.relocated:
                continue
            old = image.bytes[at]
            found["data"].append(Mutant(image, "data", rva, bytes([old]), bytes([old ^ 1]),
                                        f"{name} byte {old:#04x}->{old ^ 1:#04x}"))
    return found


def ordered(image, seed):
    """Every site of image in the run's order: round-robin over operators, within each over groups."""
    rng = random.Random(f"{seed}:{image.name}")
    lanes = []
    for op, mutants in sites(image).items():
        groups = {}
        for m in mutants:
            groups.setdefault(m.group, []).append(m)
        keys = sorted(groups)
        rng.shuffle(keys)
        for k in keys:
            rng.shuffle(groups[k])
        lane, depth = [], 0
        while any(depth < len(groups[k]) for k in keys):
            lane += [groups[k][depth] for k in keys if depth < len(groups[k])]
            depth += 1
        lanes.append(lane)
    out, depth = [], 0
    while any(depth < len(lane) for lane in lanes):
        out += [lane[depth] for lane in lanes if depth < len(lane)]
        depth += 1
    return out


def image_tests(root):
    """Image name -> [(test binary's target name, the environment the image label gives it)], from
    the image tests' CMake file."""
    text = open(os.path.join(root, "tests/image/CMakeLists.txt")).read()
    tests = {}
    for host, image, rest in re.findall(r"^add_image_test\((\w+) IMAGE (\w+)([^)]*)\)", text, re.M):
        setting = re.search(r"\bENVIRONMENT((?:\s+\w+=\S+)+)", rest)
        environment = dict(v.split("=", 1) for v in setting.group(1).split()) if setting else {}
        tests.setdefault(image, []).append((f"{host}_image", environment))
    return tests


def run_tests(binary, image_dir, timeout):
    """(verdict, seconds, detail) of the binary's cases against image_dir, stopping at the first failure."""
    started = time.monotonic()
    binary, environment = binary
    env = dict(os.environ, IMAGE_DIR=image_dir, **environment)
    with subprocess.Popen([binary, "--gtest_fail_fast", "--gtest_brief=1"], env=env, cwd=image_dir,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True) as p:
        try:
            out, _ = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
            return "timeout", time.monotonic() - started, f"over {timeout:.0f} s"
    seconds = time.monotonic() - started
    if p.returncode == 0:
        return "survived", seconds, ""
    failed = re.findall(r"^\[  FAILED  \] (\S+)", out.decode(errors="replace"), re.M)
    return "killed", seconds, failed[0].rstrip(":") if failed else f"exit status {p.returncode}"


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--images", default=os.path.join(root, "build/firmware/images"), help="the built images")
    ap.add_argument("--build", default=os.path.join(root, "build/host"), help="the host build (test binaries)")
    ap.add_argument("--only", default="", help="comma-separated image names (default: every image with tests)")
    ap.add_argument("--count", type=int, default=0, help="mutants in all, shared out by the images' sizes")
    ap.add_argument("--each", default="", help="mutants per image (instead of --count), as N or N,Image=M,...; "
                                               "M may be FIRST:END to resume a run")
    ap.add_argument("--at", default="", help="only these positions (0-based, comma-separated) of each image's order, "
                                            "to judge chosen mutants again")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=0, help="seconds per mutant (default: 3x the clean run + 10)")
    ap.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    ap.add_argument("--check-sites", action="store_true",
                    help="apply every possible mutant of each image in memory, check its encoding, and stop")
    ap.add_argument("--expect-killed", help="file of mutant ids (one a line) that must not survive")
    args = ap.parse_args()

    tests = image_tests(root)
    names = [n for n in args.only.split(",") if n] or sorted(tests)
    for n in names:
        if n not in tests:
            sys.exit(f"binary-mutation: no image test for {n}")
    images = {n: Image(os.path.join(args.images, n + ".efi")) for n in names}
    if args.each:
        default, *overrides = args.each.split(",")
        share = {n: default for n in names}
        for o in overrides:
            image, count = o.split("=")
            share[image] = count
        share = {n: tuple(int(x) for x in c.split(":")) if ":" in c else (0, int(c)) for n, c in share.items()}
    else:
        count = args.count or 10 * len(names)
        size = {n: sum(images[n].ranges.get(s, (0, 0))[1] for s in (".text", ".rdata", ".data")) for n in names}
        share = {n: (0, max(3, round(count * size[n] / sum(size.values())))) for n in names}
    chosen = {n: ordered(images[n], args.seed)[share[n][0]:share[n][1]] for n in names}
    if args.at:
        chosen = {n: [ordered(images[n], args.seed)[int(i)] for i in args.at.split(",")] for n in names}
    if args.check_sites:
        for n in names:
            every = ordered(images[n], args.seed)
            try:
                for m in every:
                    m.apply(bytearray(images[n].bytes))
            except ImageError as e:
                print(f"binary-mutation: {e}", file=sys.stderr)
                return 1
            kinds = ", ".join(f"{op} {sum(m.operator == op for m in every)}" for op in OPERATORS)
            print(f"{n}: {len(every)} sites apply and keep their lengths ({kinds})")
            if not all(any(m.operator == op for m in every) for op in OPERATORS if op != "data"):
                print(f"binary-mutation: {n} lacks sites for an operator", file=sys.stderr)
                return 1
        return 0
    if args.list:
        for n in names:
            for m in chosen[n]:
                print(m.describe())
        return 0

    checker = os.path.join(args.build, "tools/check-image/check_image")
    work = tempfile.mkdtemp(prefix="binary-mutation.")
    try:
        def prepare(tag, mutant=None):
            directory = os.path.join(work, tag)
            shutil.copytree(args.images, directory)
            if mutant:
                path = os.path.join(directory, mutant.image.name + ".efi")
                data = bytearray(open(path, "rb").read())
                mutant.apply(data)
                open(path, "wb").write(data)
                check = subprocess.run([checker, "--section-alignment", "MediaCapsuleSmm=0x1000", path],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                if check.returncode:
                    raise ImageError(f"{mutant.id}: the image checker refuses the mutant:\n{check.stdout.decode()}")
            return directory

        def binaries(n):
            return [(os.path.join(args.build, "tests/image", t), environment) for t, environment in tests[n]]

        # The clean copies first: each image's cases must pass from a copied directory, and each
        # binary's time sets its limit per mutant.
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            clean = {(n, b[0]): pool.submit(lambda n=n, b=b: run_tests(b, prepare(f"clean-{n}-{os.path.basename(b[0])}"), 1800))
                     for n in names for b in binaries(n)}
            limits = {}
            for (n, path), result in clean.items():
                verdict, seconds, detail = result.result()
                if verdict != "survived":
                    print(f"binary-mutation: {n}'s cases fail on the unchanged image ({detail})", file=sys.stderr)
                    return 2
                limits[path] = args.timeout or 3 * seconds + 10
                print(f"clean {n} ({os.path.basename(path)}): passes in {seconds:.1f} s, limit per mutant {limits[path]:.0f} s",
                      flush=True)

            def judge(tag, m):
                """The first binary that notices the mutant decides; it survives only if none does."""
                directory = prepare(tag, m)
                try:
                    total = 0.0
                    for b in binaries(m.image.name):
                        verdict, seconds, detail = run_tests(b, directory, limits[b[0]])
                        total += seconds
                        if verdict != "survived":
                            return verdict, total, detail
                    return "survived", total, ""
                finally:
                    shutil.rmtree(directory, ignore_errors=True)

            jobs = [(m, pool.submit(judge, f"m{i}", m)) for i, m in enumerate(m for n in names for m in chosen[n])]
            results = []
            for m, future in jobs:
                verdict, seconds, detail = future.result()
                results.append((m, verdict))
                print(f"{verdict:8} {seconds:6.1f} s  {m.id}  {detail}", flush=True)
    except ImageError as e:
        print(f"binary-mutation: {e}", file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("\nscore per image (killed / mutants; a timeout counts as killed):")
    for n in names:
        mine = [v for m, v in results if m.image.name == n]
        killed = sum(v != "survived" for v in mine)
        print(f"  {n:20} {killed:3} / {len(mine):3}")
    total = sum(v != "survived" for _, v in results)
    print(f"  {'all':20} {total:3} / {len(results):3}")
    survivors = [m for m, v in results if v == "survived"]
    if survivors:
        print("\nsurvivors:")
        for m in survivors:
            print("  " + m.describe())
    if args.expect_killed:
        expected = [l.strip() for l in open(args.expect_killed) if l.strip() and not l.startswith("#")]
        ran = {m.id: v for m, v in results}
        stale = [e for e in expected if e not in ran]
        for e in stale:
            print(f"not among this run's mutants (the images changed; refresh the list): {e}")
        wrong = [e for e in expected if ran.get(e) == "survived"]
        for e in wrong:
            print(f"FAIL: expected killed, survived: {e}")
        if len(stale) == len(expected):
            print("FAIL: none of the expected-killed mutants ran")
            return 1
        return 1 if wrong else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
