"""Blocking rules: what makes two records a candidate pair.

A rule is a column name (equal values), a key (``prefix``, ``year``,
``soundex``, or ``on`` for columns named differently on the two sides), a
tuple of columns and keys (all equal), or a ``SortedNeighbourhood``. A pair
is a candidate when any rule of the list holds.

Each rule becomes one int64 code per record, the same codes on both sides:
a dense code of the rule's value, or for a sorted neighbourhood the rank of
the value in sorted order; -1 where a value is missing (null, None, NaN),
which so never equals anything. Values are hashed by Arrow's dictionary
encoding over both tables at once (one code space for both sides), tuples
are combined by the engine (``combine_keys``), and the engine builds the
pairs from the codes.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias, Union

import numpy as np
import numpy.typing as npt

import _corvane_rs

from ._compare import _pyarrow, arrow_column

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
    if types.is_boolean(t):
        return "boolean"
    if types.is_date(t) or types.is_timestamp(t):
        return "date"
    return str(t)


_COMPATIBLE = {("integer", "float"), ("float", "integer")}


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

    def _kind_after(self, rule: ParsedRule, key: Key, side: int) -> str:
        column = (key.left, key.right)[side]
        kind = _kind(self.pa, self.column(side, column).type)
        where = f"{rule.label}: column {column!r} of {('left', 'right')[side]}"
        if kind not in ("null", "string", "integer", "float", "boolean", "date"):
            raise TypeError(f"{where} holds {kind}, which cannot be a blocking key")
        if key.transform in ("prefix", "soundex") and kind not in ("string", "null"):
            raise TypeError(f"{where} holds {kind} values, but {key.transform} takes strings")
        if key.transform == "year":
            if kind not in ("date", "null"):
                raise TypeError(f"{where} holds {kind} values, but year takes dates or datetimes")
            return "integer"
        return kind

    def _values(self, key: Key) -> Any:
        """The key's values over both tables (left first), one Arrow type."""
        pa = self.pa
        pc = pa.compute
        sides = [self.column(0, key.left)] if self.dedupe else [self.column(0, key.left), self.column(1, key.right)]
        kinds = [_kind(pa, c.type) for c in sides]
        out = []
        for column, kind in zip(sides, kinds):
            if pa.types.is_dictionary(column.type):
                column = pc.cast(column, column.type.value_type)
            if kind == "string":
                if not pa.types.is_string(column.type):
                    column = pc.cast(column, pa.large_string())
                if key.transform == "prefix":
                    column = pc.utf8_slice_codeunits(column, 0, key.length)
            elif kind == "date" and key.transform == "year":
                column, kind = pc.cast(pc.year(column), pa.int64()), "integer"
            out.append((column, kind))
        real = {k for _, k in out if k != "null"}
        if real == {"integer"} and not any(pa.types.is_unsigned_integer(c.type) and c.type.bit_width == 64
                                           for c, _ in out):
            target = pa.int64()
        elif real <= {"integer", "float"} and real:
            target = pa.float64()
        elif real == {"date"} and len({c.type for c, k in out if k != "null"}) > 1:
            target = pa.timestamp("us")  # a date against a datetime, or two units: compare instants
        elif real == {"string"}:
            string_types = {c.type for c, k in out if k != "null"}
            target = string_types.pop() if len(string_types) == 1 else pa.large_string()
        elif real:
            target = next(c.type for c, k in out if k != "null")
        else:
            target = pa.large_string()
        chunks = []
        for column, kind in out:
            if column.type != target:
                column = pc.cast(column, target)
            if pa.types.is_floating(target):
                # NaN is missing; -0.0 and 0.0 are one value.
                column = pc.if_else(pc.is_nan(column), pa.scalar(None, target), pc.add(column, 0.0))
            chunks.extend(column.chunks)
        values = pa.chunked_array(chunks, type=target)
        if key.transform == "soundex":
            values = _soundex_values(pa, values)
        return values

    def key_codes(self, key: Key, ranked: bool) -> I64Array:
        """Codes of one key over both tables: dense codes, or ranks in sorted
        order; -1 where missing."""
        if (key, ranked) in self.codes:
            return self.codes[(key, ranked)]
        pa = self.pa
        values = self._values(key)
        encoded = values.dictionary_encode()
        n = len(values)
        codes = np.full(n, -1, dtype=np.int64)
        at = 0
        dictionary = None
        for chunk in encoded.chunks:
            indices = chunk.indices
            m = len(indices)
            if m:
                codes[at:at + m] = np.asarray(
                    pa.compute.fill_null(pa.compute.cast(indices, pa.int64()), -1).to_numpy(zero_copy_only=False))
                dictionary = chunk.dictionary
            at += m
        if ranked and dictionary is not None and len(dictionary):
            order = np.asarray(pa.compute.sort_indices(dictionary).to_numpy(zero_copy_only=False), dtype=np.int64)
            rank_of = np.empty(len(order), dtype=np.int64)
            rank_of[order] = np.arange(len(order), dtype=np.int64)
            present = codes >= 0
            codes[present] = rank_of[codes[present]]
        self.codes[(key, ranked)] = codes
        return codes

    def rule_codes(self, rule: ParsedRule) -> I64Array:
        if rule.window:
            return self.key_codes(rule.keys[0], True)
        parts = [self.key_codes(k, False) for k in rule.keys]
        if len(parts) == 1:
            return parts[0]
        return _corvane_rs.combine_keys(np.concatenate(parts), len(parts))

    def encode(self, rules: Sequence[ParsedRule], n_left: int) -> tuple[I64Array, I64Array, I64Array]:
        """left_keys, right_keys and windows of the engine's candidate functions."""
        per_rule = [self.rule_codes(rule) for rule in rules]
        left = np.concatenate([c[:n_left] for c in per_rule])
        right = left if self.dedupe else np.concatenate([c[n_left:] for c in per_rule])
        windows = np.array([rule.window for rule in rules], dtype=np.int64)
        return left, right, windows


def _soundex_values(pa: Any, values: Any) -> Any:
    """Soundex codes of a string column, computed once per distinct value."""
    encoded = values.dictionary_encode().combine_chunks()
    dictionary = encoded.dictionary.to_pylist()
    codes = pa.array([_soundex(s) for s in dictionary], type=pa.large_string())
    return pa.chunked_array([pa.compute.take(codes, encoded.indices)], type=pa.large_string())


_SOUNDEX_DIGITS = dict(zip("abcdefghijklmnopqrstuvwxyz", "01230120022455012623010202"))


def _soundex(s: str | None) -> str | None:
    """The engine's Soundex code (``soundex`` metric): ASCII letters only,
    other characters skipped; vowels and h, w, y separate equal digits.
    No letter at all: missing."""
    if s is None:
        return None
    letters = [c.lower() for c in s if "a" <= c.lower() <= "z" and c.isascii()]
    if not letters:
        return None
    out = [letters[0].upper()]
    last = _SOUNDEX_DIGITS[letters[0]]
    for c in letters[1:]:
        digit = _SOUNDEX_DIGITS[c]
        if digit == "0":
            last = "0"
        elif digit != last:
            out.append(digit)
            last = digit
            if len(out) == 4:
                break
    return "".join(out).ljust(4, "0")
