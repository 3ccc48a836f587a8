"""Module identity, argument binding and conversion, result forms, and every
failing call of the shared table."""

import decimal
import fractions
import gc
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _corvane_rs as m
from cases import CASES, Callback, Seq
from support import FUNCTIONS, PARAMS, PanicException


def test_module_identity_signatures_and_docstrings():
    assert m.__doc__ == "" and m.__all__ == FUNCTIONS and not hasattr(m, "PanicException")
    for name, params in PARAMS.items():
        fn = getattr(m, name)
        assert (fn.__module__, fn.__name__, fn.__text_signature__) == ("_corvane_rs", name, f"({', '.join(params)})")
        assert bool(fn.__doc__) == (name not in FUNCTIONS[:10])
    doc = m.compute_feature_matrix.__doc__
    assert doc.startswith("Compute a feature matrix for multiple comparisons in a single native call.\n")
    assert "(shape: n_numeric_cols \u00d7 n_pairs)" in doc and doc.endswith("\u2014 reshape in Python.")
    assert m.predict_svm_batch.__doc__.splitlines()[0] == "SVM batch prediction using RBF kernel with Platt scaling."
    assert m.predict_forest_batch.__doc__.startswith("Random Forest batch prediction.\n\n")
    assert m.predict_gbdt_batch.__doc__.endswith("adds init_value, and applies sigmoid.")
    del sys.modules["_corvane_rs"]
    import _corvane_rs as again
    assert again is m


def run(code, *args):
    out = subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=120, env=os.environ)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_subinterpreter_import_is_refused_by_the_module():
    # A legacy-config interpreter: an isolated one would be refused by
    # CPython itself before the module's init function runs.
    out = run("""
        import _corvane_rs
        try:
            import _interpreters as subs  # 3.13
            interp = subs.create("legacy")
        except ImportError:
            import _xxsubinterpreters as subs  # 3.12
            interp = subs.create(isolated=False)
        try:  # 3.13 returns the failure, 3.12 raises it
            print(getattr(subs.run_string(interp, "import _corvane_rs"), "formatted", "imported"))
        except Exception as e:
            print(e)
    """)
    assert "ImportError" in out and "_corvane_rs does not yet support subinterpreters" in out


def test_first_result_array_under_warnings_as_errors():
    # The result owner type is made on first use, without a warning.
    assert run("import numpy as np, _corvane_rs as m; print(m.predict_batch(np.ones((2, 0)), np.ones(0), 0.0))",
               "-W", "error") == "[0.5 0.5]"


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_failing_call(case):
    _, fn, args, kwargs, exc, message = case
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message
    assert m.levenshtein_batch(["kitten"] * 50, ["sitting"] * 50) == [1.0 - 3 / 7] * 50  # the module carries on


def test_panic_exception_and_wrapped_type_errors():
    assert PanicException.__module__ == "pyo3_runtime" and PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__.startswith("\nThe exception raised when native code")
    wrapped = pytest.raises(TypeError, m.exact_match_batch, Seq("ab", fail_at=1, error=TypeError), ["a", "b"]).value
    assert str(wrapped) == "argument 'left': item"
    cause = ValueError("root")

    class Caused(Seq):
        def __len__(self):
            raise RuntimeError("no length")  # only a hint: ignored

        def __getitem__(self, i):
            raise TypeError("inner") from cause
    assert pytest.raises(TypeError, m.exact_match_batch, Caused("a"), ["a"]).value.__cause__ is cause


def test_accepted_argument_forms():
    class S(str):
        pass

    e = m.exact_match_batch
    assert e(("a", S("b"), np.str_("c")), ["a", "b", "c"]) == [1.0, 1.0, 1.0] and e([], ()) == []
    assert e(["abc", "", "a ", "\u00e9"], ["ABC", "", "a", "e\u0301"]) == [0.0, 1.0, 0.0, 0.0]
    assert e(right=["x", "y"], left=Seq("xz")) == [1.0, 0.0]
    class Index:
        __index__ = lambda self: 7  # noqa: E731

    d, half = m.numeric_distance_batch, Callback(lambda: None, 0.5)  # converts through __float__
    items = [1, 2.5, np.float64(3.0), np.float32(0.25), decimal.Decimal("1.5"), fractions.Fraction(1, 4), half, Index()]
    assert d(items + [np.float64(-1.0)], [1.0, True] + [0] * 7) == [0.0, 1.5, 3.0, 0.25, 1.5, 0.25, 0.5, 7.0, 1.0]
    assert d(b"\x01\x05", np.array([0.0, 1.0])) == [1.0, 4.0]
    # A reported length is only a capacity hint: iteration decides.
    for length in (2**40, 2**62, sys.maxsize):
        assert d(Seq([1.0, 4.0], length=length), [2.0, 1.0]) == [1.0, 3.0]
        assert e(Seq(["a"], length=length), ["a"]) == [1.0]
    for count in (1, np.int64(1), True):
        assert m.compute_feature_matrix([], [], [], np.zeros((1, 1)), np.ones((1, 1)), ["numeric"], count) == [1.0]
    # Array subclasses and equivalent descriptors; results own their buffer.
    assert m.predict_batch(np.zeros((2, 2)).view(np.matrix), np.zeros(2), 0.0).tolist() == [0.5, 0.5]
    out = m.predict_batch(np.zeros((3, 2), dtype="=f8"), np.zeros(2), 0.0)
    assert (out.dtype, out.shape, out.strides, type(out.base).__name__) == (np.float64, (3,), (8,), "PySliceContainer")
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    out[0] = 7.0
    assert out.tolist() == [7.0, 0.5, 0.5] and m.predict_batch(np.zeros((0, 2)), np.zeros(2), 0.0).shape == (0,)


def test_python_code_run_by_conversions():
    # Code run while arguments convert may call the module again, collect
    # garbage, resize an array already taken or change the list being read;
    # the call reads consistent inputs or fails cleanly.
    X = np.ones((4, 2))
    leaf = (np.array([0, 1]), np.array([-1]), np.array([-1]), np.array([-1]), np.array([1.0]), np.array([3.0]))
    with pytest.raises(ValueError, match="cannot resize"):
        m.predict_gbdt_batch(X, *leaf, Callback(lambda: X.resize((10**6,)), 0.5), 0.0)
    nested = []
    again = lambda: nested.append(m.levenshtein_batch(["kitten"] * 3, ["sitting"] * 3))  # noqa: E731
    assert m.jaro_winkler_batch(Seq(["abc", "abd"], action=again), Seq(["abc", "xyz"], action=gc.collect)) == [1.0, 0.0]
    assert nested and all(n == [1.0 - 3 / 7] * 3 for n in nested)
    left = ["alpha", "beta"]
    assert m.exact_match_batch(left, Seq(["alpha", "beta"], action=left.clear)) == [1.0, 1.0]
    inner = lambda: nested.append(m.compute_feature_matrix([["a"]], [["a"]], ["exact"], X[:0], X[:0], [], 1))  # noqa
    out = m.compute_feature_matrix([["x", "y"]], [["x", "z"]], ["exact"], X[:0], X[:0], [], Callback(inner, 2))
    assert out.tolist() == [1.0, 0.0] and nested[-1].tolist() == [1.0]
    assert m.numeric_distance_batch([Callback(again, 1.0), Callback(gc.collect, 2.0)], [0.5, 4.0]) == [0.5, 2.0]
    cleared, grown, swapped = [], [], []
    cleared.extend([Callback(cleared.clear, 1.0), 2.0, 3.0])
    grown.extend([Callback(lambda: grown.append(7.0), 1.0), 2.0])
    swapped.extend([Callback(lambda: swapped.__setitem__(1, Callback(lambda: None, 9.0)), 1.0), Callback(int, 2.0)])
    assert [m.numeric_distance_batch(a, [0.0] * n) for a, n in ((cleared, 1), (grown, 3), (swapped, 2))] == [
        [1.0], [1.0, 2.0, 7.0], [1.0, 9.0]]
    outer = [None, ["c"], ["d"]]
    outer[0] = Seq(["a"], action=lambda: outer.__setitem__(slice(1, None), [["z"]]))
    assert m.compute_feature_matrix(outer, [["a"], ["z"]], ["exact"] * 2, X[:0], X[:0], [], 1).tolist() == [1.0, 1.0]


def float_bits(values):
    return [struct.unpack("<Q", struct.pack("<d", v))[0] for v in values]


NAN_A, NAN_B = struct.unpack("<2d", struct.pack("<2Q", 0x7FF8000000000001, 0x7FF8000000000002))
# (left, right) of numeric_distance_batch: result lists of repeated scores
# share float objects by their bits; lists of distinct ones fall back to one
# object each after a trial. Every item keeps its value, bit for bit.
RESULT_LISTS = {
    "repeats, more distinct values than the table holds": ([k / 7 for k in range(12000) for _ in (0, 1)],
                                                           [0.0] * 24000),
    "distinct values, past the trial": ([k / 7 for k in range(10000)], [1.0] * 10000),
    "NaNs of two payloads, among repeats": ([NAN_A, 1.0, NAN_B, 1.0] * 3000, [0.5] * 12000),
    "short": ([2.0], [0.5]),
    "empty": ([], []),
}


@pytest.mark.parametrize("case", RESULT_LISTS, ids=list(RESULT_LISTS))
def test_result_lists_keep_every_value(case):
    left, right = RESULT_LISTS[case]
    got = m.numeric_distance_batch(left, right)
    assert type(got) is list and float_bits(got) == float_bits(abs(a - b) for a, b in zip(left, right))


def test_repeated_scores_share_objects():
    out = m.levenshtein_batch(["abc", "abc", "abc"] * 3000, ["abc", "abd", "xyz"] * 3000)
    assert out == [1.0, 1 - 1 / 3, 0.0] * 3000 and len({id(x) for x in out}) == 3
