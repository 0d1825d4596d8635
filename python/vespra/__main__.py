"""The `vespra` command (also `python -m vespra`): hands the command line to the extension.

The process's exit status is the one cli_main returns, or, when the traced program raised, the
one the interpreter gives that exception: SystemExit carries the program's own status, and any
other exception is printed with its traceback and exits with 1, as under plain `python`.
"""

import os
import sys
import traceback


def _launcher_frame(tb):
    filename = tb.tb_frame.f_code.co_filename
    return filename in (__file__, "<frozen runpy>") or os.path.basename(filename) == "runpy.py"


def main():
    # A vespra started from a traced process was joined to its parent's trace at start-up;
    # it was asked to make a trace of its own, and only one tracer can run in a process.
    startup = sys.modules.get("vespra._startup")
    if startup is not None:
        startup.stop()
    from vespra._core import cli_main

    try:
        return cli_main(sys.argv)
    except (SystemExit, KeyboardInterrupt):
        raise
    except BaseException as exc:
        # Show the program's traceback as `python` would, without the launcher's frames; an
        # error of vespra itself (the output cannot be written, say) is one line.
        tb = exc.__traceback__
        while tb is not None and _launcher_frame(tb):
            tb = tb.tb_next
        if tb is None:
            text = "".join(traceback.format_exception_only(exc)).rstrip("\n")
            print(f"vespra: {text}", file=sys.stderr)
        else:
            sys.excepthook(type(exc), exc.with_traceback(tb), tb)
        return 1


if __name__ == "__main__":
    sys.exit(main())
