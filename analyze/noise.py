"""Whether a run was disturbed, as the bench judged it (its context entry
`noise`: "quiet", or "disturbed: REASON[; REASON]..."), or, for a file
written before that entry, as its load average says: above one process
waiting per CPU, the run shared its CPUs with other work. The reports
repeat a disturbed verdict in one line; a quiet run gives none."""

from __future__ import annotations

import math
import re
from typing import NamedTuple, Protocol, Sequence

from .reader import Results

NOISE = "noise"
QUIET = "quiet"
DISTURBED = "disturbed: "
# The variants' rows, program_run/NAME, and a variant in the context entry
# `variants` ("NAME: VAR=VALUE ...; NAME: ..."; "none" without any).
VARIANT_ROW = "program_run/"
VARIANT = re.compile(r"(?:^|; )([a-z][a-z0-9_]{0,31}):(?= |$)")


class Described(Protocol):
    """A run as its context describes it: a file read, or a stored run."""

    @property
    def context(self) -> dict[str, object]: ...


class Disturbed(NamedTuple):
    """A disturbed run: how the report names it ("[3]", or its path) and
    why it was judged so."""

    run: str
    reasons: str


def number(value: object) -> float | None:
    if isinstance(value, (int, float)) and not isinstance(value, bool) \
            and math.isfinite(value):
        return float(value)
    return None


def disturbance(r: Described) -> str | None:
    """Why the run was disturbed, or None where it was quiet or nothing
    tells."""
    verdict = r.context.get(NOISE)
    if verdict is not None:
        if isinstance(verdict, str) and verdict.startswith(DISTURBED):
            return verdict[len(DISTURBED):] or "no reason given"
        if verdict == QUIET:
            return None
        # Not the bench's words: nothing says the run was quiet.
        return f"its noise entry is not the bench's: {str(verdict)[:40]!r}"
    loads = r.context.get("load_avg")
    load = number(loads[0]) if isinstance(loads, list) and loads else None
    cpus = number(r.context.get("num_cpus"))
    if load is None or cpus is None or cpus < 1 or load <= cpus:
        return None
    return f"load average {load:.2f} on {cpus:.0f} CPUs"


def disturbed(results: Sequence[Described], names: Sequence[str]) -> list[Disturbed]:
    """The disturbed runs among `results`, each named as in `names`."""
    return [Disturbed(name, why) for r, name in zip(results, names)
            if (why := disturbance(r)) is not None]


# The bench's threshold after a reason, "(above 10.0 %)": the same for
# every run, so left out where several runs are named.
THRESHOLD = re.compile(r" \(above [^()]*\)")


def runs_text(runs: Sequence[Disturbed]) -> str:
    """"[2] (REASONS), [5] (REASONS)", each without its threshold."""
    return ", ".join(f"{d.run} ({THRESHOLD.sub('', d.reasons)})" for d in runs)


def disturbed_line(whose: str, runs: Sequence[Disturbed], of: int) -> str:
    """One line of a side's, host's or label's disturbed runs: "disturbed:
    WHOSE, 2 of 8 runs: [2] (REASONS), [5] (REASONS)"."""
    return f"disturbed: {whose}{', ' if whose else ''}{len(runs)} of {of} runs: " \
           f"{runs_text(runs)}"


def left_out_variants(r: Results) -> list[str]:
    """The variants that the context lists but whose row the file lacks:
    left out by --benchmark_filter."""
    described = r.context.get("variants")
    if not isinstance(described, str) or described == "none":
        return []
    return [name for name in VARIANT.findall(described) if VARIANT_ROW + name not in r.values]


class DisturbedOf(NamedTuple):
    """The disturbed runs of a side or host: its name, its runs, and those
    disturbed."""

    whose: str
    runs: int
    disturbed: tuple[Disturbed, ...]
