"""The reader on values far larger than what it reads at once: each is
decoded whole, after a number of reads that grows with the logarithm of
its size, not with its size (which would make the time grow with its
square)."""

from __future__ import annotations

import io
import json
import unittest
from unittest import mock

from analyze.reader import JsonStream

# Read a few bytes at a time, so that a value of a megabyte spans 65 536
# reads of that size.
SMALL_CHUNK = 16
SIZE = 1 << 20
# Reads of twice the text each time: about log2(SIZE / SMALL_CHUNK) = 16.
MOST_READS = 40

# case, value
CASES = (
    ("a long string", "x" * SIZE),
    ("a long string of escapes", "\n\"\\" * (SIZE // 6)),
    ("a long list of numbers", [i % 1000 for i in range(SIZE // 4)]),
    ("a deep object of long keys", {"k" * SIZE: {"j" * SIZE: [1, 2.5, None]}}),
)


class CountedText(io.StringIO):
    """A text file that counts its reads, and fails the one beyond
    MOST_READS rather than go on for as many reads as it has bytes."""

    reads = 0

    def read(self, size: int | None = -1) -> str:
        self.reads += 1
        if self.reads > MOST_READS:
            raise AssertionError(f"more than {MOST_READS} reads")
        return super().read(size)


class LargeValues(unittest.TestCase):
    def test_a_large_value_is_read_in_few_reads(self) -> None:
        for case, value in CASES:
            with self.subTest(case=case):
                f = CountedText(json.dumps({"context": value, "after": 1}))
                with mock.patch.object(JsonStream, "CHUNK", SMALL_CHUNK):
                    stream = JsonStream(f, "made.json")
                    stream.expect("{")
                    self.assertEqual(stream.value(), "context")
                    stream.expect(":")
                    self.assertEqual(stream.value(), value)
                    stream.expect(",")
                    self.assertEqual(stream.value(), "after")


if __name__ == "__main__":
    unittest.main()
