"""Runs the unit tests, as ctest does: `python3 -m analyze.tests` from the
source root. Without the Python libraries the analysis uses, the tests are
skipped (status 77) or, where every package is required
(THREAD_START_REQUIRE_PACKAGES=1), fail."""

from __future__ import annotations

import importlib
import os
import sys
import unittest

# The status that tells ctest a test was skipped (SKIP_RETURN_CODE).
SKIPPED = 77
LIBRARIES = (("numpy", "python3-numpy"), ("scipy", "python3-scipy"),
             ("matplotlib", "python3-matplotlib"))


def missing() -> list[str]:
    """The Debian packages of the libraries that cannot be imported."""
    packages = []
    for module, package in LIBRARIES:
        try:
            importlib.import_module(module)
        except ImportError:
            packages.append(package)
    return packages


def main() -> int:
    packages = missing()
    if packages:
        required = os.environ.get("THREAD_START_REQUIRE_PACKAGES") == "1"
        print(f"{'missing' if required else 'skipped'}: {' and '.join(packages)} "
              f"not installed (tools/install-packages test installs them)", file=sys.stderr)
        return 1 if required else SKIPPED
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    tests = unittest.defaultTestLoader.discover(here, top_level_dir=root)
    result = unittest.TextTestRunner(verbosity=1).run(tests)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
