#!/usr/bin/env python3
"""Runs end-to-end test modules against a built product.

    run_e2e.py --product PATH --fake-game PATH
               [--wine --dialog-helper PATH [--trust-helper PATH]]
               [--publisher PATH] [--signed-product PATH] [module ...]

CTest passes the paths of the build (tests/e2e/CMakeLists.txt). Without
module names every test_*.py beside this file runs.
"""
import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--product", required=True)
    parser.add_argument("--fake-game", required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--dialog-helper")
    parser.add_argument("--trust-helper")
    parser.add_argument("--publisher")
    parser.add_argument("--signed-product")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("modules", nargs="*")
    options = parser.parse_args()
    harness.configure(options.product, options.fake_game, options.wine, options.dialog_helper)
    harness.configure_tools(options.publisher, options.signed_product, options.trust_helper)

    loader = unittest.TestLoader()
    if options.modules:
        suite = unittest.TestSuite(loader.loadTestsFromName(m) for m in options.modules)
    else:
        suite = loader.discover(HERE, pattern="test_*.py")
    result = unittest.TextTestRunner(verbosity=2 if options.verbose else 1).run(suite)
    run = result.testsRun
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    print("%d passed, %d failed, %d skipped" % (run - failed - len(result.skipped), failed,
                                               len(result.skipped)))
    if run == 0:
        return 1
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
