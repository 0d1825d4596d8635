"""The interpreter the project is built for: CPython 3.13 to 3.15, with the GIL as that build has
it once vespra is imported (off on a free-threaded build)."""

import sys
import sysconfig
import unittest

import vespra  # noqa: F401  (importing it must not turn the GIL on)


class InterpreterTest(unittest.TestCase):
    def test_is_a_supported_cpython_with_the_gil_as_built(self):
        self.assertEqual(sys.implementation.name, "cpython")
        self.assertIn(sys.version_info[:2], [(3, 13), (3, 14), (3, 15)])
        free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        self.assertEqual(sys._is_gil_enabled(), not free_threaded)


if __name__ == "__main__":
    unittest.main()
