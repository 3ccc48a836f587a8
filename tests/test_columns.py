"""Columns read in place: Arrow (pyarrow, polars, pandas), NumPy strings and
numbers. Every form must give what the same values give as a list, bad
columns must fail cleanly, and every exported Arrow buffer must be released."""

import ctypes
import json
import math
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import _corvane_rs as m
from support import same_floats

LEFT = ["martha", "", "dwayne", "Jones-Smith & Co", "héllo wörld, Müller Straße 12 and a long ascii tail", "日本語テキスト", "a\x00b", "x" * 40, "🙂 emoji"]
RIGHT = ["marhta", "x", "duane", "Smith Jones Co", "hello world, Muller Strasse 12 and a long ascii tail", "日本語", "a\x00c", "x" * 39 + "y", "🙂 emoji"]

STRING_BATCHES = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact_match", "soundex", "jaccard", "cosine",
                  "token_sort_ratio"]
METRIC_NAMES = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
                "token_sort_ratio"]


def chunked(values):
    return pa.chunked_array([values[:3], values[3:4], [], values[4:]], pa.string())


STRING_FORMS = {
    "utf8": pa.array,
    "large_utf8": lambda v: pa.array(v, pa.large_string()),
    "utf8_view": lambda v: pa.array(v, pa.string_view()),
    "chunked": chunked,
    "sliced": lambda v: pa.array(["before"] + v + ["after"])[1:-1],
    "dictionary": lambda v: pa.array(v).dictionary_encode(),
    "chunked_dictionary": lambda v: chunked(v).dictionary_encode(),
    "polars": pl.Series,
    "pandas_str": lambda v: pd.Series(v, dtype="str"),
    "pandas_category": lambda v: pd.Series(v, dtype="category"),
    "numpy_unicode": np.array,
    "numpy_unicode_strided": lambda v: np.array([s for x in v for s in (x, "skip")])[::2],
    "numpy_stringdtype": lambda v: np.array(v, dtype=np.dtypes.StringDType()),
    "tuple": tuple,
}


@pytest.mark.parametrize("form", STRING_FORMS)
def test_string_forms_match_the_list_path(form):
    make = STRING_FORMS[form]
    n = len(LEFT)
    expected = {}
    for name in STRING_BATCHES:
        batch = getattr(m, name + "_batch")
        expected[name] = batch(LEFT, RIGHT)
        assert batch(make(LEFT), make(RIGHT)) == expected[name], name
        assert batch(make(LEFT), RIGHT) == expected[name], name
        assert batch(LEFT, make(RIGHT)) == expected[name], name
    empty = np.zeros((0, n))
    got = m.compute_feature_matrix([make(LEFT)] * 8, [RIGHT if k % 2 else make(RIGHT) for k in range(8)],
                                   METRIC_NAMES, empty, empty, [], n).reshape(n, 8)
    want = np.array([expected[name] for name in STRING_BATCHES]).T
    assert np.array_equal(got, want)
    # Pairs gathered by the engine: 30 pairs of 9 + 9 records, the same
    # column object for every comparison on the left, fresh ones on the right.
    lpos = np.array([3, 0, 8, 8, 1, 5, 2, 7, 6, 4] * 3)
    rpos = lpos[::-1].copy()
    same = make(LEFT)
    got = m.compare_pairs([same] * 8, [make(RIGHT) for _ in range(8)], METRIC_NAMES, lpos, rpos, 0.0)
    gathered = ([LEFT[i] for i in lpos], [RIGHT[i] for i in rpos])
    assert np.array_equal(got, [getattr(m, name + "_batch")(*gathered) for name in STRING_BATCHES])


NULLABLE = ["ann", None, "bob", "", None, "bob"]


def _junk_under_nulls(v):
    """A dictionary array whose null slots hold indices outside the
    dictionary (-1, as pandas' categoricals write, and 1000): valid Arrow."""
    values = [x for x in dict.fromkeys(v) if x is not None]
    index = np.array([values.index(x) if x is not None else (-1, 1000)[k % 2] for k, x in enumerate(v)], np.int32)
    valid = np.array([x is not None for x in v])
    indices = pa.Array.from_buffers(pa.int32(), len(v), [pa.py_buffer(np.packbits(valid, bitorder="little").tobytes()),
                                                          pa.py_buffer(index.tobytes())], null_count=int((~valid).sum()))
    return pa.DictionaryArray.from_arrays(indices, pa.array(values))


NULL_FORMS = {
    "utf8": pa.array,
    "large_utf8": lambda v: pa.array(v, pa.large_string()),
    "utf8_view": lambda v: pa.array(v, pa.string_view()),
    "chunked": lambda v: pa.chunked_array([v[:1], v[1:4], [], v[4:]], pa.string()),
    "sliced": lambda v: pa.array([None] + v + ["after"])[1:-1],
    "dictionary": lambda v: pa.array(v).dictionary_encode(),
    "null_in_dictionary": lambda v: pa.DictionaryArray.from_arrays(
        pa.array([0, 1, 2, 3, 1, 2], pa.int8()), pa.array(["ann", None, "bob", ""])),
    "dictionary_junk_under_nulls": _junk_under_nulls,
    "polars": pl.Series,
    "polars_categorical": lambda v: pl.Series(v, dtype=pl.Categorical),
    "pandas_str": lambda v: pd.Series(v, dtype="str"),
    "numpy_stringdtype": lambda v: np.array(v, dtype=np.dtypes.StringDType(na_object=None)),
    "list": list,
    "tuple": tuple,
}


@pytest.mark.parametrize("form", NULL_FORMS)
@pytest.mark.parametrize("missing", [math.nan, 0.25, -0.0])
def test_nulls_are_missing_values_in_every_form(form, missing):
    left = NULL_FORMS[form](NULLABLE)
    right = ["ann", "ann", "bob", "", "x", "bob"]
    lpos, rpos = np.array([0, 1, 2, 3, 4, 5, 5, 1, 3]), np.array([0, 1, 2, 3, 4, 5, 0, 0, 3])
    got = m.compare_pairs([left, left, right], [right, right, left], ["exact", "jaro_winkler", "levenshtein"], lpos,
                          rpos, missing)
    def expected(batch, a, b):
        return [missing if x is None or y is None else batch([x], [y])[0] for x, y in zip(a, b)]

    pairs = [NULLABLE[i] for i in lpos], [right[i] for i in rpos]
    assert same_floats(got[0], expected(m.exact_match_batch, *pairs))
    assert same_floats(got[1], expected(m.jaro_winkler_batch, *pairs))
    assert same_floats(got[2], expected(m.levenshtein_batch, [right[i] for i in lpos], [NULLABLE[i] for i in rpos]))
    assert np.isnan(m.compare_pairs([pa.nulls(3)], [["a"] * 3], ["soundex"], np.arange(3), np.arange(3), math.nan)).all()
    with pytest.raises(ValueError, match=r"^comparison 1 has a missing value on the left side, first at pair 1 "
                                         r"\(left row 1\)$"):
        m.compare_pairs([right, left], [right, right], ["exact", "exact"], lpos, rpos, "error")


# compare_pairs lays each side's compared values out record by record when
# the pairs read its records more than once on average, shares one layout
# between sides holding the same values, and reads the columns as they lie
# otherwise (fewer pairs than records, or a record whose values pass 32,767
# bytes with the layout's header). Every way must score what the values
# give one pair at a time.
GATHER_METRICS = ["exact", "jaro_winkler", "levenshtein", "soundex", "token_sort_ratio", "numeric"]
WORDS = ["martha", None, "dwayne", "", "Jones-Smith & Co", "héllo wörld", "日本語", "x" * 40, "b a c", "Robert"]
OTHER = ["marhta", "duane", None, "Smith Jones Co", "hello world", "日本", "", "x" * 39 + "y", "a b c", "Rupert"]
AMOUNTS = [1.5, None, -2.0, 7.0, 0.0, 3.25, None, -0.0, 8.0, 1e300]


def _bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


def _all_pairs(n):
    i, j = np.triu_indices(n, 1)
    return i.astype(np.int64), j.astype(np.int64)


def _gather_case(name):
    rng = np.random.default_rng(7)
    n = len(WORDS)
    if name == "one column on both sides":
        words = pa.array(WORDS)
        return [words] * 5, [words] * 5, AMOUNTS, AMOUNTS, *_all_pairs(n)
    if name == "equal values, other buffers":
        return [pa.array(WORDS)] * 5, [list(WORDS)] * 5, AMOUNTS, list(AMOUNTS), *_all_pairs(n)
    if name == "different values":
        return [WORDS] * 5, [OTHER] * 5, AMOUNTS, AMOUNTS[::-1], rng.integers(0, n, 40), rng.integers(0, n, 40)
    if name == "fewer pairs than records":
        # Each layout a column is read in: chunks, views, dictionaries.
        forms = [chunked, lambda v: pa.array(v, pa.string_view()), lambda v: pa.array(v).dictionary_encode(),
                 lambda v: chunked(v).dictionary_encode(), list]
        return ([form(WORDS) for form in forms], [form(OTHER) for form in forms[::-1]], AMOUNTS, AMOUNTS,
                np.array([9, 0, 4, 9]), np.array([1, 9, 0, 3]))
    if name == "rows on the left only":
        right = chunked(OTHER * 6)
        return [WORDS] * 5, [right] * 5, AMOUNTS, AMOUNTS * 6, rng.integers(0, n, 30), rng.integers(0, 6 * n, 30)
    if name.startswith("a large right side"):
        # Pairs of a few left records (with rows, or without: a run of
        # positions in a large left side) against records anywhere in a
        # right side too large to stay in cache, read in position order.
        copies = 14_000
        right = chunked(OTHER * copies)
        lpos = rng.integers(0, n, 3000)
        lefts, left_amounts = [WORDS] * 5, AMOUNTS
        if name.endswith("without rows"):
            lefts, left_amounts = [chunked(WORDS * copies)] * 5, AMOUNTS * copies
            lpos = lpos + 5 * n
        return lefts, [right] * 5, left_amounts, AMOUNTS * copies, lpos, rng.integers(0, copies * n, 3000)
    long_left, long_right = WORDS[:], OTHER[:]
    # exact, jaro_winkler and levenshtein read one string column, and one
    # number goes with it: a row's header is 2 + 8 bytes.
    size = {"the longest row": 32767 - 10, "a row one byte too long": 32768 - 10}[name]
    long_left[4] = "é" + "z" * (size - 2)
    long_right[2] = long_left[4][:-1] + "q"
    long_right[5] = long_left[4]
    return ([long_left] * 3, [long_right] * 3, AMOUNTS, AMOUNTS,
            np.array([4, 4, 4, 0, 1, 4, 9, 8, 7, 6, 5, 3, 2]), np.array([2, 5, 1, 0, 2, 3, 9, 8, 7, 6, 5, 4, 3]))


@pytest.mark.parametrize("case", ["one column on both sides", "equal values, other buffers", "different values",
                                  "fewer pairs than records", "rows on the left only", "the longest row",
                                  "a row one byte too long", "a large right side, left rows",
                                  "a large right side, left without rows"])
def test_gathered_pairs_score_as_one_pair_at_a_time(case):
    lefts, rights, left_amounts, right_amounts, lpos, rpos = _gather_case(case)
    lpos, rpos = np.asarray(lpos, np.int64), np.asarray(rpos, np.int64)
    strings = GATHER_METRICS[:-1] if len(lefts) == 5 else GATHER_METRICS[:3]
    metrics = strings + ["numeric"]
    columns = (lefts[:len(strings)] + [left_amounts], rights[:len(strings)] + [right_amounts], metrics)
    got = m.compare_pairs(*columns, lpos, rpos, 0.25)
    # A plan made once scores as compare_pairs does, whatever it was told
    # of the calls to come (per-record work and rows, or neither) and
    # however the pairs are split between calls.
    cut = len(lpos) // 3
    for hint in (len(lpos), 1):
        plan = m.compare_plan(*columns, hint)
        assert np.array_equal(_bits(m.plan_pairs(plan, lpos, rpos, 0.25)), _bits(got)), hint
        parts = [m.plan_pairs(plan, lpos[a:b], rpos[a:b], 0.25) for a, b in ((0, cut), (cut, len(lpos)))]
        assert np.array_equal(_bits(np.concatenate(parts, axis=1)), _bits(got)), hint
    batch = dict(zip(METRIC_NAMES, STRING_BATCHES)) | {"numeric": "numeric_distance"}

    def plain(values):
        return [v.as_py() if isinstance(v, pa.Scalar) else v for v in values]

    for k, metric in enumerate(metrics):
        left, right = (plain(side[k]) for side in (lefts[:len(strings)] + [left_amounts],
                                                  rights[:len(strings)] + [right_amounts]))
        score = getattr(m, batch[metric] + "_batch")
        want = [0.25 if left[i] is None or right[j] is None else score([left[i]], [right[j]])[0]
                for i, j in zip(lpos, rpos)]
        assert same_floats(got[k], want), (case, metric)


def test_number_columns_hold_missing_values_as_nan():
    values = [1.5, None, -2.0, 7.0]
    forms = [pa.array(values), pa.chunked_array([[1, None], [-2, 7]], pa.int32()), values, pl.Series(values),
             np.array([1.5, np.nan, -2.0, 7.0])]
    lpos = np.array([0, 1, 2, 3, 1])
    rpos = lpos[::-1].copy()
    for form in forms:
        got = m.compare_pairs([form, form], [[1.0, 2.0, 3.0, 4.0]] * 2, ["numeric", "numeric_similarity"], lpos, rpos,
                              9.0)
        plain = [None if x is None or x != x else float(x)
                 for x in (form.to_pylist() if hasattr(form, "to_pylist") else list(form))]
        for k, batch in enumerate((m.numeric_distance_batch, m.numeric_similarity_batch)):
            want = [9.0 if plain[i] is None else batch([plain[i]], [float(j + 1)])[0] for i, j in zip(lpos, rpos)]
            assert same_floats(got[k], want), (form, k)


def test_zero_one_lists_share_two_floats():
    for batch in (m.exact_match_batch, m.soundex_batch):
        got = batch(["ann", "robert", "ann", "x"], ["ann", "rupert", "ann", "y"])
        assert got == [1.0, 0.0 if batch is m.exact_match_batch else 1.0, 1.0, 0.0] and got[0] is got[2]
        assert all(type(x) is float and math.copysign(1, x) == 1 for x in got)
    # Lists of ASCII str are compared where they lie; anything else is converted first: the same scores.
    left = ["ann", "", "bob", "a\x00b", "x" * 40, "same"]
    right = ["ann", "", "bob ", "a\x00c", "x" * 40, "same"]
    want = [1.0, 1.0, 0.0, 0.0, 1.0, 1.0]
    assert m.exact_match_batch(left, right) == m.exact_match_batch(tuple(left), right) == want
    assert m.exact_match_batch(left + ["é"], right + ["é"]) == want + [1.0]
    assert m.exact_match_batch(left, right[:-1] + [left[-1]]) == want


NUMBERS = [0.0, -1.5, 3.25, 1e30, -0.0, float("inf"), float("nan"), 7.0]
INTS = [0, -1, 2**53 + 1, 2**63 - 1, -(2**63), 12345678901234567, 3, 9]

NUMERIC_FORMS = {
    "numpy_f64": lambda v: np.array(v, np.float64),
    "numpy_f64_reversed": lambda v: np.array(v[::-1], np.float64)[::-1],
    "numpy_f64_strided": lambda v: np.repeat(np.array(v, np.float64), 3)[::3],
    "numpy_i64": lambda v: np.array(v, np.int64),
    "numpy_f32": lambda v: np.array(v, np.float32),
    "arrow_f64": lambda v: pa.array(map(float, v), pa.float64()),
    "arrow_f64_sliced": lambda v: pa.array([9.0] + list(map(float, v)), pa.float64())[1:],
    "arrow_i64": lambda v: pa.array(v, pa.int64()),
    "arrow_u64_chunked": lambda v: pa.chunked_array([[abs(x) for x in v[:3]], [abs(x) for x in v[3:]]], pa.uint64()),
    "arrow_i8": lambda v: pa.array([x % 100 for x in v], pa.int8()),
    "polars_f32": lambda v: pl.Series(list(map(float, v)), dtype=pl.Float32),
}


@pytest.mark.parametrize("form,values", [(f, INTS) for f in NUMERIC_FORMS] +
                         [(f, NUMBERS) for f in NUMERIC_FORMS if "f" in f.split("_")[1]])
def test_numeric_forms_match_the_list_path(form, values):
    column = NUMERIC_FORMS[form](values)
    as_floats = [float(x) for x in (column.to_pylist() if hasattr(column, "to_pylist") else column)]
    other = list(reversed(as_floats))
    for batch in (m.numeric_distance_batch, m.numeric_similarity_batch):
        want = batch(as_floats, other)
        assert np.array_equal(batch(column, other), want, equal_nan=True)
        assert np.array_equal(batch(other, column), batch(other, as_floats), equal_nan=True)


@pytest.mark.filterwarnings("ignore:The chararray class is deprecated:DeprecationWarning")
def test_columns_read_item_by_item_keep_their_items():
    # Forms whose items differ from their raw or exported data stay on the
    # item path: chararray items lose trailing blanks, masked values read as
    # NaN, a NumPy-backed pandas Series keeps NaN (its Arrow export makes it
    # null), decimals and unexportable objects convert item by item.
    nan_series = pd.Series([1.0, float("nan"), 3.0])
    assert np.array_equal(m.numeric_distance_batch(nan_series, [0.0] * 3), [1.0, float("nan"), 3.0], equal_nan=True)
    assert m.numeric_distance_batch(pl.Series([__import__("decimal").Decimal("1.5")]), [1.0]) == [0.5]
    assert m.exact_match_batch(pl.Series(["a", "b"], dtype=pl.Object), ["a", "c"]) == [1.0, 0.0]
    assert m.exact_match_batch(pd.Series(["a", "b"], dtype=object), ["a", "c"]) == [1.0, 0.0]
    assert m.exact_match_batch(np.char.array(["a  ", "b"]), ["a", "b"]) == [1.0, 1.0]
    masked = np.ma.array([1.0, 2.0], mask=[False, True])
    with pytest.warns(UserWarning):
        assert np.isnan(m.numeric_distance_batch(masked, [1.0, 2.0])[1])


def test_list_path_leaves_no_utf8_copy_on_the_callers_strings():
    strings = ["héllo" + str(k) for k in range(50)] + ["日本" * k for k in range(50)]
    sizes = [sys.getsizeof(s) for s in strings]
    m.exact_match_batch(strings, strings)
    assert [sys.getsizeof(s) for s in strings] == sizes
    with pytest.raises(UnicodeEncodeError):
        m.exact_match_batch(["ok", "bad \ud800"], ["a", "b"])


class Name(str):
    """A str subclass: its characters live outside the object."""


# Item kinds of the list path: exact ASCII str of every length up to past
# the inline copy, other str encoded, subclasses, and lengths that change
# after the first items (the bytes are reserved from a sample of them).
LIST_KINDS = {
    "ascii": ["abcdefghijklmnopqrstuvwxyz0123456789ABCDEFG"[:k] for k in range(42)],
    "latin1": ["é" * k + "x" for k in range(20)],
    "bmp_astral": ["日本" * k + "🙂" for k in range(12)] + ["\uffff", "\U0010ffff"],
    "subclass": [Name("martha"), Name(""), Name("Müller"), Name("x" * 30)],
    "short_then_long": ["a"] * 64 + ["x" * 300 + str(k) for k in range(50)],
}


@pytest.mark.parametrize("count", [3, 64, 65, 5000])
@pytest.mark.parametrize("kinds", [("ascii",), ("ascii", "latin1", "bmp_astral"), ("ascii", "subclass"),
                                   ("short_then_long",)])
@pytest.mark.parametrize("form", [list, tuple])
def test_lists_read_as_arrow_reads_the_same_strings(count, kinds, form):
    pool = [s for k in kinds for s in LIST_KINDS[k]]
    values = [pool[k % len(pool)] for k in range(count)]
    plain = [str.__str__(s) for s in values]
    # Arrow columns take another path: every string must come out of the
    # list byte for byte (the same, a byte more, the first byte changed).
    # Two lists of str are compared where they lie instead; any other
    # item, however late, sends both through conversion.
    for other, want in ((plain, [1.0] * count),
                        ([s + "!" if k % 3 == 0 else s for k, s in enumerate(plain)],
                         [0.0 if k % 3 == 0 else 1.0 for k in range(count)]),
                        (["#" + s[1:] if s else s for s in plain], [1.0 if s == "" else 0.0 for s in plain])):
        for right in (pa.array(other), form(other)):
            assert m.exact_match_batch(form(values), right) == want
            z = np.zeros((0, count))
            assert m.compute_feature_matrix([form(values)], [right], ["exact"], z, z, [], count).tolist() == want


def test_exact_lists_compared_where_they_lie():
    # Every length up to past the 16 bytes compared without a call, changed
    # at every position, a byte longer and a byte shorter; equal strings as
    # one object and as two. Beside the compared columns: a column with a
    # str subclass item (converted), another metric on the same lists, a
    # numeric column, and an "exact" column whose sides differ in length.
    left, right = [], []
    for n in range(41):
        s = "abcdefghijklmnopqrstuvwxyz0123456789ABCD"[:n]
        changed = [s[:p] + "#" + s[p + 1:] for p in range(n)]
        left += [s, s, s, s] + [s] * n
        right += [s, "".join(list(s)), s + "x", s[:-1]] + changed
    # Characters of every width, against the same and against other widths.
    wide = ["é", "Müller", "日本", "🙂 emoji", "日本語テキスト"]
    left += wide * 3 + ["Muller", "é", "e"]
    right += ["".join(list(s)) for s in wide] + wide[1:] + wide[:1] + [s + "!" for s in wide] + ["Müller", "日", "é"]
    count = len(left)
    want = [float(a == b) for a, b in zip(left, right)]
    assert m.exact_match_batch(left, right) == want and m.exact_match_batch(tuple(left), right) == want
    converted = left[:-1] + [Name(right[-1])]
    numbers = np.arange(2.0 * count).reshape(2, count)
    out = m.compute_feature_matrix([left, converted, tuple(left)], [right, right, right],
                                   ["exact", "exact", "levenshtein"], numbers[:1], numbers[1:], ["numeric"], count)
    assert np.array_equal(out.reshape(count, 4).T, [want, want[:-1] + [1.0], m.levenshtein_batch(left, right),
                                                    [float(count)] * count])
    with pytest.raises(ValueError, match="String column 1 has wrong length"):
        m.compute_feature_matrix([left, left], [right, right[1:]], ["exact"] * 2, numbers[:0], numbers[:0], [], count)
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):  # a str with no UTF-8 form, late
        m.compute_feature_matrix([left], [right[:-1] + ["\udc80"]], ["exact"], numbers[:0], numbers[:0], [], count)


def test_long_strings_first_reserve_no_more_than_the_list_holds():
    # The bytes are reserved from the first items: 64 long ones before a
    # million short ones once asked for a quarter of a terabyte.
    values = ["x" * 200_000 + str(k) for k in range(64)] + ["ab"] * 1_000_000
    out = m.exact_match_batch(values, ["ab"] * len(values))
    assert out[:64] == [0.0] * 64 and out[64:] == [1.0] * 1_000_000


def test_buffers_given_back_never_show_through():
    # Large buffers a call gives back are handed to the next call as they
    # are: nothing of the first call's strings or scores may show in the
    # second's (the result here is large enough to be such a buffer too).
    n = 300_000
    first = ["%020d" % k for k in range(n)]
    z = np.zeros((0, n))
    out = m.compute_feature_matrix([first, first], [first, first], ["exact", "exact"], z, z, [], n)
    assert out.min() == 1.0
    del out
    second = ["ab"[k % 2] * (k % 7) for k in range(n)]
    other = [s if k % 3 else s + "z" for k, s in enumerate(second)]
    out = m.compute_feature_matrix([second, other], [other, second], ["exact", "exact"], z, z, [], n)
    want = [float(a == b) for a, b in zip(second, other)]
    assert out[0::2].tolist() == want and out[1::2].tolist() == want


# ---- bad columns: each case runs in its own interpreter -------------------------


def views(*entries):
    """utf8_view structs: (length, inline bytes) or (length, prefix, buffer, offset)."""
    out = b""
    for e in entries:
        out += struct.pack("<i12s", e[0], e[1]) if len(e) == 2 else struct.pack("<i4sii", *e)
    return out


NULL = "is null \\(missing\\); fill or drop missing values"
NOT_STRINGS = "is not a string type"
BAD_CASES = [
    # (id, column expression, exception, message pattern)
    ("null_utf8", "pa.array(['a', 'b', None])", TypeError, f"argument 'left': element 2 {NULL}"),
    ("null_large", "pa.array(['a', None, 'c'], pa.large_string())", TypeError, f"element 1 {NULL}"),
    ("null_view", "pa.array([None, 'b', 'c'], pa.string_view())", TypeError, f"element 0 {NULL}"),
    ("null_chunk", "pa.chunked_array([['a'], ['b', None]])", TypeError, f"element 2 {NULL}"),
    ("null_index", "pa.array(['a', None, 'a']).dictionary_encode()", TypeError, f"element 1 {NULL}"),
    ("null_in_dictionary", "pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int8()), pa.array(['a', None]))",
     TypeError, f"element 1 {NULL}"),
    ("null_type", "pa.array([None, None, None])", TypeError, f"element 0 {NULL}"),
    ("null_polars", "pl.Series(['a', 'b', None])", TypeError, f"element 2 {NULL}"),
    ("null_pandas", "pd.Series(['a', None, 'c'], dtype='str')", TypeError, f"element 1 {NULL}"),
    ("null_stringdtype", "np.array(['a', None, 'c'], dtype=np.dtypes.StringDType(na_object=None))", TypeError,
     f"element 1 {NULL}"),
    ("int64", "pa.array([1, 2, 3])", TypeError, f"argument 'left': Arrow format 'l' {NOT_STRINGS}"),
    ("binary", "pa.array([b'a', b'b', b'c'])", TypeError, f"Arrow format 'z' {NOT_STRINGS}"),
    ("list", "pa.array([['a'], ['b'], ['c']])", TypeError, f"Arrow format '\\+l' {NOT_STRINGS}"),
    ("int_dictionary", "pa.array([1, 2, 1]).dictionary_encode()", TypeError, "format 'l' of the dictionary values"),
    ("invalid_utf8", "pa.Array.from_buffers(pa.string(), 3, [None, i32(0, 1, 2, 4), pa.py_buffer(b'ab\\xc3(')])",
     ValueError, "argument 'left': element 2 is not valid UTF-8"),
    ("surrogate_utf8", "pa.Array.from_buffers(pa.string(), 3, [None, i32(0, 0, 0, 3), pa.py_buffer(b'\\xed\\xa0\\x80')])",
     ValueError, "element 2 is not valid UTF-8"),
    ("split_character", "pa.Array.from_buffers(pa.string(), 3, [None, i32(0, 1, 2, 4), pa.py_buffer('éé'.encode())])",
     ValueError, "element 0 is not valid UTF-8"),
    ("decreasing_offsets", "pa.Array.from_buffers(pa.string(), 3, [None, i32(0, 2, 1, 3), pa.py_buffer(b'abc')])",
     ValueError, "offsets decrease .* at element 1"),
    ("decreasing_large", "pa.Array.from_buffers(pa.large_string(), 3, [None, i64(0, 1, 3, 2), pa.py_buffer(b'abc')])",
     ValueError, "offsets decrease .* at element 2"),
    # Long runs, checked a stretch at a time: the first fault past the first stretches is the one named.
    ("decreasing_far", "pa.Array.from_buffers(pa.string(), 10000, [None, i32(*np.r_[0:9001, 8999, 9002:9501, 9499, "
     "9502:10001]), pa.py_buffer(b'a' * 10000)])", ValueError, "offsets decrease .* at element 9000"),
    ("invalid_utf8_far", "pa.Array.from_buffers(pa.string(), 10000, [None, i32(*range(10001)), "
     "pa.py_buffer(b'a' * 7000 + b'\\xff' + b'a' * 2999)])", ValueError, "element 7000 is not valid UTF-8"),
    ("view_past_buffer", "pa.Array.from_buffers(pa.string_view(), 3, [None, pa.py_buffer(views((1, b'a'), "
     "(1, b'b'), (20, b'abcd', 0, 10))), pa.py_buffer(b'a' * 26)])", ValueError,
     "element 2 points outside its Arrow data buffers"),
    ("view_bad_buffer", "pa.Array.from_buffers(pa.string_view(), 3, [None, pa.py_buffer(views((1, b'a'), "
     "(20, b'abcd', 3, 0), (1, b'c'))), pa.py_buffer(b'a' * 26)])", ValueError, "element 1 points outside"),
    ("view_invalid_utf8", "pa.Array.from_buffers(pa.string_view(), 3, [None, pa.py_buffer(views((1, b'a'), "
     "(1, b'b'), (2, b'\\xff\\xfe'))), pa.py_buffer(b'')])", ValueError, "element 2 is not valid UTF-8"),
    ("no_data_buffer", "NoData()", ValueError, "element 2 is not empty but the Arrow array has no data buffer"),
    ("index_out_of_range", "pa.DictionaryArray.from_arrays(pa.array([0, 7, 0], pa.int32()), pa.array(['a', 'b']), "
     "safe=False)", ValueError, "dictionary index of element 1 is out of range"),
    ("numpy_surrogate", "np.array(['a', 'b', '\\ud800'])", UnicodeEncodeError, "surrogates not allowed"),
    ("length_mismatch", "pa.array(['a', 'b'])", ValueError, "^left and right must have the same length$"),
    ("feature_matrix", "FM", TypeError, f"argument 'string_columns_left': column 1: element 2 {NULL}"),
    ("numeric_null", "NUM pa.array([1.0, None, 2.0])", TypeError, f"argument 'left': element 1 {NULL}"),
    ("numeric_strings", "NUM pa.array(['1', '2', '3'])", TypeError, "Arrow format 'u' is not a number type"),
]

CHILD = textwrap.dedent("""
    import json, struct, sys
    import numpy as np, pandas as pd, polars as pl, pyarrow as pa
    import _corvane_rs as m
    def i32(*v): return pa.py_buffer(np.array(v, np.int32).tobytes())
    def i64(*v): return pa.py_buffer(np.array(v, np.int64).tobytes())
    class NoData:  # a faulty producer: offsets of non-empty strings, no data buffer
        def __arrow_c_array__(self, requested_schema=None):
            import ctypes
            schema, array = pa.array(['', '', 'abcd']).__arrow_c_array__()
            get = ctypes.pythonapi.PyCapsule_GetPointer
            get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
            buffers = ctypes.c_void_p.from_address(get(array, b"arrow_array") + 40).value  # ArrowArray.buffers
            ctypes.c_void_p.from_address(buffers + 16).value = None
            return schema, array
    {views}
    right = ['x', 'y', 'z']
    for expr in sys.argv[1:]:
        try:
            if expr == 'FM':
                col = pa.array(['a', 'b', None])
                e = np.zeros((0, 3))
                m.compute_feature_matrix([right, col], [right, right], ['exact', 'exact'], e, e, [], 3)
            elif expr.startswith('NUM '):
                m.numeric_distance_batch(eval(expr[4:]), [1.0, 2.0, 3.0])
            else:
                m.exact_match_batch(eval(expr), right)
            outcome = ['no error', '']
        except BaseException as exc:
            outcome = [type(exc).__name__, str(exc)]
        next_call = m.exact_match_batch(pa.array(['x', 'b']), ['x', 'y']) == [1.0, 0.0]  # the next call works
        print(json.dumps(outcome + [next_call]), flush=True)
""")


def outcomes(exprs):
    """Each case's outcome in a fresh interpreter: (exit status, stderr,
    exception name, message, whether the next call works). The cases run one
    after another in one interpreter while it ends cleanly (importing pandas,
    polars and pyarrow costs a second); the case an interpreter died in (each
    case, if it died at exit) runs again alone, and that run is its outcome."""
    import inspect
    script = CHILD.replace("{views}", textwrap.dedent(inspect.getsource(views)))

    def run(cases):
        return subprocess.run([sys.executable, "-c", script, *cases], capture_output=True, text=True, timeout=120)

    done, rest = {}, list(exprs)
    while rest:
        batch = run(rest)
        lines = batch.stdout.splitlines()
        clean = batch.returncode == 0 and len(lines) == len(rest)
        kept = len(rest) if clean else len(lines) if len(lines) < len(rest) else 0  # died in a case, or at exit
        done.update((expr, (0, "", *json.loads(line))) for expr, line in zip(rest[:kept], lines))
        rest = rest[kept:]
        if rest:
            single = run(rest[:1])
            alone = single.returncode == 0 and single.stdout.strip()
            done[rest[0]] = (0, "", *json.loads(single.stdout)) if alone else (single.returncode or 1, single.stderr,
                                                                                "", "", False)
            rest = rest[1:]
    return done


@pytest.fixture(scope="module")
def bad_column_outcomes():
    return outcomes([c[1] for c in BAD_CASES])


@pytest.mark.xdist_group("bad_columns")  # one worker runs the batch
@pytest.mark.parametrize("expr,exc,pattern", [c[1:] for c in BAD_CASES], ids=[c[0] for c in BAD_CASES])
def test_bad_columns_fail_cleanly(expr, exc, pattern, bad_column_outcomes):
    returncode, stderr, name, message, next_call_works = bad_column_outcomes[expr]
    assert returncode == 0, stderr
    assert name == exc.__name__, message
    assert re.search(pattern, message.strip()), message
    assert next_call_works


# ---- exported Arrow buffers are released, on success and on failure ----------------


@pytest.mark.alone  # pyarrow's allocation count is the process's
def test_exported_arrow_buffers_are_released():
    def columns():
        yield pa.array(LEFT), True
        yield pa.chunked_array([LEFT[:4], LEFT[4:]], pa.large_string()), True
        yield pa.array(LEFT, pa.string_view()).dictionary_encode(), True
        yield pa.array(LEFT[:-1] + [None]), False
        yield pa.array(range(len(LEFT))), False
        yield pa.chunked_array([LEFT[:4], LEFT[4:-1] + [None]]), False

    def run_all():
        for column, ok in columns():
            try:
                m.levenshtein_batch(column, RIGHT)
                m.compute_feature_matrix([column], [RIGHT], ["exact"], np.zeros((0, 9)), np.zeros((0, 9)), [], 9)
                m.numeric_distance_batch(pa.array(np.arange(9.0)), pa.chunked_array([np.arange(9)]))
                assert ok
            except (TypeError, ValueError):
                assert not ok

    run_all()  # first use sets up whatever pyarrow caches
    start = pa.total_allocated_bytes()
    for _ in range(200):
        run_all()
    assert pa.total_allocated_bytes() == start


class Exporter:
    """Exports what `export` returns, under the method's name."""

    def __init__(self, method, export):
        setattr(self, method, lambda requested_schema=None: export())


# Bad columns that fail before anything is read: checked in this interpreter.
EXPORT_CASES = [
    ("numeric_dictionary", m.numeric_distance_batch, pa.array([1.0, 2.0, 1.0]).dictionary_encode(), TypeError,
     "^argument 'left': dictionary-encoded Arrow column \\(indices 'i', values 'g'\\): number columns are not read "
     "through a dictionary; decode it first"),
    ("swapped_capsules", m.exact_match_batch,
     Exporter("__arrow_c_array__", lambda: pa.array(["a", "b", "c"]).__arrow_c_array__()[::-1]), ValueError,
     "^argument 'left': __arrow_c_array__ returned a capsule named 'arrow_array' where an 'arrow_schema' capsule "
     "belongs$"),
    ("not_a_capsule", m.exact_match_batch,
     Exporter("__arrow_c_array__", lambda: (pa.array(["a", "b", "c"]).__arrow_c_array__()[0], "array")), ValueError,
     "^argument 'left': __arrow_c_array__ returned a 'str' object where an 'arrow_array' capsule belongs$"),
    ("stream_capsule_name", m.numeric_distance_batch,
     Exporter("__arrow_c_stream__", lambda: pa.array([1.0, 2.0, 3.0]).__arrow_c_array__()[0]), ValueError,
     "^argument 'left': __arrow_c_stream__ returned a capsule named 'arrow_schema' where an 'arrow_array_stream' "
     "capsule belongs$"),
]


@pytest.mark.parametrize("call,column,exc,pattern", [c[1:] for c in EXPORT_CASES], ids=[c[0] for c in EXPORT_CASES])
def test_bad_exports_name_the_argument(call, column, exc, pattern):
    other = ["a", "b", "c"] if call is m.exact_match_batch else [1.0, 2.0, 3.0]
    with pytest.raises(exc, match=pattern):
        call(column, other)


def test_null_values_bytes_are_not_read():
    # A null dictionary value's bytes mean nothing (pyarrow's full validation
    # accepts any): only the values the column can reach are text.
    values = pa.Array.from_buffers(pa.string(), 3, [pa.py_buffer(b"\x05"), pa.py_buffer(np.array([0, 1, 3, 4], np.int32)),
                                                    pa.py_buffer(b"a\xff\xfeb")], null_count=1)
    column = pa.DictionaryArray.from_arrays(pa.array([0, 2, 0], pa.int32()), values)
    column.validate(full=True)
    assert m.exact_match_batch(column, ["a", "b", "x"]) == [1.0, 1.0, 0.0]
    with pytest.raises(TypeError, match=f"element 1 {NULL}"):
        m.exact_match_batch(pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int32()), values), ["a"] * 3)


# ---- exports that raise ------------------------------------------------------------


def raising_export(method, error):
    def export(self, requested_schema=None):
        raise error
    return type("Raising", (list,), {method: property(export) if method == "dtype" else export})


@pytest.mark.parametrize("method", ["__arrow_c_array__", "__arrow_c_stream__", "dtype"])
@pytest.mark.parametrize("error", [NotImplementedError, TypeError, ValueError, KeyboardInterrupt, SystemExit,
                                   MemoryError, RecursionError, GeneratorExit])
def test_export_errors(method, error):
    # An ordinary Exception declines the export: the sequence is iterated.
    # Anything else (Ctrl-C, exit, memory, recursion) is the caller's.
    strings, numbers = raising_export(method, error)(["a", "b"]), raising_export(method, error)([1.0, 2.0])
    if issubclass(error, Exception) and error not in (MemoryError, RecursionError):
        assert m.exact_match_batch(strings, ["a", "c"]) == [1.0, 0.0]
        assert m.numeric_distance_batch(numbers, [1.0, 4.0]) == [0.0, 2.0]
    else:
        with pytest.raises(error):
            m.exact_match_batch(strings, ["a", "c"])
        with pytest.raises(error):
            m.numeric_distance_batch(numbers, [1.0, 4.0])


class ArrowSchemaC(ctypes.Structure):
    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class ArrowArrayC(ctypes.Structure):
    _fields_ = ([(n, ctypes.c_int64) for n in ("length", "null_count", "offset", "n_buffers", "n_children")] +
                [(n, ctypes.c_void_p) for n in ("buffers", "children", "dictionary", "release", "private_data")])


class PythonReleaseProducer:
    """An Arrow producer whose release callbacks are Python functions (ctypes),
    counting their calls."""

    def __init__(self, fmt, length, null_count, buffers):
        self.fmt, self.length, self.null_count, self.buffers = fmt, length, null_count, buffers
        self.released = []
        self._release_schema = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(self._on_schema)
        self._release_array = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(self._on_array)

    def _on_schema(self, address):
        ArrowSchemaC.from_address(address).release = None
        self.released.append("schema")

    def _on_array(self, address):
        ArrowArrayC.from_address(address).release = None
        self.released.append("array")

    def __arrow_c_array__(self, requested_schema=None):
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        self._data = [ctypes.create_string_buffer(b, len(b)) for b in self.buffers]
        self._pointers = (ctypes.c_void_p * max(1, len(self._data)))(*map(ctypes.addressof, self._data))
        self._schema = ArrowSchemaC(format=self.fmt, release=ctypes.cast(self._release_schema, ctypes.c_void_p))
        self._array = ArrowArrayC(length=self.length, null_count=self.null_count, n_buffers=len(self._data),
                                  buffers=ctypes.addressof(self._pointers),
                                  release=ctypes.cast(self._release_array, ctypes.c_void_p))
        return (new(ctypes.addressof(self._schema), b"arrow_schema", None),
                new(ctypes.addressof(self._array), b"arrow_array", None))


@pytest.mark.parametrize("fmt,buffers,call", [
    (b"n", [], m.exact_match_batch),
    (b"u", [b"\x01", np.array([0, 1, 1], np.int32).tobytes(), b"a"], m.exact_match_batch),
    (b"g", [b"\x01", np.array([1.0, 2.0]).tobytes()], m.numeric_distance_batch),
])
def test_python_release_callbacks_run_before_the_error_is_raised(fmt, buffers, call, capfd):
    producer = PythonReleaseProducer(fmt, 2, 1, buffers)
    other = [1.0, 2.0] if call is m.numeric_distance_batch else ["a", "b"]
    with pytest.raises(TypeError, match=f"^argument 'left': element {0 if fmt == b'n' else 1} {NULL}"):
        call(producer, other)
    assert sorted(producer.released) == ["array", "schema"]
    assert capfd.readouterr().err == ""
