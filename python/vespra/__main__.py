"""The `vespra` command (also `python -m vespra`): hands the command line to the extension.

The process's exit status is the one cli_main returns, or, when the traced program raised, the
one the interpreter gives that exception, as under plain `python`: SystemExit carries the
program's own status, KeyboardInterrupt ends the process by SIGINT, and any other exception is
printed with its traceback and exits with 1.
"""

import os
import shlex
import shutil
import sys
import traceback


def _runpy_frame(tb):
    filename = tb.tb_frame.f_code.co_filename
    return filename == "<frozen runpy>" or filename.endswith(("/runpy.py", "\\runpy.py"))


def _program_traceback(tb):
    """The part of a traceback that is the program's: what follows main's frame (the `vespra`
    script, or runpy for `python -m vespra`, come before it), less the frames of runpy's lookup
    of a module."""
    rest = tb
    while rest is not None and rest.tb_frame.f_code is not main.__code__:
        rest = rest.tb_next
    tb = rest.tb_next if rest is not None else tb
    while tb is not None and _runpy_frame(tb):
        tb = tb.tb_next
    return tb


def _own_error(exc):
    """One line for a failure of vespra itself: the trace file cannot be written, say."""
    if isinstance(exc, OSError) and exc.filename is not None:
        filename = exc.filename if isinstance(exc.filename, str) else repr(exc.filename)
        return f"vespra: {filename}: {exc.strerror or exc}"
    return "vespra: " + "".join(traceback.format_exception_only(exc)).rstrip("\n")


def _invoked_as():
    """The command as the user can type it again: `vespra` when that is this script on PATH, else
    the script's path, or the interpreter with `-m vespra`."""
    argv0 = sys.argv[0] if sys.argv else ""
    if not argv0 or os.path.basename(argv0) == "__main__.py":
        return shlex.join([sys.orig_argv[0] if sys.orig_argv else "python", "-m", "vespra"])
    found = shutil.which("vespra")
    try:
        if found and os.path.samefile(found, argv0):
            return "vespra"
    except OSError:
        pass
    return shlex.quote(argv0)


def main():
    # A vespra started from a traced process was joined to its parent's trace at start-up;
    # it was asked to make a trace of its own, and only one tracer can run in a process.
    startup = sys.modules.get("vespra._startup")
    if startup is not None:
        startup.stop()
    if sys.argv[1:2] in (["attach"], ["detach"]):
        from vespra._attach import main as attach_main

        return attach_main(sys.argv)
    from vespra._core import cli_main

    try:
        return cli_main([_invoked_as(), *sys.argv[1:]])
    except SystemExit:
        raise
    except BaseException as exc:
        program_tb = _program_traceback(exc.__traceback__)
        # A script that does not compile has no frame of its own, and shows as under python.
        if program_tb is None and not isinstance(exc, (SyntaxError, KeyboardInterrupt)):
            print(_own_error(exc), file=sys.stderr)
            return 1
        # The program's exception leaves the process as it would leave `python`: the
        # interpreter prints it through sys.excepthook (the program's own, if it set one) and
        # gives the exit status, which for KeyboardInterrupt is a death by SIGINT. The hook
        # sees only the program's frames.
        program_hook = sys.excepthook

        def hook(exc_type, value, tb):
            sys.excepthook = program_hook
            tb = _program_traceback(tb)
            program_hook(exc_type, value.with_traceback(tb), tb)

        sys.excepthook = hook
        raise


if __name__ == "__main__":
    sys.exit(main())
