"""Blocking rules: what makes two records a candidate pair.

A rule is a column name (equal values), a key (``prefix``, ``year``,
``soundex``, or ``on`` for columns named differently on the two sides), a
tuple of columns and keys (all equal), or a ``SortedNeighbourhood``. A pair
is a candidate when any rule of the list holds.

Each rule becomes one int64 code per record, the same codes on both sides:
a dense code of the rule's value, or for a sorted neighbourhood the rank of
the value in sorted order; -1 where a value is missing (null, None, NaN),
which so never equals anything. The engine hashes each key column of both
tables at once (``encode_keys``: one code space for both sides, strings of
any Arrow layout, numbers of any width, ``prefix`` and ``soundex`` applied
there), combines the codes of tuples and lays the rules' keys out
(``rule_keys``), and builds the pairs from the codes. Arrow only prepares
what the engine does not read: years of dates, dates against datetimes,
dictionaries of numbers.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias, Union

import numpy as np
import numpy.typing as npt

import _corvane_rs

from ._compare import _pyarrow, arrow_column, zone_against_none

__all__ = ["Key", "Rule", "SortedNeighbourhood", "on", "prefix", "year", "soundex", "rule_columns"]

I64Array: TypeAlias = npt.NDArray[np.int64]

_TRANSFORMS = ("", "prefix", "year", "soundex")


@dataclass(frozen=True)
class Key:
    """A blocking key: ``left`` of the left table against ``right`` of the
    right table, through a transform ("" for the value itself, "prefix" for
    its first ``length`` characters, "year" for the year of a date,
    "soundex" for the Soundex code of a name). Build keys with ``on``,
    ``prefix``, ``year`` and ``soundex``."""

    left: str
    right: str
    transform: str = ""
    length: int = 0

    def __repr__(self) -> str:
        base = repr(self.left) if self.left == self.right else f"on({self.left!r}, {self.right!r})"
        if self.transform == "prefix":
            return f"prefix({base}, {self.length})"
        if self.transform:
            return f"{self.transform}({base})"
        return base


def _column_key(column: object, what: str) -> Key:
    if isinstance(column, str):
        return Key(column, column)
    if isinstance(column, Key) and not column.transform:
        return column
    raise TypeError(f"{what}: expected a column name or on(left_column, right_column), not {column!r}")


def on(left: str, right: str) -> Key:
    """The column ``left`` of the left table against ``right`` of the right
    table: a rule, or the column of ``prefix``, ``year``, ``soundex`` or
    ``SortedNeighbourhood``."""
    if not isinstance(left, str) or not isinstance(right, str):
        raise TypeError(f"on({left!r}, {right!r}): both columns must be names (str)")
    return Key(left, right)


def prefix(column: str | Key, n: int) -> Key:
    """The first ``n`` characters of a string column (the whole string when
    it is shorter)."""
    key = _column_key(column, f"prefix({column!r}, {n!r})")
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError(f"prefix({column!r}, {n!r}): the length must be an integer")
    if n < 1:
        raise ValueError(f"prefix({column!r}, {n}): the length must be at least 1")
    return Key(key.left, key.right, "prefix", int(n))


def year(column: str | Key) -> Key:
    """The year of a date or datetime column."""
    key = _column_key(column, f"year({column!r})")
    return Key(key.left, key.right, "year")


def soundex(column: str | Key) -> Key:
    """The Soundex code of a string column (the engine's ``soundex`` metric:
    letters only, first letter kept; a value without letters is missing)."""
    key = _column_key(column, f"soundex({column!r})")
    return Key(key.left, key.right, "soundex")


@dataclass(frozen=True)
class SortedNeighbourhood:
    """Sorted neighbourhood on one column or key: the records sorted by it
    (ties in position order, the left table first), each paired with the
    records within ``window // 2`` places of it; for two tables, both sorted
    together and only left-right pairs kept. ``window`` is an odd integer
    >= 3. A record whose value is missing takes no part."""

    column: str | Key
    window: int

    def __post_init__(self) -> None:
        if not isinstance(self.column, (str, Key)):
            raise TypeError(f"SortedNeighbourhood({self.column!r}, {self.window!r}): expected a column name or a key")
        if isinstance(self.window, bool) or not isinstance(self.window, numbers.Integral):
            raise TypeError(f"{self!r}: window must be an odd integer >= 3, not {type(self.window).__name__}")
        if self.window < 3 or self.window % 2 == 0:
            raise ValueError(f"{self!r}: window must be an odd integer >= 3, not {self.window}")

    @property
    def key(self) -> Key:
        return self.column if isinstance(self.column, Key) else Key(self.column, self.column)

    def __repr__(self) -> str:
        return f"SortedNeighbourhood({self.key!r}, {self.window!r})"


Rule: TypeAlias = Union[str, Key, tuple[Union[str, Key], ...], SortedNeighbourhood]


@dataclass(frozen=True)
class ParsedRule:
    index: int
    rule: object
    keys: tuple[Key, ...]
    window: int  # 0: equal keys

    @property
    def label(self) -> str:
        return f"rule {self.index} ({self.rule!r})"


def _parse_one(index: int, rule: object) -> ParsedRule:
    label = f"rule {index} ({rule!r})"
    if isinstance(rule, str):
        return ParsedRule(index, rule, (Key(rule, rule),), 0)
    if isinstance(rule, Key):
        return ParsedRule(index, rule, (rule,), 0)
    if isinstance(rule, SortedNeighbourhood):
        return ParsedRule(index, rule, (rule.key,), int(rule.window))
    if isinstance(rule, tuple):
        if not rule:
            raise ValueError(f"{label}: an empty tuple blocks on nothing")
        keys = []
        for part in rule:
            if isinstance(part, str):
                keys.append(Key(part, part))
            elif isinstance(part, Key):
                keys.append(part)
            else:
                raise TypeError(f"{label}: a tuple holds column names and keys, not {part!r}")
        return ParsedRule(index, rule, tuple(keys), 0)
    raise TypeError(
        f"{label}: a rule is a column name, a key (prefix, year, soundex, on), a tuple of them, "
        "or a SortedNeighbourhood"
    )


def parse_rules(rules: object) -> list[ParsedRule]:
    """The rules of a call, checked (types and shapes; columns later)."""
    if isinstance(rules, (str, bytes, Key, SortedNeighbourhood, tuple)):
        raise TypeError(
            f"rules must be a list of rules, not {rules!r}: write rules=[{rules!r}] "
            "(a tuple is one rule: all its columns equal)"
        )
    if not isinstance(rules, Iterable):
        raise TypeError(f"rules must be a list of rules, not {type(rules).__name__}")
    parsed = [_parse_one(i, rule) for i, rule in enumerate(rules)]
    if not parsed:
        raise ValueError("rules is empty: give at least one rule")
    return parsed


def rule_columns(rule: Rule) -> tuple[frozenset[str], frozenset[str]]:
    """The left-side and right-side column names a rule blocks on."""
    keys = _parse_one(0, rule).keys
    return frozenset(k.left for k in keys), frozenset(k.right for k in keys)


# ---- keys to codes ----------------------------------------------------------------


def _kind(pa: Any, t: Any) -> str:
    types = pa.types
    if types.is_dictionary(t):
        return _kind(pa, t.value_type)
    if types.is_null(t):
        return "null"
    if types.is_string(t) or types.is_large_string(t) or types.is_string_view(t):
        return "string"
    if types.is_integer(t):
        return "integer"
    if types.is_floating(t):
        return "float"
    if types.is_decimal(t):
        return "decimal"
    if types.is_boolean(t):
        return "boolean"
    if types.is_date(t) or types.is_timestamp(t):
        return "date"
    return str(t)


_COMPATIBLE = {(a, b) for a in ("integer", "float", "decimal") for b in ("integer", "float", "decimal")}


_UNITS = ("s", "ms", "us", "ns")


def _instants(pa: Any, columns: list[Any], kinds: list[str]) -> list[Any]:
    """Date and datetime columns as timestamps of one unit, the finest of
    theirs, without zone (a zoned datetime's count is already UTC; a date is
    its midnight). A value that unit cannot hold (a date past 2262 against
    nanoseconds) equals none of the other side's: it is made missing."""
    pc = pa.compute

    def unit(t: Any) -> str:
        return str(t.unit) if pa.types.is_timestamp(t) else "ms" if pa.types.is_date64(t) else "s"

    finest = max((_UNITS.index(unit(c.type)) for c, k in zip(columns, kinds) if k == "date"), default=0)
    out = []
    for column, kind in zip(columns, kinds):
        if kind != "date":
            out.append(column)
            continue
        own = _UNITS.index(unit(column.type))
        counts = pc.cast(pc.cast(column, pa.timestamp(_UNITS[own])), pa.int64())
        if own < finest:
            bound = (2**63 - 1) // 1000 ** (finest - own)
            outside = pc.or_(pc.greater(counts, bound), pc.less(counts, -bound))
            counts = pc.if_else(outside, pa.scalar(None, pa.int64()), counts)
            counts = pc.multiply(counts, 1000 ** (finest - own))
        out.append(pc.cast(counts, pa.timestamp(_UNITS[finest])))
    return out


def _exact_in_doubles(pa: Any, column: Any) -> Any:
    """An integer column with the values no float64 holds exactly made
    missing (there are none within 2**53)."""
    pc = pa.compute
    low, high = pc.min_max(column).values()
    if low.as_py() is None or (low.as_py() >= -(2**53) and high.as_py() <= 2**53):
        return column
    back = pc.cast(pc.cast(column, pa.float64(), safe=False), column.type, safe=False)
    return pc.if_else(pc.not_equal(back, column), pa.scalar(None, column.type), column)


class KeyEncoder:
    """Codes of each rule over one or two tables; columns are read once."""

    def __init__(self, left: Any, left_kind: str, right: Any, right_kind: str, dedupe: bool) -> None:
        self.pa = _pyarrow()
        self.tables = ((left, left_kind), (right, right_kind))
        self.dedupe = dedupe
        self.columns: dict[tuple[int, str], Any] = {}
        self.codes: dict[tuple[Key, bool], I64Array] = {}

    def names(self, side: int) -> list[str]:
        frame, kind = self.tables[side]
        return list(frame.column_names if kind in ("table", "batch") else frame.columns)

    def column(self, side: int, name: str) -> Any:
        if (side, name) not in self.columns:
            frame, kind = self.tables[side]
            array = arrow_column(frame, kind, name, ("left", "right")[side])
            if isinstance(array, self.pa.Array):
                array = self.pa.chunked_array([array], type=array.type)
            self.columns[(side, name)] = array
        return self.columns[(side, name)]

    def check(self, rules: Sequence[ParsedRule]) -> None:
        """Every rule's columns exist and their types agree, before any work."""
        sides = (0,) if self.dedupe else (0, 1)
        names = [set(self.names(s)) for s in sides]
        for rule in rules:
            for key in rule.keys:
                if self.dedupe and key.left != key.right:
                    # One table: its pairs are unordered, so a key of two
                    # columns has no side to take each from.
                    raise ValueError(
                        f"{rule.label}: deduplicating pairs one table's records, so on({key.left!r}, "
                        f"{key.right!r}) has no left and right side; block on one column, or pass the table as "
                        "both left and right to match one column against the other"
                    )
                for s in sides:
                    column = (key.left, key.right)[s]
                    if column not in names[s]:
                        raise ValueError(f"{rule.label}: {('left', 'right')[s]} has no column {column!r}")
        for rule in rules:
            for key in rule.keys:
                kinds = [self._kind_after(rule, key, s) for s in sides]
                if len(kinds) == 2 and "null" not in kinds and kinds[0] != kinds[1] and tuple(kinds) not in _COMPATIBLE:
                    raise TypeError(
                        f"{rule.label}: column {key.left!r} of left holds {kinds[0]} values but column "
                        f"{key.right!r} of right holds {kinds[1]} values; convert one side first"
                    )
                if len(kinds) == 2 and key.transform != "year":
                    self._check_time_zones(rule, key)

    def _check_time_zones(self, rule: ParsedRule, key: Key) -> None:
        """A datetime with a time zone names an instant, one without (or a
        date) does not: they are never equal, as compare refuses to measure
        them. Two zones are fine (both instants), and so are their years."""
        types = self.pa.types
        left, right = (self.column(s, c).type for s, c in ((0, key.left), (1, key.right)))
        left, right = (t.value_type if types.is_dictionary(t) else t for t in (left, right))
        if zone_against_none(self.pa, left, right):
            raise TypeError(
                f"{rule.label}: column {key.left!r} of left holds {left} but column {key.right!r} of right holds "
                f"{right}: a datetime with a time zone never equals one without; give the naive side its time "
                "zone first (for example .dt.tz_localize('UTC'))"
            )

    def _kind_after(self, rule: ParsedRule, key: Key, side: int) -> str:
        column = (key.left, key.right)[side]
        kind = _kind(self.pa, self.column(side, column).type)
        where = f"{rule.label}: column {column!r} of {('left', 'right')[side]}"
        if kind not in ("null", "string", "integer", "float", "decimal", "boolean", "date"):
            raise TypeError(f"{where} holds {kind}, which cannot be a blocking key")
        if key.transform in ("prefix", "soundex") and kind not in ("string", "null"):
            raise TypeError(f"{where} holds {kind} values, but {key.transform} takes strings")
        if key.transform == "year":
            if kind not in ("date", "null"):
                raise TypeError(f"{where} holds {kind} values, but year takes dates or datetimes")
            return "integer"
        return kind

    def _sides(self, key: Key, ranked: bool) -> tuple[list[Any], bool]:
        """The key's columns as the engine reads them (left, then right),
        and whether they hold strings. Dates under ``year`` become their
        years, a date against a datetime (or two units) both instants;
        dictionaries of numbers are decoded. Strings go as they are: the
        engine reads every layout and applies ``prefix`` and ``soundex``."""
        pa = self.pa
        pc = pa.compute
        sides = [self.column(0, key.left)] if self.dedupe else [self.column(0, key.left), self.column(1, key.right)]
        kinds = [_kind(pa, c.type) for c in sides]
        real = {k for k in kinds if k != "null"}
        if real <= {"string"}:
            # A column of nothing but nulls, whatever its type, as the null type.
            return [pa.nulls(len(c)) if k == "null" else c for c, k in zip(sides, kinds)], True
        out = []
        for column, kind in zip(sides, kinds):
            if pa.types.is_dictionary(column.type):
                column = pc.cast(column, column.type.value_type)
            if kind == "date" and key.transform == "year":
                column = pc.year(column)
            elif pa.types.is_float16(column.type):
                column = pc.cast(column, pa.float32())
            out.append(column)
        if "decimal" in kinds:
            if ranked or "float" in kinds:
                # Sorted (a sorted neighbourhood), or against floats: as doubles.
                out = [pc.cast(c, pa.float64()) if k == "decimal" else c for c, k in zip(out, kinds)]
                kinds = ["float" if k == "decimal" else k for k in kinds]
            else:
                # Exactly: decimals and integers at the largest scale among
                # them, as text (one spelling per value at one scale).
                scale = max(0, *(c.type.scale for c, k in zip(out, kinds) if k == "decimal"))
                try:
                    return [pc.cast(pc.cast(c, pa.decimal256(76, scale)), pa.string()) if k != "null" else c
                            for c, k in zip(out, kinds)], True
                except pa.ArrowInvalid as error:
                    raise TypeError(f"key {key!r}: its decimals and integers do not fit in 76 digits at one "
                                    f"scale ({scale}) to be compared exactly: convert them first ({error})") from None
        if "float" in kinds and "integer" in kinds and not ranked:
            # Compared as doubles: an integer no double holds (past 2**53)
            # equals no float of the other side, rather than its neighbour.
            # (A sorted neighbourhood sorts it as its nearest double.)
            out = [_exact_in_doubles(pa, c) if k == "integer" else c for c, k in zip(out, kinds)]
        dates = {c.type for c, k in zip(out, kinds) if k == "date"}
        if key.transform != "year" and len(dates) > 1:
            # A date against a datetime, two units or two zones: compare instants.
            out = _instants(pa, out, kinds)
        return out, False

    def key_codes(self, key: Key, ranked: bool) -> I64Array:
        """Codes of one key over both tables: dense codes, or ranks in sorted
        order; -1 where missing."""
        if (key, ranked) not in self.codes:
            columns, strings = self._sides(key, ranked)
            transform = {"prefix": 1, "soundex": 2}.get(key.transform, 0)
            self.codes[(key, ranked)] = _corvane_rs.encode_keys(columns, int(strings), transform, key.length,
                                                               int(ranked))
        return self.codes[(key, ranked)]

    def rule_codes(self, rule: ParsedRule) -> I64Array:
        if rule.window:
            return self.key_codes(rule.keys[0], True)
        parts = [self.key_codes(k, False) for k in rule.keys]
        if len(parts) == 1:
            return parts[0]
        return _corvane_rs.combine_keys(np.concatenate(parts), len(parts))

    def rule_columns(self, rules: Sequence[ParsedRule]) -> list[list[I64Array]]:
        """Each rule's key columns over both tables (ranks for a sorted
        neighbourhood), for ``rule_keys``."""
        return [[self.key_codes(rule.keys[0], True)] if rule.window else [self.key_codes(k, False) for k in rule.keys]
                for rule in rules]

    def release(self) -> None:
        """Drops the codes and columns kept for reuse (before the pairs are built)."""
        self.codes.clear()
        self.columns.clear()

    def encode(self, rules: Sequence[ParsedRule], n_left: int) -> tuple[I64Array, I64Array, I64Array]:
        """left_keys, right_keys and windows of the engine's candidate functions."""
        # Each rule's key columns, combined and laid out in the engine.
        left, right = _corvane_rs.rule_keys(self.rule_columns(rules), n_left, int(self.dedupe))
        windows = np.array([rule.window for rule in rules], dtype=np.int64)
        return left, right, windows
