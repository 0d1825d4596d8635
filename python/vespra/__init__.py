"""vespra: a low-overhead function-level tracer for CPython 3.13, with or without the GIL."""

from vespra._core import Tracer, counter, dump, instant, span

__all__ = ["Tracer", "counter", "dump", "instant", "span"]


def _version():
    # The installed distribution's metadata carries the version pyproject.toml gives; it is
    # read only when asked for.
    from importlib import metadata

    try:
        return metadata.version("vespra")
    except metadata.PackageNotFoundError:
        return "unknown"


def __getattr__(name):
    if name == "__version__":
        return _version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
