"""gdb command for the scripted debugging check (tools/debug-image.sh --check ...).

  check-stop --file SOURCE [--advance-to TEXT] [--expect EXPR=VALUE]... [--foreign]

On a target held by the test application (DEBUG_IMAGE, DEBUG_FUNCTION in the environment):
stops at the function (debug-stop, session.py), and passes only if the stop is in
that function, in SOURCE (relative to DEBUG_SOURCE_ROOT), on a line of the function's body as
the source text has it; then, after running to the first line of the body containing TEXT, each
EXPR must read VALUE, the value the test application passed in. --foreign first offers a symbol
file of another build (this build's with another GUID) and requires it to be refused.
"""
import os
import re
import shutil
import tempfile

import gdb

import pe


def function_lines(path, function):
    """First and last line of FUNCTION's definition: from its line at column 0 to the first
    closing brace at column 0."""
    with open(path) as f:
        lines = f.read().split("\n")
    start = next((i for i, text in enumerate(lines)
                  if re.match(r"\S.*\b%s\(" % re.escape(function), text) and not text.rstrip().endswith(";")), None)
    if start is None:
        raise gdb.GdbError("check-stop: no definition of %s in %s" % (function, path))
    end = next(i for i in range(start, len(lines)) if lines[i] == "}")
    return start + 1, end + 1, lines


def where():
    frame = gdb.selected_frame()
    sal = frame.find_sal()
    return (frame.name() or "??").split("::")[-1], sal.symtab.filename if sal.symtab else "??", sal.line


def refuses_foreign_symbols(image, directory):
    """A copy of the image's symbol file with another GUID must be refused by uefi-symbols."""
    foreign = tempfile.mkdtemp(prefix="foreign-symbols.")
    try:
        path = os.path.join(foreign, image + ".debug")
        shutil.copy(os.path.join(directory, image + ".debug"), path)
        debug = pe.PeFile(path)
        debug.data[debug.data.find(b"RSDS" + debug.codeview()[0]) + 4] ^= 0xFF  # first GUID byte
        with open(path, "wb") as f:
            f.write(debug.data)
        try:
            gdb.execute("uefi-symbols --dir %s %s" % (foreign, image), to_string=True)
        except gdb.error as e:
            print("check-stop: a symbol file of another build is refused: %s" % e)
            return "another build" in str(e)
        return False
    finally:
        shutil.rmtree(foreign)


class CheckStop(gdb.Command):
    """Scripted check of a stop inside an image: see tools/debug/check_stop.py."""

    def __init__(self):
        super().__init__("check-stop", gdb.COMMAND_USER)

    def invoke(self, argument, from_tty):
        args = gdb.string_to_argv(argument)
        options = {"--file": None, "--advance-to": None}
        expects, foreign = [], False
        while args:
            option = args.pop(0)
            if option == "--foreign":
                foreign = True
            elif option == "--expect":
                expects.append(args.pop(0).split("="))
            elif option in options:
                options[option] = args.pop(0)
            else:
                raise gdb.GdbError("check-stop: unknown option %s" % option)
        image, function = os.environ["DEBUG_IMAGE"], os.environ["DEBUG_FUNCTION"]
        source = os.path.join(os.environ["DEBUG_SOURCE_ROOT"], options["--file"])
        first, last, lines = function_lines(source, function)
        try:
            self.run(image, function, source, first, last, lines, options["--advance-to"], expects, foreign)
        finally:
            try:
                gdb.execute("kill", to_string=True)
            except gdb.error:
                pass

    def run(self, image, function, source, first, last, lines, advance_to, expects, foreign):
        if foreign and not refuses_foreign_symbols(image, os.environ["UEFI_SYMBOL_DIR"]):
            raise gdb.GdbError("check-stop: FAIL: a symbol file of another build was accepted")
        gdb.execute("debug-stop %s %s" % (image, function))

        def check_place(what):
            name, filename, line = where()
            if name != function or not filename.endswith(os.path.relpath(source, os.environ["DEBUG_SOURCE_ROOT"])) \
                    or not first <= line <= last:
                raise gdb.GdbError("check-stop: FAIL: %s at %s:%d in %s, expected %s in %s lines %d-%d"
                                   % (what, filename, line, name, function, source, first, last))
            print("check-stop: %s in %s at %s:%d (body lines %d-%d)" % (what, name, os.path.basename(filename), line,
                                                                     first, last))

        backtrace = gdb.execute("backtrace 3", to_string=True)
        print(backtrace, end="")
        if not re.search(r"#0 .*\b%s\b.*\n?.*\b%s:\d+" % (re.escape(function), re.escape(os.path.basename(source))),
                         backtrace):
            raise gdb.GdbError("check-stop: FAIL: the backtrace does not name %s in %s" % (function, source))
        check_place("stopped")
        if advance_to:
            target = next((n + 1 for n in range(first - 1, last) if advance_to in lines[n]), None)
            if target is None:
                raise gdb.GdbError("check-stop: no line with %r in %s" % (advance_to, function))
            gdb.execute("advance %s:%d" % (os.path.basename(source), target))
            check_place("advanced")
        for expression, want in expects:
            got = int(gdb.parse_and_eval(expression))
            print("check-stop: %s = 0x%x (the test passed 0x%x)" % (expression, got, int(want, 0)))
            if got != int(want, 0):
                raise gdb.GdbError("check-stop: FAIL: %s reads 0x%x, expected 0x%x" % (expression, got, int(want, 0)))
        print("check-stop: PASS %s in %s" % (function, image))


CheckStop()
