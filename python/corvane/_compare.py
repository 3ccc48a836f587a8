"""``compare``: scores paired rows of two tables with the engine.

Flow of one call: the compared columns of each table become Arrow arrays
(pyarrow Tables as they are, polars columns without a copy, pandas columns
through ``pyarrow.array``: the cost is per record, not per pair). String
columns go to the engine as they are (read in place, nulls included);
numeric and temporal columns as one float64 array per record column, NaN
where missing. One ``compare_pairs`` call then reads every pair's values at
its two positions, scores every comparison and returns one contiguous
float64 column per comparison, which becomes the result's column as it is.

A ``term_frequency`` comparison is not scored by a kernel: it is the share
of the records holding the pair's value, where the two values are equal,
counted over the whole tables ``compare`` is given (both of them together,
missing values left out), so every batch of pairs from the same tables gets
the same frequencies. The values of both tables are dictionary-encoded
together once per call; each pair then costs two code lookups.

Missing means null, or NaN in a float column (pandas' marker for a missing
number). The engine sees missing values itself: a pair with one never
reaches a kernel and gets the ``missing`` policy's value, so a missing
value can never score like a real one (two empty strings would be an exact
match, NaN against 0 a numeric similarity of 1.0).
"""

from __future__ import annotations

import numbers
import re
import sys
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias, TypeVar, Union, cast

import numpy as np
import numpy.typing as npt

import _corvane_rs

__all__ = [
    "compare",
    "feature_names",
    "Comparison",
    "Thresholds",
    "Metric",
    "Missing",
    "NumericMetric",
    "StringMetric",
    "STRING_METRICS",
    "NUMERIC_METRICS",
    "FREQUENCY_METRICS",
]

StringMetric: TypeAlias = Literal[
    "jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
    "token_sort_ratio",
]
NumericMetric: TypeAlias = Literal["numeric", "numeric_similarity", "date_distance"]
# The share of the records holding the pair's value, where the values are equal.
FrequencyMetric: TypeAlias = Literal["term_frequency"]
Metric: TypeAlias = Union[StringMetric, NumericMetric, FrequencyMetric]
# Levels of a comparison for a Fellegi-Sunter model; compare ignores them.
Thresholds: TypeAlias = Sequence[float]
# (column, metric), or (left_column, right_column, metric) where the names
# differ; either may end with the thresholds that cut the score into levels.
Comparison: TypeAlias = Union[
    tuple[str, Metric], tuple[str, str, Metric], tuple[str, Metric, Thresholds], tuple[str, str, Metric, Thresholds]
]
# "nan", "error", or the score given to a pair with a missing value.
Missing: TypeAlias = Union[Literal["nan", "error"], float]
Frame = TypeVar("Frame")
F64Array: TypeAlias = npt.NDArray[np.float64]
BoolArray: TypeAlias = npt.NDArray[np.bool_]

STRING_METRICS: tuple[str, ...] = (
    "jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
    "token_sort_ratio",
)
NUMERIC_METRICS: tuple[str, ...] = ("numeric", "numeric_similarity", "date_distance")
FREQUENCY_METRICS: tuple[str, ...] = ("term_frequency",)

# Units of each Arrow temporal unit in one day.
_PER_DAY = {"s": 86_400, "ms": 86_400_000, "us": 86_400_000_000, "ns": 86_400_000_000_000}


@dataclass(frozen=True)
class Pairing:
    """One comparison: the two columns, the metric and the result's name."""

    left: str
    right: str
    metric: str
    name: str

    @property
    def numeric(self) -> bool:
        return self.metric in NUMERIC_METRICS

    @property
    def frequency(self) -> bool:
        return self.metric in FREQUENCY_METRICS


def pairings_of(comparisons: Iterable[Comparison], suffixes: tuple[str, str] | None = None) -> list[Pairing]:
    """Checks the comparisons; with ``suffixes`` a 2-tuple names the columns
    ``column + suffixes[0]`` and ``column + suffixes[1]`` of one pair table."""
    if isinstance(comparisons, (str, bytes)):
        raise TypeError("comparisons must be a list of (column, metric) or (left_column, right_column, metric) tuples")
    pairings: list[Pairing] = []
    for given in comparisons:
        item = names_of(given)
        if len(item) == 2:
            column, metric = item
            left, right = (column + suffixes[0], column + suffixes[1]) if suffixes else (column, column)
        else:
            left, right, metric = item
            column = left
        if metric not in STRING_METRICS and metric not in NUMERIC_METRICS and metric not in FREQUENCY_METRICS:
            raise ValueError(
                f"comparison {tuple(item)!r}: unknown metric {metric!r}; string metrics: "
                f"{', '.join(STRING_METRICS)}; numeric metrics: {', '.join(NUMERIC_METRICS)}; "
                f"and {', '.join(FREQUENCY_METRICS)}"
            )
        pairings.append(Pairing(left, right, metric, f"{column}_{metric}"))
    if not pairings:
        raise ValueError("comparisons is empty: give at least one (column, metric)")
    names = [s.name for s in pairings]
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        raise ValueError(f"comparisons give the result column {duplicates[0]!r} twice")
    return pairings


def names_of(comparison: object) -> tuple[str, ...]:
    """The names of a comparison without its thresholds (a trailing
    sequence of numbers, which only a Fellegi-Sunter model reads)."""
    item = comparison
    if isinstance(item, (tuple, list)) and len(item) in (3, 4) and not isinstance(item[-1], (str, bytes)):
        item = item[:-1]
    if not isinstance(item, (tuple, list)) or len(item) not in (2, 3) or not all(isinstance(s, str) for s in item):
        raise TypeError(
            f"comparison {comparison!r}: expected (column, metric) or (left_column, right_column, metric), "
            "all strings, optionally followed by the thresholds"
        )
    return tuple(item)


def feature_names(comparisons: Iterable[Comparison]) -> list[str]:
    """The names of ``compare``'s result columns, in order: ``{column}_{metric}``."""
    return [s.name for s in pairings_of(comparisons)]


# ---- tables -------------------------------------------------------------------


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        # Its own module: ``import pyarrow`` alone leaves ``pyarrow.compute``
        # unset until something (pandas, pyarrow.array) imports it, which a
        # process reading Arrow batches from a stream (a Spark worker) never does.
        import pyarrow.compute  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError as error:  # pragma: no cover - pyarrow is a dependency
        raise ImportError("corvane needs pyarrow to read tables: pip install pyarrow") from error
    return pyarrow


def kind_of(frame: object, what: str) -> str:
    """"pandas", "polars", "table" (pyarrow.Table) or "batch" (pyarrow.RecordBatch)."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(frame, pd.DataFrame):
        if isinstance(frame.columns, pd.MultiIndex):
            # A rule's tuple means several columns, so a tuple cannot name one.
            raise TypeError(f"{what} has columns of several levels (a MultiIndex, such as {frame.columns[0]!r}), "
                            "which no rule or comparison can name: flatten them first, for example "
                            "df.columns = ['_'.join(map(str, c)) for c in df.columns]")
        return "pandas"
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(frame, pl.DataFrame):
        return "polars"
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(frame, pa.Table):
        return "table"
    if pa is not None and isinstance(frame, pa.RecordBatch):
        return "batch"
    raise TypeError(f"{what} must be a pandas or polars DataFrame or a pyarrow Table, not {type(frame).__name__}")


def check_column(frame: Any, kind: str, column: str, what: str) -> None:
    """Refuses a column the table lacks or holds more than once, the same way
    for every kind."""
    names = frame.column_names if kind in ("table", "batch") else list(frame.columns)
    count = names.count(column)
    if count == 0:
        raise ValueError(f"{what} has no column {column!r}")
    if count > 1:
        raise ValueError(f"{what} has more than one column named {column!r}")


def arrow_column(frame: Any, kind: str, column: str, what: str) -> Any:
    """One column of a table as a pyarrow Array or ChunkedArray."""
    pa = _pyarrow()
    check_column(frame, kind, column, what)
    if kind in ("table", "batch"):
        return frame.column(column)
    try:
        if kind == "polars":
            series = frame.get_column(column)
            if str(series.dtype) == "Object":
                # Arrow would get the objects' addresses, not their values.
                raise TypeError("it holds Python objects (polars Object): convert it to a typed column first")
            return series.to_arrow()
        return pa.array(frame[column], from_pandas=True)
    except (pa.ArrowException, TypeError, ValueError, OverflowError) as error:
        raise TypeError(f"column {column!r} of {what} cannot be read: {error}") from error


def from_columns(kind: str, columns: Mapping[str, Any], index: Any = None) -> Any:
    """A table of the given kind from named 1-D columns (NumPy or Arrow)."""
    if kind == "pandas":
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        return pd.DataFrame(dict(columns), index=index)
    if kind == "polars":
        import polars as pl

        return pl.DataFrame(dict(columns))
    pa = _pyarrow()
    arrays = [c if isinstance(c, (pa.Array, pa.ChunkedArray)) else pa.array(c) for c in columns.values()]
    if kind == "batch":
        arrays = [a.combine_chunks() if isinstance(a, pa.ChunkedArray) else a for a in arrays]
        return pa.RecordBatch.from_arrays(arrays, names=list(columns))
    return pa.table(dict(zip(columns, arrays)))


# ---- columns for the engine -----------------------------------------------------


def _is_string_type(pa: Any, t: Any) -> bool:
    types = pa.types
    if types.is_dictionary(t):
        return _is_string_type(pa, t.value_type)
    return bool(types.is_string(t) or types.is_large_string(t) or types.is_string_view(t))


def engine_strings(values: Any, column: str, what: str, metric: str) -> Any:
    """A record column as the engine reads it: Arrow strings as they are
    (nulls are the engine's to see)."""
    pa = _pyarrow()
    t = values.type
    if pa.types.is_null(t):
        return values
    if not _is_string_type(pa, t):
        raise TypeError(
            f"column {column!r} of {what} holds {t}, but {metric!r} compares strings: convert it first, "
            "keeping missing values missing (for example .astype('string') in pandas, or read it as text; "
            ".astype(str) would turn NaN into the text 'nan', which matches itself)"
        )
    # Chunks stay as they are: the engine lays the compared values out
    # record by record itself where the pairs read records more than once,
    # and otherwise reads fewer records than a copy would.
    return values


def engine_floats(values: Any, column: str, what: str, metric: str) -> F64Array:
    """A record column as float64, NaN where missing; dates and datetimes
    become days since 1970-01-01 (fractional for datetimes)."""
    pa = _pyarrow()
    pc = pa.compute
    t = values.type
    types = pa.types
    n = len(values)
    if types.is_dictionary(t) and not _is_string_type(pa, t):
        # A categorical of numbers or dates (blocking reads it as its values).
        values = pc.cast(values, t.value_type)
        t = values.type
    if types.is_null(t):
        return np.full(n, np.nan)
    if types.is_date32(t) or types.is_date64(t) or types.is_timestamp(t):
        per_day = 1 if types.is_date32(t) else _PER_DAY["ms"] if types.is_date64(t) else _PER_DAY[t.unit]
        storage = pa.int32() if types.is_date32(t) else pa.int64()
        ticks = pc.cast(values, storage)
        # Days = ticks / ticks per day in float64: exact for whole days,
        # within a microsecond for datetimes.
        out: F64Array = np.asarray(pc.fill_null(ticks, 0).to_numpy(zero_copy_only=False), dtype=np.float64)
        if per_day != 1:
            out /= per_day
        if values.null_count:
            out[np.asarray(values.is_null().to_numpy(zero_copy_only=False), dtype=np.bool_)] = np.nan
        return out
    if types.is_integer(t) or types.is_floating(t) or types.is_boolean(t) or types.is_decimal(t):
        floats: F64Array = np.asarray(pc.cast(values, pa.float64(), safe=False).to_numpy(zero_copy_only=False),
                                      dtype=np.float64)
        return floats
    raise TypeError(
        f"column {column!r} of {what} holds {t}, but {metric!r} compares numbers (dates and datetimes in days): "
        "convert it first (for example pd.to_numeric or pd.to_datetime)"
    )


def check_missing(missing: object) -> None:
    if isinstance(missing, str):
        if missing not in ("nan", "error"):
            raise ValueError(f"missing must be 'nan', 'error' or a number, not {missing!r}")
    elif isinstance(missing, bool) or not isinstance(missing, numbers.Real):
        # True would score a missing value as an exact match: a flag is not a score.
        raise TypeError(f"missing must be 'nan', 'error' or a number, not {type(missing).__name__}")


_MISSING_AT = re.compile(r"^comparison (\d+) has a missing value on the (left|right) side, first at pair (\d+) "
                         r"\((?:left|right) row (\d+)\)$")


# ---- term frequencies -----------------------------------------------------------


@dataclass(frozen=True)
class TermFrequencies:
    """The distinct values of a column (of one or two tables) and the share
    of the records with a value that hold each one."""

    values: Any       # a pyarrow Array, in first-seen order
    shares: F64Array  # one per value; they add up to 1

    @classmethod
    def over(cls, columns: Sequence[Any], names: Sequence[str]) -> tuple[TermFrequencies, list[npt.NDArray[np.int64]]]:
        """The frequencies over all the records of ``columns`` (Arrow
        columns, missing values left out), and the code of each record's
        value (its position in ``values``, -1 where missing) per column."""
        pa = _pyarrow()
        common = _frequency_type(pa, [c.type for c in columns], names)
        chunks: list[Any] = []
        for column, name in zip(columns, names):
            column = _comparable(pa, column, common, name)
            chunks.extend(column.chunks if isinstance(column, pa.ChunkedArray) else [column])
        whole = pa.chunked_array(chunks, type=common).combine_chunks() if chunks else pa.array([], type=common)
        encoded = pa.compute.dictionary_encode(whole)
        codes = np.asarray(pa.compute.fill_null(encoded.indices.cast(pa.int64()), -1).to_numpy(zero_copy_only=False),
                           dtype=np.int64)
        counts = np.bincount(codes[codes >= 0], minlength=len(encoded.dictionary)).astype(np.float64)
        total = counts.sum()
        shares: F64Array = counts / total if total else counts
        split, start = [], 0
        for column in columns:
            split.append(codes[start:start + len(column)])
            start += len(column)
        return cls(encoded.dictionary, shares), split

    def codes(self, column: Any, name: str) -> npt.NDArray[np.int64]:
        """The position in ``values`` of each value of ``column``; -1 where
        it is missing or not among them."""
        pa = _pyarrow()
        common = _frequency_type(pa, [self.values.type, column.type], [name, name])
        found = pa.compute.index_in(_comparable(pa, column, common, name),
                                    value_set=_comparable(pa, self.values, common, name))
        return np.asarray(pa.compute.fill_null(found.cast(pa.int64()), -1).to_numpy(zero_copy_only=False),
                          dtype=np.int64)


def _frequency_type(pa: Any, types: Sequence[Any], names: Sequence[str]) -> Any:
    """The type both sides' values are counted in: strings as large
    strings; integers as int64 (uint64 when all are unsigned, a 20-digit
    decimal when uint64 meets signed ones), so no two distinct integers
    become one value; decimals of one type as they are; other numbers as
    float64 (so 1 and 1.0 are one value); dates as date32; datetimes in their finest unit
    (all naive, or all with a time zone); anything else as it is when the
    two agree."""
    types = [t.value_type if pa.types.is_dictionary(t) else t for t in types]
    given = [t for t in types if not pa.types.is_null(t)]
    if not given:
        return pa.large_string()
    if all(_is_string_type(pa, t) for t in given):
        return pa.large_string()
    is_ = pa.types
    if all(is_.is_integer(t) or is_.is_boolean(t) for t in given):
        if not any(t == pa.uint64() for t in given):
            return pa.int64()
        if all(is_.is_unsigned_integer(t) or is_.is_boolean(t) for t in given):
            return pa.uint64()
        return pa.decimal128(20, 0)
    if is_.is_decimal(given[0]) and all(t == given[0] for t in given):
        return given[0]  # as float64, decimals of more than 15 digits could become one value
    if all(is_.is_integer(t) or is_.is_floating(t) or is_.is_boolean(t) or is_.is_decimal(t) for t in given):
        return pa.float64()
    if all(is_.is_date(t) for t in given):
        return pa.date32()
    if all(is_.is_timestamp(t) for t in given) and len({t.tz is None for t in given}) == 1:
        unit = max((t.unit for t in given), key=["s", "ms", "us", "ns"].index)
        return pa.timestamp(unit, given[0].tz)
    if all(t == given[0] for t in given):
        return given[0]
    raise TypeError(f"columns {', '.join(map(repr, dict.fromkeys(names)))} hold {' and '.join(map(str, given))}: "
                    "'term_frequency' counts values of one type; convert them first")


def _comparable(pa: Any, column: Any, common: Any, name: str) -> Any:
    """``column`` in the common type; a NaN number becomes missing, and
    -0.0 the same value as 0.0."""
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    if pa.types.is_boolean(column.type) and not pa.types.is_boolean(common):
        column = column.cast(pa.int8())
    if column.type != common:
        try:
            column = column.cast(common)
        except pa.ArrowInvalid as error:
            # An integer beyond 2**53 has no float64 of its own: counted as
            # one, it would be counted together with its neighbours.
            raise TypeError(f"column {name!r} holds {column.type} values that {common} cannot hold exactly "
                            f"({error}); 'term_frequency' counts exact values: convert both sides to one type "
                            "first") from None
    if pa.types.is_floating(common) and column.null_count < len(column):
        column = pa.compute.add(column, pa.scalar(0.0, common))  # -0.0 + 0.0 is 0.0
        column = pa.compute.if_else(pa.compute.is_nan(column), pa.scalar(None, common), column)
    return column


def pair_frequencies(shares: F64Array, left_codes: npt.NDArray[np.int64], right_codes: npt.NDArray[np.int64],
                     positions: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None) -> F64Array:
    """Each pair's term frequency: the share of its value where both values
    are equal and known, NaN elsewhere."""
    a = left_codes if positions is None else left_codes[positions[0]]
    b = right_codes if positions is None else right_codes[positions[1]]
    same = (a == b) & (a >= 0)
    out = np.full(len(a), np.nan)
    out[same] = shares[a[same]]
    return out


class BatchScorer:
    """Scores batches of pairs of the same two tables as ``score_columns``
    does, bit for bit, converting each compared column once and counting
    each term frequency once for all the batches (``link``). ``pairs``: how
    many pairs the batches hold in all; the engine then reads the columns
    and does its per-record work once (a plan) rather than per batch."""

    def __init__(self, left: Mapping[str, Any], right: Mapping[str, Any], pairings: list[Pairing], missing: Missing,
                 names: tuple[str, str] = ("left", "right"), pairs: int | None = None) -> None:
        self.left, self.right, self.pairings, self.missing, self.names = left, right, pairings, missing, names
        self.converted: dict[tuple[int, str, bool], Any] = {}
        self.scored = [k for k, p in enumerate(pairings) if not p.frequency]
        self.counted = {k: TermFrequencies.over([left[p.left], right[p.right]], [p.left, p.right])
                        for k, p in enumerate(pairings) if p.frequency}
        self.pairs: int | None = pairs
        self.plan: Any = None  # made by the first batch

    def _scored(self, positions: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]], n: int,
                first_pair: int) -> F64Array:
        pairings = [self.pairings[k] for k in self.scored]
        if self.plan is None and self.pairs is not None:
            columns, metrics = _engine_columns(self.left, self.right, pairings, self.names, self.converted)
            self.plan = _corvane_rs.compare_plan(columns[0], columns[1], metrics, int(self.pairs))
        if self.plan is None:
            return score_columns(self.left, self.right, pairings, positions, n, self.missing, self.names,
                                 self.converted)
        try:
            scores: F64Array = _corvane_rs.plan_pairs(self.plan, positions[0], positions[1],
                                                      _missing_policy(self.missing))
        except ValueError as error:
            raise _missing_error(error, self.missing, pairings, self.names, first_pair) from None
        return scores

    def __call__(self, positions: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]],
                 first_pair: int = 0) -> F64Array:
        """Scores of every comparison, shape (len(pairings), len(pairs)).
        ``first_pair``: the place of the batch's first pair among all the
        batches' pairs, which a missing value's message counts from."""
        n = len(positions[0])
        if not self.counted:
            return self._scored(positions, n, first_pair)
        out = np.empty((len(self.pairings), n))
        if self.scored:
            out[self.scored] = self._scored(positions, n, first_pair)
        for k, (table, codes) in self.counted.items():
            out[k] = pair_frequencies(table.shares, codes[0], codes[1], positions)
        return out


def _engine_columns(left: Mapping[str, Any], right: Mapping[str, Any], pairings: list[Pairing],
                    names: tuple[str, str], converted: dict[tuple[int, str, bool], Any]) -> tuple[list[list[Any]], list[Any]]:
    """Each side's columns as the engine reads them (converted once into
    ``converted``), and the metrics, for the pairings that the engine scores."""

    def values(side: int, pairing: Pairing) -> Any:
        column = (pairing.left, pairing.right)[side]
        key = (side, column, pairing.numeric)
        if key not in converted:
            source = (left, right)[side][column]
            convert = engine_floats if pairing.numeric else engine_strings
            converted[key] = convert(source, column, names[side], pairing.metric)
        return converted[key]

    for p in pairings:
        if p.numeric:
            _check_time_zones(_pyarrow(), p, left[p.left].type, right[p.right].type, names)
    columns = [[values(side, p) for p in pairings] for side in (0, 1)]
    metrics = [cast(Union[StringMetric, NumericMetric], p.metric) for p in pairings]
    return columns, metrics


def _missing_policy(missing: Missing) -> float | Literal["error"]:
    return "error" if missing == "error" else (np.nan if isinstance(missing, str) else float(missing))


def _missing_error(error: ValueError, missing: Missing, pairings: list[Pairing], names: tuple[str, str],
                   first_pair: int = 0) -> ValueError:
    """The engine's ValueError, or where it names a missing value
    (missing='error'), the same said in the caller's column names, its pair
    counted from ``first_pair``."""
    found = _MISSING_AT.match(str(error)) if missing == "error" else None
    if found is None:
        return error
    k, side, pair, row = int(found[1]), found[2], first_pair + int(found[3]), int(found[4])
    s = 0 if side == "left" else 1
    return ValueError(
        f"column {(pairings[k].left, pairings[k].right)[s]!r} has a missing value on the {names[s]} side, "
        f"first at pair {pair} ({names[s]} row {row}); pass missing='nan' or a fill value "
        "to score such pairs, or drop them"
    )


def score_columns(
    left: Mapping[str, Any],
    right: Mapping[str, Any],
    pairings: list[Pairing],
    positions: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None,
    n: int,
    missing: Missing,
    names: tuple[str, str] = ("left", "right"),
    converted: dict[tuple[int, str, bool], Any] | None = None,
    frequencies: Mapping[str, TermFrequencies] | None = None,
) -> F64Array:
    """Scores of every comparison, shape (len(pairings), n): row k is pairings[k].

    ``left``/``right`` map column names to Arrow columns; ``positions``
    picks each pair's rows (None: row i of both sides is pair i).
    ``converted`` keeps the columns as the engine reads them from one call to
    the next over the same tables (a fresh dict: converted on each call).
    A ``term_frequency`` comparison counts its values over all the records
    of ``left`` and ``right``, or looks them up in ``frequencies[name]``
    where given (a value not there gets NaN).
    """
    counted = [k for k, p in enumerate(pairings) if p.frequency]
    if counted:
        scored = [p for p in pairings if not p.frequency]
        out = np.empty((len(pairings), n))
        if scored:
            out[[k for k, p in enumerate(pairings) if not p.frequency]] = score_columns(
                left, right, scored, positions, n, missing, names, converted)
        for k in counted:
            p = pairings[k]
            if frequencies is not None and p.name in frequencies:
                table = frequencies[p.name]
                codes = [table.codes(side[column], column) for side, column in ((left, p.left), (right, p.right))]
            else:
                table, codes = TermFrequencies.over([left[p.left], right[p.right]], [p.left, p.right])
            out[k] = pair_frequencies(table.shares, codes[0], codes[1], positions)
        return out
    if converted is None:
        converted = {}
    columns, metrics = _engine_columns(left, right, pairings, names, converted)
    if positions is None:
        positions = (np.arange(n, dtype=np.int64),) * 2
    try:
        scores: F64Array = _corvane_rs.compare_pairs(columns[0], columns[1], metrics, positions[0], positions[1],
                                                     _missing_policy(missing))
    except ValueError as error:
        raise _missing_error(error, missing, pairings, names) from None
    return scores


def zone_against_none(pa: Any, left: Any, right: Any) -> bool:
    """Whether one of two (dictionary-decoded) types is a datetime with a
    time zone and the other a date or a datetime without one: the naive
    side names no instant."""
    types = pa.types
    aware = [types.is_timestamp(t) and t.tz is not None for t in (left, right)]
    naive = [types.is_date(t) or (types.is_timestamp(t) and t.tz is None) for t in (left, right)]
    return (aware[0] and naive[1]) or (naive[0] and aware[1])


def _check_time_zones(pa: Any, pairing: Pairing, left: Any, right: Any, names: tuple[str, str]) -> None:
    """Refuses a date or datetime against a plain number, and a datetime
    with a time zone against one without (or a date): the naive side names
    no instant, so their distance is not defined. Two zones are fine: both
    sides are instants."""
    types = pa.types
    left, right = (t.value_type if types.is_dictionary(t) else t for t in (left, right))
    temporal = [types.is_date(t) or types.is_timestamp(t) for t in (left, right)]
    if temporal[0] != temporal[1]:
        # Both would become numbers, the dates counted in days since 1970:
        # a distance between such a count and a plain number means nothing.
        raise TypeError(
            f"column {pairing.left!r} of {names[0]} holds {left} but column {pairing.right!r} of {names[1]} holds "
            f"{right}: {pairing.metric!r} cannot compare dates or datetimes with plain numbers; convert one side "
            "first (for example pd.to_datetime)"
        )
    if zone_against_none(pa, left, right):
        raise TypeError(
            f"column {pairing.left!r} of {names[0]} holds {left} but column {pairing.right!r} of {names[1]} holds "
            f"{right}: {pairing.metric!r} cannot compare datetimes with a time zone to ones without; give the naive "
            "side its time zone first (for example .dt.tz_localize('UTC'))"
        )


def _missing_positions(array: npt.NDArray[Any]) -> npt.NDArray[np.intp]:
    """Where positions converted from a nullable column are missing (NaN,
    None, pandas' NA)."""
    if array.dtype.kind == "f":
        return np.flatnonzero(np.isnan(array))
    if array.dtype.kind == "O":
        pd = sys.modules.get("pandas")
        if pd is not None:
            return np.flatnonzero(np.asarray(pd.isna(array), dtype=np.bool_))
        return np.flatnonzero([v is None or (isinstance(v, float) and v != v) for v in array])
    return np.flatnonzero(np.zeros(len(array), dtype=np.bool_))


def refuse_pair_list(pairs: object, what: str) -> None:
    """Refuses a list of (left, right) position pairs where the two arrays of
    positions are expected: a list of two such pairs would otherwise be read
    as two arrays, that is as other pairs."""
    if isinstance(pairs, list) and pairs and all(isinstance(p, tuple) and len(p) == 2 for p in pairs):
        raise TypeError(
            f"{what} is a list of (left, right) position pairs; pass the two arrays of positions instead, "
            f"(left_positions, right_positions): for example tuple(np.array({what}).T)"
        )


def _positions(pairs: object, sizes: tuple[int, int]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    refuse_pair_list(pairs, "pairs")
    try:
        kind = kind_of(pairs, "pairs")
    except TypeError:
        kind = ""
    if kind:  # link's result, or any table with its two position columns
        pairs = tuple(np.asarray(arrow_column(pairs, kind, c, "pairs")) for c in ("left_position", "right_position"))
    if not isinstance(pairs, (tuple, list)) or len(pairs) != 2:
        raise TypeError("pairs must be a tuple (left_positions, right_positions) of integer arrays")
    out = []
    for side, (given, size) in enumerate(zip(pairs, sizes)):
        what = ("left", "right")[side]
        array = np.asarray(given)
        if array.ndim != 1:
            raise ValueError(f"pairs: the {what} positions must be 1-D, not of shape {array.shape}")
        if array.size and array.dtype.kind not in "iu":
            absent = _missing_positions(array)
            if absent.size:
                raise TypeError(
                    f"pairs: the {what} positions hold missing values (first at pair {int(absent[0])}); "
                    "drop those pairs first"
                )
            raise TypeError(f"pairs: the {what} positions must be integers, not {array.dtype}")
        if array.size and array.dtype.kind == "u":
            # Checked in the given dtype: a large unsigned position would wrap
            # to a negative one as int64. Signed positions are checked by the
            # engine, on its workers, with the same message.
            bad = np.flatnonzero(array >= size)
            if bad.size:
                raise IndexError(
                    f"pairs: {what} position {int(array[bad[0]])} at pair {int(bad[0])} is outside "
                    f"the {size} rows of {what}"
                )
        out.append(array.astype(np.int64, copy=False))
    if len(out[0]) != len(out[1]):
        raise ValueError(f"pairs: {len(out[0])} left positions but {len(out[1])} right positions")
    return out[0], out[1]


def compare(
    left: Frame,
    right: object,
    pairs: tuple[npt.ArrayLike, npt.ArrayLike],
    comparisons: Iterable[Comparison],
    *,
    missing: Missing = "nan",
) -> Frame:
    """Scores the record pairs ``pairs`` of ``left`` and ``right``.

    ``left`` and ``right`` are pandas or polars DataFrames or pyarrow
    Tables; ``right=None`` pairs ``left`` with itself. ``pairs`` is ``(left_positions, right_positions)``: pair i is
    row ``left_positions[i]`` of ``left`` (by position, not index label)
    with row ``right_positions[i]`` of ``right`` (or a table with the
    columns ``left_position`` and ``right_position``, as ``link`` returns
    them). ``comparisons`` lists
    ``(column, metric)``, or ``(left_column, right_column, metric)`` where
    the two tables name the column differently.

    Returns a table of the same kind as ``left``, one row per pair and one
    float64 column per comparison, named ``{column}_{metric}`` after the
    left column. String metrics take string columns; numeric metrics take
    number columns, and date or datetime columns counted in days (so
    ``date_distance`` is a number of days).

    A pair with a missing value (null, or NaN in a float column) on either
    side scores NaN (``missing="nan"``), raises ``ValueError`` naming the
    column, the side and the first such pair (``missing="error"``), or
    scores the number given (``missing=0.0``).

    ``(column, "term_frequency")`` gives, where the pair's two values are
    equal, the share of the records of ``left`` and ``right`` together
    (missing values left out) that hold the value, and NaN elsewhere
    (values that differ or are missing, whatever ``missing`` says).
    """
    check_missing(missing)
    pairings = pairings_of(comparisons)
    if right is None:  # deduplication: both records of a pair in left, as candidates gives them
        right = left
    left_kind = kind_of(left, "left")
    right_kind = kind_of(right, "right")
    lcols = {s.left: arrow_column(left, left_kind, s.left, "left") for s in pairings}
    rcols = {s.right: arrow_column(right, right_kind, s.right, "right") for s in pairings}
    sizes = (_num_rows(left, left_kind), _num_rows(right, right_kind))
    positions = _positions(pairs, sizes)
    n = len(positions[0])
    scores = score_columns(lcols, rcols, pairings, positions, n, missing)
    result: Frame = from_scores(left_kind, [s.name for s in pairings], scores)
    return result


def from_scores(kind: str, names: list[str], scores: F64Array) -> Any:
    """A table of the given kind whose columns are the rows of ``scores``
    (C-contiguous, one row per column), each taken over without a copy."""
    if kind == "pandas":
        import pandas as pd

        # The transpose of a C-contiguous (columns, rows) array is the
        # layout of one pandas float block: no copy, no consolidation.
        return pd.DataFrame(scores.T, columns=names, copy=False)
    if kind == "polars":
        import polars as pl

        return pl.DataFrame([pl.Series(name, row) for name, row in zip(names, scores)])
    pa = _pyarrow()
    arrays = [pa.array(row) for row in scores]  # a float64 array over the same memory
    if kind == "batch":
        return pa.RecordBatch.from_arrays(arrays, names=names)
    return pa.Table.from_arrays(arrays, names=names)


def _num_rows(frame: Any, kind: str) -> int:
    return int(frame.num_rows) if kind in ("table", "batch") else int(frame.shape[0])
