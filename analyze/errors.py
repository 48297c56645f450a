"""What the analysis refuses, and how it says so."""

from __future__ import annotations

import argparse
import importlib
from typing import NoReturn

PROG = "thread-start-analyze"


class Unusable(Exception):
    """A file, a flag or the Python installation that cannot be used: one
    line on standard error and status 2, never a traceback."""


class Lost(Exception):
    """Output that could not be written, the picture's: one line on
    standard error and status 1, as for standard output."""


def need(module: str, package: str) -> None:
    """Makes sure that `module` can be imported, or says which Debian
    package brings it. Called before anything is read or printed; the
    modules that use it import it by name."""
    try:
        importlib.import_module(module)
    except ImportError as error:
        raise Unusable(
            f"needs the Python module {module.split('.')[0]} ({error.msg}): "
            f"install the Debian package {package}, and run this script "
            f"with /usr/bin/python3"
        ) from None


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are Unusable, one line with status 2
    like every other refusal."""

    def error(self, message: str) -> NoReturn:
        # A command's parser names its command: "compare: ...".
        command = self.prog[len(PROG) + 1:] if self.prog.startswith(PROG + " ") else ""
        raise Unusable(f"{command}: {message}" if command else message)
