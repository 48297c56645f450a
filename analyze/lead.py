"""The lines a report opens with, its answer in words: printed each on a
line of its own in text (never wrapped, so that a script or a reader finds
each whole), as paragraphs in Markdown, as notes in CSV."""

from __future__ import annotations

from typing import Sequence

from .tables import Output, visible


def lines(out: Output, texts: Sequence[str], first: bool = False) -> None:
    """The lines given; `first` where they open the output, so that a blank
    line parts them from the table after them. Where one table is asked for
    (--table), only CSV keeps them, as notes off the table."""
    if out.chosen is not None and out.form != "csv":
        return
    for i, text in enumerate(texts):
        if out.form == "csv":
            out.note(text)
        elif out.form == "markdown":
            if i or not first:
                out.print()
            out.print(visible(text))
        else:
            out.print(visible(text))
    if first and texts and out.form != "csv":
        out.print()
