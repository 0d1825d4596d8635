"""The interpreter the project is built for: CPython 3.13, free-threaded, GIL off."""

import sys
import unittest


class InterpreterTest(unittest.TestCase):
    def test_is_free_threaded_313(self):
        self.assertEqual(sys.version_info[:2], (3, 13))
        self.assertFalse(sys._is_gil_enabled())


if __name__ == "__main__":
    unittest.main()
