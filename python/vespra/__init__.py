"""vespra: a low-overhead function-level tracer for CPython 3.13, with or without the GIL."""

from vespra._core import Tracer

__all__ = ["Tracer"]
