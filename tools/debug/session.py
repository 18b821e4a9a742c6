"""gdb command of tools/debug-image.sh for a target held by the test application.

  debug-stop IMAGE FUNCTION
      Loads the symbols of the test application and of IMAGE, breaks at FUNCTION, clears the
      application's DebugHold and continues to the breakpoint. Stops with an error, the target
      still held, when a symbol file is refused or FUNCTION is not in the loaded symbols.
"""
import gdb


class DebugStop(gdb.Command):
    """Stop in FUNCTION of an image held by the test application: debug-stop IMAGE FUNCTION"""

    def __init__(self):
        super().__init__("debug-stop", gdb.COMMAND_RUNNING)

    def invoke(self, argument, from_tty):
        args = gdb.string_to_argv(argument)
        if len(args) != 2:
            raise gdb.GdbError("usage: debug-stop IMAGE FUNCTION")
        image, function = args
        gdb.execute("uefi-symbols FirmwareTestApp %s" % image)
        gdb.execute("set breakpoint pending off")
        gdb.execute("break %s" % function)
        gdb.execute("set var DebugHold = 0")
        gdb.execute("continue")
        if not gdb.selected_inferior().threads():
            raise gdb.GdbError("debug-stop: the target ran to its end without stopping at %s" % function)


DebugStop()
