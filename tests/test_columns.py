"""Columns read in place: Arrow (pyarrow, polars, pandas), NumPy strings and
numbers. Every form must give what the same values give as a list, bad
columns must fail cleanly, and every exported Arrow buffer must be released."""

import json
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
