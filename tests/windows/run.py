"""Runs every tests/windows/test_*.py under Wine and closes with "wine: N passed, N failed"."""

import os
import sys
import unittest


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    pattern = sys.argv[1] if len(sys.argv) > 1 else "test_*.py"
    suite = unittest.defaultTestLoader.discover(here, pattern=pattern, top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    # A test with several failed sub-tests counts once.
    failed_tests = {getattr(test, "test_case", test).id()
                    for test, _ in result.failures + result.errors}
    failed = len(failed_tests) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print(f"wine: {passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
