"""Tables and notes as aligned text, Markdown or CSV.

A table's columns are each a name, an alignment and a kind of value; the
one list of them makes the header, the Markdown divider and every row, so
that these cannot disagree. Text and Markdown show each value as a person
reads it ("+3.1%", "[1.0, 2.0]"); CSV gives numbers as numbers: a change
in percent without its sign of percent, an interval as two columns (its low
and high ends), a value with its spread as two columns, and an empty cell
where there is no value.

Names come from the files (rows, labels, paths, host names, variants) and
may hold anything: text and Markdown show their control characters
escaped ("\\n", "\\x1b"), so that a name stays on its line and sends the
terminal nothing, and Markdown escapes "|"; CSV keeps them, quoted, but
starts with "'" a text cell that a spreadsheet would read as a formula."""

from __future__ import annotations

import csv
import enum
import math
import re
import sys
import textwrap
from dataclasses import dataclass, field
from typing import NamedTuple, TextIO, Union

from .errors import Unusable
from .estimates import Change, Interval

# The width that notes are wrapped to in text and Markdown.
NOTE_WIDTH = 79
# Control characters, C0, DEL and C1, and the Unicode line and paragraph
# separators: what a terminal acts on or a reader takes as a line's end.
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
SHORT_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# What a spreadsheet takes as the start of a formula in a cell that is not
# a number (or "-" alone, the mark of a missing value).
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def visible(text: str) -> str:
    """`text` with its control characters escaped, as C writes them."""
    def escaped(match: re.Match[str]) -> str:
        char = match.group()
        if char in SHORT_ESCAPES:
            return SHORT_ESCAPES[char]
        return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"

    return CONTROL.sub(escaped, text)


def inert(text: str) -> str:
    """A CSV cell that no spreadsheet reads as a formula: text that would
    start one is given a leading "'", as spreadsheets themselves do."""
    if text.startswith(FORMULA_START) and text != "-" and not NUMBER.fullmatch(text):
        return "'" + text
    return text


class Align(enum.Enum):
    LEFT = "<"
    RIGHT = ">"


class Kind(enum.Enum):
    """What a column holds, which says how each format shows it."""

    TEXT = enum.auto()  # str, as it is
    COUNT = enum.auto()  # int
    TICKS = enum.auto()  # float, to one place
    CHANGE = enum.auto()  # Change: "+3.1%"; in CSV the percent
    SHARE = enum.auto()  # float, a fraction: "40%"; in CSV the percent
    INTERVAL = enum.auto()  # Interval: "[1.0, 2.0]"; in CSV low and high
    # Interval in percent: "[-3.1%, +2.0%]"; in CSV low and high, in percent
    CHANGE_INTERVAL = enum.auto()
    SPREAD = enum.auto()  # Spread: "5.0 +- 1.2"; in CSV value and spread


class Spread(NamedTuple):
    """A value and its spread."""

    value: float
    spread: float


class Missing(NamedTuple):
    """No value, and why: the reason is shown in text and Markdown, and CSV
    leaves the cells empty."""

    reason: str


NONE = Missing("-")

Cell = Union[str, int, float, Change, Interval, Spread, Missing]


@dataclass(frozen=True)
class Column:
    """A column: its name, alignment and kind. A column of one side among
    several names that side, so that its CSV columns have names of their
    own ("after change %": the side's name, then the column's)."""

    name: str
    align: Align = Align.RIGHT
    kind: Kind = Kind.TEXT
    side: str = ""

    def markdown_name(self) -> str:
        """Its name in a Markdown header: after its side's, as no two
        columns of a table have one name there."""
        return f"{self.side} {self.name}" if self.side else self.name

    def csv_names(self) -> list[str]:
        prefix = f"{self.side} " if self.side else ""
        if self.kind in (Kind.CHANGE, Kind.SHARE):
            return [f"{prefix}{self.name} %"]
        if self.kind == Kind.INTERVAL:
            return [f"{prefix}low", f"{prefix}high"]
        if self.kind == Kind.CHANGE_INTERVAL:
            return [f"{prefix}{self.name} low %", f"{prefix}{self.name} high %"]
        if self.kind == Kind.SPREAD:
            return [f"{prefix}{self.name}", f"{prefix}{self.name} spread"]
        return [f"{prefix}{self.name}"]


def ticks_text(value: float) -> str:
    """A number of ticks to one place; "-" for NaN."""
    if math.isnan(value):
        return "-"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.1f}"


def percent_text(value: float) -> str:
    """A number in percent, signed, to one place: "+3.1%"."""
    if math.isnan(value) or math.isinf(value):
        return ticks_text(value)
    return f"{value:+.1f}%"


def change_text(change: Change) -> str:
    if change.percent is None:
        return "-" if change.difference == 0 else "n/a (base 0)"
    return f"{change.percent:+.1f}%"


def cell_text(column: Column, cell: Cell) -> str:
    """A cell as text and Markdown show it."""
    if isinstance(cell, Missing):
        return visible(cell.reason)
    if isinstance(cell, str):
        return visible(cell)
    if isinstance(cell, Change):
        return change_text(cell)
    if isinstance(cell, Interval):
        if column.kind == Kind.CHANGE_INTERVAL:
            return f"[{percent_text(cell.low)}, {percent_text(cell.high)}]"
        return f"[{ticks_text(cell.low)}, {ticks_text(cell.high)}]"
    if isinstance(cell, Spread):
        return f"{ticks_text(cell.value)} +- {ticks_text(cell.spread)}"
    if column.kind == Kind.COUNT:
        return str(int(cell))
    if column.kind == Kind.SHARE:
        return f"{cell:.0%}"
    return ticks_text(float(cell))


def number_csv(value: float) -> str:
    """A number for a spreadsheet: to one place, "inf" or "-inf", or an
    empty cell for NaN."""
    return "" if math.isnan(value) else ticks_text(value)


def cell_csv(column: Column, cell: Cell) -> list[str]:
    """A cell as CSV gives it: one field a number."""
    width = len(column.csv_names())
    if isinstance(cell, Missing):
        return [""] * width
    if isinstance(cell, str):
        return [inert(cell)] + [""] * (width - 1)
    if isinstance(cell, Change):
        return [number_csv(cell.percent) if cell.percent is not None else ""]
    if isinstance(cell, Interval):
        return [number_csv(cell.low), number_csv(cell.high)]
    if isinstance(cell, Spread):
        return [number_csv(cell.value), number_csv(cell.spread)]
    if column.kind == Kind.COUNT:
        return [str(int(cell))]
    if column.kind == Kind.SHARE:
        return [number_csv(cell * 100)]
    return [number_csv(float(cell))]


@dataclass
class Table:
    """Rows of cells under a title; `key` names the table in CSV, where
    each of its lines starts with it."""

    key: str
    title: str
    columns: list[Column]
    rows: list[list[Cell]] = field(default_factory=list)

    def add(self, *cells: Cell) -> None:
        if len(cells) != len(self.columns):
            raise ValueError(f"{self.key}: {len(cells)} cells for {len(self.columns)} columns")
        self.rows.append(list(cells))

    def text_lines(self) -> list[str]:
        """Aligned columns two spaces apart, the header first."""
        header = [visible(c.name) for c in self.columns]
        body = [[cell_text(c, cell) for c, cell in zip(self.columns, row)] for row in self.rows]
        widths = [max(len(text) for text in column)
                  for column in zip(header, *body)]
        return ["  ".join(f"{text:{c.align.value}{w}}"
                          for text, c, w in zip(line, self.columns, widths)).rstrip()
                for line in [header] + body]

    def markdown_lines(self) -> list[str]:
        """A Markdown table: header, divider, rows."""
        def line(cells: list[str]) -> str:
            return "| " + " | ".join(cells) + " |"

        divider = "|" + "|".join(" --- " if c.align == Align.LEFT else " ---: "
                                 for c in self.columns) + "|"
        return ([line([visible(c.markdown_name()).replace("|", "\\|") for c in self.columns]),
                 divider]
                + [line([cell_text(c, cell).replace("|", "\\|")
                         for c, cell in zip(self.columns, row)])
                   for row in self.rows])

    def csv_rows(self) -> list[list[str]]:
        """The header, then the rows, each starting with the table's key
        ("table" in the header)."""
        header = ["table"] + [inert(name) for c in self.columns for name in c.csv_names()]
        return [header] + [[self.key] + [field for c, cell in zip(self.columns, row)
                                         for field in cell_csv(c, cell)]
                           for row in self.rows]


FORMATS = ("text", "markdown", "csv")
# What Markdown reads as formatting in a heading: escaped there.
MARKDOWN_MARKS = re.compile(r"([\\`*_\[\]<>#|])")


class Output:
    """Tables and notes in one of FORMATS, on a stream. With `table`, only
    the table of that name is printed, in every format, with its notes;
    CSV prints one table in any case (one header, so that it loads as one
    sheet), the first without `table`, and every note goes to `errors`
    (standard error), a line each. finish() says which table CSV gave, or
    refuses a name that the report has no table of."""

    def __init__(self, form: str, stream: TextIO, table: str | None = None,
                 errors: TextIO | None = None) -> None:
        if form not in FORMATS:
            raise ValueError(f"not a format: {form}")
        self.form = form
        self.stream = stream
        self.chosen = table
        self.errors = errors
        self.started = False
        # Whether the last table was printed: the notes under it are with it.
        self.shown = table is None
        # CSV's notes, kept until finish(): said once the report is known to
        # have the table asked for and standard output to have taken it.
        self.notes: list[str] = []
        # The names of the tables the report gave, in its order.
        self.names: list[str] = []
        # The table CSV gives without --table, where not the first.
        self.main: str | None = None

    def print(self, line: str = "") -> None:
        print(line, file=self.stream)

    def lead_with(self, key: str) -> None:
        """Makes `key` the table CSV gives without --table: the report's
        answer where its first table is not."""
        self.main = key

    def shows(self, key: str) -> bool:
        """Whether the table `key`, the next one given, is printed."""
        wanted = self.chosen if self.chosen is not None or self.form != "csv" else self.main
        if wanted is not None and key != wanted:
            return False
        return self.form != "csv" or not self.started

    def table(self, table: Table) -> None:
        """A table, a blank line after the one before."""
        if table.key not in self.names:
            self.names.append(table.key)
        self.shown = self.shows(table.key)
        if not self.shown:
            return
        if self.started:
            self.print()
        self.started = True
        if self.form == "csv":
            csv.writer(self.stream, lineterminator="\n").writerows(table.csv_rows())
            return
        if self.form == "markdown":
            self.print("### " + MARKDOWN_MARKS.sub(r"\\\1", visible(table.title)))
            self.print()
            lines = table.markdown_lines()
        else:
            self.print(visible(table.title))
            lines = table.text_lines()
        for line in lines:
            self.print(line)

    def empty(self, table: Table) -> None:
        """A table the report has no row of: its header alone where --table
        asks for it, so that a script reading it finds a table, not a
        refusal; otherwise nothing but its name, among the report's."""
        if table.key == self.chosen:
            self.table(table)
        elif table.key not in self.names:
            self.names.append(table.key)

    def note(self, text: str) -> None:
        """A line of its own under the last table, printed where it is; in
        CSV on standard error, off the table, every note."""
        if self.form == "csv":
            self.notes.append(f"note: {visible(text)}")
            return
        if not self.shown:
            return
        self.print(("\n" if self.form == "markdown" else "")
                   + textwrap.fill(visible(text), NOTE_WIDTH))


    def finish(self) -> None:
        """Refuses a table asked for that the report did not give; in CSV
        says in one line, on standard error, which table it gave and what
        the others are called."""
        if self.chosen is not None and self.chosen not in self.names:
            raise Unusable(f"--table {self.chosen}: no such table here; "
                           + (f"the tables are {', '.join(self.names)}" if self.names
                              else "this report has no table"))
        # CSV's notes once standard output has taken the table: where it is
        # lost, its one line is all that standard error says.
        self.stream.flush()
        for note in self.notes:
            print(note, file=self.errors or sys.stderr)
        self.notes = []
        if self.form == "csv" and self.chosen is None and len(self.names) > 1:
            given = self.main if self.main in self.names else self.names[0]
            print(f"table: {given} (the others, by --table NAME: "
                  f"{', '.join(n for n in self.names if n != given)})",
                  file=self.errors or sys.stderr)
