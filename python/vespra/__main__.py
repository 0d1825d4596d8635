"""The `vespra` command (also `python -m vespra`): hands the command line to the extension.

The process's exit status is the one cli_main returns, or, when the traced program raised, the
one the interpreter gives that exception: SystemExit carries the program's own status, and any
other exception is printed with its traceback and exits with 1, as under plain `python`.
"""

import sys


def main():
    # A vespra started from a traced process was joined to its parent's trace at start-up;
    # it was asked to make a trace of its own, and only one tracer can run in a process.
    startup = sys.modules.get("vespra._startup")
    if startup is not None:
        startup.stop()
    from vespra._core import cli_main

    return cli_main(sys.argv)


if __name__ == "__main__":
    sys.exit(main())
