"""Runs the bench made in rounds (--precision, --max-time): it looked at
each row's intervals after every round and stopped the rows that were
precise, so each interval spends only a share of its error, as the
bench's answer has it. The first round has a set number of repetitions,
each later one adds half as many again (rounded up), and a row's j-th
look spends 3 / ((j + 2) (j + 3)) of it; the shares of every look add up
to the whole, so that the intervals hold whenever the bench stopped."""

from __future__ import annotations

from collections.abc import Mapping

from .errors import Unusable

# The context's entry that says a run was made in rounds, and its rules.
STOP_RULE = "stop_rule"
RULES = ("precision", "time")


def look_share(look: int) -> float:
    """The share of its error the interval of a row's look-th look (from
    1) may spend."""
    return 3 / ((look + 2) * (look + 3))


def next_total(total: int) -> int:
    """A row's repetitions after the round that follows `total`."""
    return total + (total + 1) // 2


def row_shares(path: str, context: Mapping[str, object],
               counts: Mapping[str, int]) -> dict[str, float]:
    """Each row's share of its intervals' error, by its count of
    repetitions; empty for a run of a set count. Unusable where a count
    is none that the rounds make, or the entries are not the bench's."""
    rule = context.get(STOP_RULE)
    if rule is None:
        return {}
    first = context.get("first_round")
    if rule not in RULES or not isinstance(first, str) or not first.isdigit() \
            or not 0 < int(first) <= 100000:
        raise Unusable(f"{path}: the context's stop_rule {str(rule)[:20]!r} and "
                       f"first_round {str(first)[:20]!r} are not the bench's")
    shares = {}
    for row, count in counts.items():
        total, look = int(first), 1
        while total < count:
            total, look = next_total(total), look + 1
        if total != count:
            raise Unusable(f"{path}: {row} has {count} repetitions, which no rounds from "
                           f"{first} make")
        shares[row] = look_share(look)
    return shares
