"""The interpreter the project is built for: CPython 3.13, either build, with the GIL as that
build has it once vespra is imported (off on the free-threaded build)."""

import sys
import sysconfig
import unittest

import vespra  # noqa: F401  (importing it must not turn the GIL on)


class InterpreterTest(unittest.TestCase):
    def test_is_cpython_313_with_the_gil_as_built(self):
        self.assertEqual(sys.implementation.name, "cpython")
        self.assertEqual(sys.version_info[:2], (3, 13))
        free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        self.assertEqual(sys._is_gil_enabled(), not free_threaded)


if __name__ == "__main__":
    unittest.main()
