"""vespra: a low-overhead function-level tracer for free-threaded CPython."""

from vespra._core import Tracer

__all__ = ["Tracer"]
