"""vespra: a low-overhead function-level tracer for free-threaded CPython."""
