"""`vespra attach PID` and `vespra detach PID`: tracing a running Python process from outside.

The attaching side writes what to record into a private folder and hands the target a short
script through `sys.remote_exec` (CPython 3.14 and later), which the target's main thread runs at
its next check for pending work. The script only calls `_begin` here, which starts a thread of
the target's own (`_serve`) and returns: that thread enters the tracer once the main thread has
left the script, so the trace holds neither the script nor this module (its code is left out by
the run's filter), only the program's own frames, each thread's open calls begun at the start.

Once the run has started, everything the thread calls is C code (the C types of `_socket`, not
the Python ones of `socket`), so that it adds nothing to the trace.

The thread then answers on an abstract Unix socket named after the process, `vespra-attach-PID`:
the attaching command holds a connection to it for as long as it runs, and a `stop` line on any
connection, or the close of the last one (the attaching command killed), stops the run.
`vespra detach PID` sends that line. On stop the target is as it was, but for vespra's modules,
which stay imported: the monitoring tool, os._exit, the exit handler and the socket are all
released, and the thread ends.
"""

import _socket
import _thread
import atexit
import json
import os
import select
import struct
import sys
import time

from vespra._core import Tracer

# What a line of the status file or the socket says.
_STARTED, _STOPPED, _ERROR = "started", "stopped", "error"
_FORMATS = {"protobuf", "json"}


_CREDS = struct.Struct("3i")  # struct ucred: pid, uid, gid


def _address(pid):
    return b"\0vespra-attach-%d" % pid


# ---- the target's side ---------------------------------------------------------------------

_session = None


def _write_status(control, *lines):
    # os's own calls, which are C: this runs in the target while its run records.
    path = control + "/status"
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, ("\n".join(lines) + "\n").encode())
    finally:
        os.close(fd)
    os.replace(path + ".tmp", path)


def _begin(control):
    """Called by the script that `vespra attach` sends, on the target's main thread."""
    global _session
    try:
        with open(control + "/request.json") as f:
            request = json.load(f)
        if _session is not None:
            raise RuntimeError("a trace is already running in this process (vespra attach)")
        listener = _socket.socket(_socket.AF_UNIX, _socket.SOCK_STREAM | _socket.SOCK_CLOEXEC)
        try:
            listener.bind(_address(os.getpid()))
        except OSError:
            listener.close()
            raise RuntimeError("another vespra attach is tracing this process") from None
        listener.listen(4)
        codes = (sys._getframe(1).f_code, _begin.__code__)
        _session = {"listener": listener, "exit": os._exit, "lock": _thread.allocate_lock()}
        _thread.start_new_thread(_serve, (control, request, listener, _thread.get_ident(), codes))
    except Exception as exc:
        _write_status(control, _ERROR, f"{type(exc).__name__}: {exc}")


def _thread_in(ident, codes):
    frame = sys._current_frames().get(ident)
    while frame is not None:
        if frame.f_code in codes:
            return True
        frame = frame.f_back
    return False


def _serve(control, request, listener, main, codes):
    session = _session
    # The run starts when the main thread has returned from the script into the program's
    # code: it runs no further code of ours, so this is a matter of its next few bytecodes.
    while _thread_in(main, codes):
        time.sleep(0.001)
    try:
        tracer = Tracer(request["output"], request["format"], request["lossless"],
                        exclude=[__name__])
        tracer.__enter__()
    except Exception as exc:
        _release(session)
        _write_status(control, _ERROR, f"{type(exc).__name__}: {exc}")
        return
    session["tracer"] = tracer
    atexit.register(_stop_at_exit)
    _write_status(control, _STARTED)
    _answer(session)


def _release(session):
    global _session
    session["listener"].close()
    if getattr(os._exit, "__self__", None) is session["exit"]:
        os._exit = session["exit"]  # the wrapper that stops a run before exiting
    _session = None


def _stop(session, reason):
    """Stops the run once, whoever asks first; returns the line that says how it went."""
    with session["lock"]:
        if "result" not in session:
            atexit.unregister(_stop_at_exit)
            try:
                session["tracer"].__exit__(None, None, None)
                session["result"] = f"{_STOPPED} {session['tracer'].dropped or 0} {reason}"
            except Exception as exc:
                session["result"] = f"{_ERROR} {type(exc).__name__}: {exc}"
            _release(session)
        return session["result"]


def _stop_at_exit():
    session = _session
    if session is not None and "tracer" in session:
        result = _stop(session, "exit")
        for conn in session.get("conns", ()):
            try:
                conn.sendall(result.encode() + b"\n")
            except OSError:
                pass


def _allowed(conn):
    """Only the target's own user and root may stop its run."""
    creds = conn.getsockopt(_socket.SOL_SOCKET, _socket.SO_PEERCRED, _CREDS.size)
    _, uid, _ = _CREDS.unpack(creds)
    return uid in (0, os.getuid())


def _answer(session):
    """Serves the socket until a stop line comes, or the last connection closes."""
    listener = session["listener"]
    conns = session["conns"] = []
    reason = None
    while reason is None:
        try:
            ready, _, _ = select.select([listener, *conns], [], [])
        except (OSError, ValueError):
            break  # the socket was closed: the run was stopped at exit
        for sock in ready:
            if sock is listener:
                fd, _ = listener._accept()
                conn = _socket.socket(fileno=fd)
                if _allowed(conn):
                    conns.append(conn)
                else:
                    conn.close()
                continue
            data = sock.recv(64)
            if data.startswith(b"stop"):
                reason = data[4:].strip().decode(errors="replace") or "detach"
            elif not data:
                conns.remove(sock)
                sock.close()
                if not conns:
                    reason = "attach-ended"
    result = _stop(session, reason or "exit")
    for conn in conns:
        try:
            conn.sendall(result.encode() + b"\n")
        except OSError:
            pass
        conn.close()


# ---- the attaching side --------------------------------------------------------------------
# Its modules are imported where they are used, not above: the target imports this module too.

_SCRIPT = """\
import os
control = {control!r}
if os.path.exists(os.path.join(control, "cancelled")):
    import shutil
    shutil.rmtree(control, ignore_errors=True)
else:
    try:
        from vespra._attach import _begin
    except Exception as exc:
        with open(os.path.join(control, "status.tmp"), "w") as f:
            f.write("error\\nvespra cannot be imported in that process (%s: %s): install it into "
                    "the environment the process runs in\\n" % (type(exc).__name__, exc))
        os.replace(os.path.join(control, "status.tmp"), os.path.join(control, "status"))
    else:
        _begin(control)
"""


class _Refusal(Exception):
    """Attaching or detaching cannot go on; the message says why."""


def _duration(text):
    import argparse

    units = {"ms": 1e-3, "s": 1.0, "m": 60.0, "h": 3600.0}
    for unit in sorted(units, key=len, reverse=True):
        if text.endswith(unit):
            number = text[: -len(unit)]
            break
    else:
        unit, number = "s", text
    try:
        seconds = float(number) * units[unit]
    except ValueError:
        seconds = -1.0
    if not seconds > 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError(
            f"invalid duration {text!r}: a positive number with ms, s, m or h (10s, 1.5m)")
    return seconds


def _parser(command):
    import argparse

    parser = argparse.ArgumentParser(prog=f"vespra {command}")
    parser.add_argument("pid", type=int, metavar="PID", help="process id of a running Python")
    if command == "attach":
        parser.description = (
            "Trace a running Python process (CPython 3.14 or newer, of the interpreter vespra is "
            "installed for) until the duration passes, Ctrl-C, or `vespra detach PID`.")
        parser.add_argument("-o", "--output", required=True, help="trace file to write")
        parser.add_argument("-f", "--format", default="protobuf", choices=sorted(_FORMATS))
        parser.add_argument("--duration", type=_duration, metavar="TIME",
                            help="stop after TIME (10s, 500ms, 2m)")
        parser.add_argument("--lossless", action="store_true",
                            help="never drop events: the target waits for the writer instead")
        parser.add_argument("-q", "--quiet", action="store_true",
                            help="print nothing of vespra's own but errors")
    else:
        parser.description = "Stop a trace that `vespra attach` runs in a process."
    return parser


def _check_process(pid):
    if pid <= 0:
        raise _Refusal(f"no process {pid}")
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        raise _Refusal(f"no process {pid}") from None
    except PermissionError:
        raise _Refusal(f"no permission to trace process {pid}: it belongs to another user "
                       "(run vespra as that user, or as root)") from None


def _remote_debug_disabled(pid):
    """True when the target was started with remote debugging switched off (when we can tell)."""
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            environ = f.read().split(b"\0")
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    if any(v.startswith(b"PYTHON_DISABLE_REMOTE_DEBUG=") and len(v) > 28 for v in environ):
        return True
    return any(a == b"-Xdisable_remote_debug" or (a == b"disable_remote_debug" and b == b"-X")
               for b, a in zip([b""] + argv, argv))


def _send(pid, script):
    remote_exec = getattr(sys, "remote_exec", None)
    if remote_exec is None:
        raise _Refusal("attaching needs CPython 3.14 or newer (sys.remote_exec); this is "
                       f"{sys.version.split()[0]}")
    if _remote_debug_disabled(pid):
        raise _Refusal(f"process {pid} has remote debugging switched off "
                       "(PYTHON_DISABLE_REMOTE_DEBUG or -X disable_remote_debug)")
    try:
        remote_exec(pid, script)
    except PermissionError as exc:
        raise _Refusal(f"no permission to trace process {pid} ({exc.strerror or exc}): run vespra "
                       "as its user or as root, where the system lets processes be traced") from None
    except ProcessLookupError:
        raise _Refusal(f"no process {pid}") from None
    except (OSError, RuntimeError) as exc:
        text = str(exc)
        if "not enabled" in text or "disabled" in text:
            raise _Refusal(f"process {pid} has remote debugging switched off "
                           "(PYTHON_DISABLE_REMOTE_DEBUG or -X disable_remote_debug)") from None
        raise _Refusal(f"cannot attach to process {pid}: {text}: it must run the same Python "
                       f"as this vespra ({sys.executable}, {sys.version.split()[0]})") from None


def _wait_for_status(pid, control, quiet):
    path = os.path.join(control, "status")
    waited, told = 0.0, False
    while not os.path.exists(path):
        if not _alive(pid):
            raise _Refusal(f"process {pid} ended before the trace started")
        if waited > 2 and not told and not quiet:
            print(f"vespra: waiting for process {pid} to run Python code in its main thread",
                  file=sys.stderr)
            told = True
        time.sleep(0.01)
        waited += 0.01
    with open(path) as f:
        state, _, detail = f.read().partition("\n")
    if state != _STARTED:
        raise _Refusal(f"cannot trace process {pid}: {detail.strip()}")


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    try:  # a zombie has ended
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return True


def _connect(pid):
    import socket

    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    try:
        conn.connect(_address(pid))
    except OSError:
        conn.close()
        raise _Refusal(f"process {pid} is not traced by vespra attach") from None
    return conn


def _report(pid, output, line, quiet):
    state, _, rest = line.partition(" ")
    if state != _STOPPED:
        raise _Refusal(f"the trace of process {pid} did not end well: {rest or 'no answer'}")
    dropped, _, reason = rest.partition(" ")
    if quiet:
        return
    text = f"vespra: trace of process {pid} written to {output}"
    if reason == "exit":
        text += " (the process exited)"
    try:
        text += f" ({os.stat(output).st_size:,} bytes)"
    except OSError:
        pass
    if int(dropped or 0) > 0:
        text += (f", but {int(dropped):,} events were dropped while recording (--lossless keeps "
                 "them all, slowing the process down instead)")
    print(text + f"; look at it with `vespra summary {output}`", file=sys.stderr)


def _attach(args):
    import shutil
    import signal
    import tempfile

    _check_process(args.pid)
    output = os.path.abspath(args.output)
    control = tempfile.mkdtemp(prefix=f"vespra-attach-{args.pid}-")
    handed_over = False
    try:
        with open(os.path.join(control, "request.json"), "w") as f:
            json.dump({"output": output, "format": args.format, "lossless": args.lossless}, f)
        script = os.path.join(control, "attach.py")
        with open(script, "w") as f:
            f.write(_SCRIPT.format(control=control))
        owner = os.stat(f"/proc/{args.pid}")
        if os.getuid() == 0 and owner.st_uid != 0:  # the target writes its answer here
            for path in (control, script, f.name):
                os.chown(path, owner.st_uid, owner.st_gid)
        _send(args.pid, script)
        handed_over = True
        try:
            _wait_for_status(args.pid, control, args.quiet)
        except KeyboardInterrupt:
            # The target may still run the script later: it then finds this and does nothing.
            open(os.path.join(control, "cancelled"), "w").close()
            raise
        handed_over = False
    finally:
        if not handed_over:
            shutil.rmtree(control, ignore_errors=True)
    conn = _connect(args.pid)
    if not args.quiet:
        until = f"for {args.duration:g} s, " if args.duration else ""
        print(f"vespra: tracing process {args.pid} into {args.output}; stops {until}on Ctrl-C "
              f"or `vespra detach {args.pid}`", file=sys.stderr, flush=True)
    answer = b""
    try:
        conn.settimeout(args.duration)
        try:
            answer = conn.recv(256)  # the target's answer, when the run stopped otherwise
        except TimeoutError:
            conn.settimeout(None)
    except KeyboardInterrupt:
        pass
    if not answer:
        # Ctrl-C or the duration: a second Ctrl-C now would only lose the answer.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            conn.sendall(b"stop attach\n")
            answer = conn.recv(256)
        except OSError:
            pass
        finally:
            signal.signal(signal.SIGINT, previous)
    conn.close()
    if not answer:
        raise _Refusal(f"process {args.pid} ended while traced: its trace may be incomplete")
    _report(args.pid, args.output, answer.decode(errors="replace").strip(), args.quiet)


def _detach(args):
    _check_process(args.pid)
    conn = _connect(args.pid)
    with conn:
        conn.sendall(b"stop detach\n")
        answer = conn.recv(256).decode(errors="replace").strip()
    state, _, rest = answer.partition(" ")
    if state != _STOPPED:
        raise _Refusal(f"the trace of process {args.pid} did not end well: {rest or 'no answer'}")


def main(argv):
    """`vespra attach ...` or `vespra detach ...`; argv is the whole command line."""
    command = argv[1]
    args = _parser(command).parse_args(argv[2:])
    try:
        (_attach if command == "attach" else _detach)(args)
    except _Refusal as exc:
        print(f"vespra: {exc}", file=sys.stderr)
        return 1
    return 0
