"""Module identity, argument binding, argument kinds and result forms."""

import decimal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _corvane_rs as m

FUNCTIONS = [
    "jaro_winkler_batch",
    "levenshtein_batch",
    "damerau_levenshtein_batch",
    "exact_match_batch",
    "numeric_distance_batch",
    "numeric_similarity_batch",
    "soundex_batch",
    "jaccard_batch",
    "cosine_batch",
    "token_sort_ratio_batch",
    "compute_feature_matrix",
    "predict_batch",
    "predict_forest_batch",
    "predict_gbdt_batch",
    "predict_svm_batch",
]


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    return info.value


# ---- module ------------------------------------------------------------------


def test_module_identity_and_table():
    assert m.__doc__ == ""
    assert m.__all__ == FUNCTIONS
    for name in FUNCTIONS:
        fn = getattr(m, name)
        assert fn.__module__ == "_corvane_rs"
        assert fn.__name__ == name
    del sys.modules["_corvane_rs"]
    import _corvane_rs as again

    assert again is m
    assert again.__all__ == FUNCTIONS


def test_text_signatures_and_docstrings():
    pairwise = FUNCTIONS[:10]
    for name in pairwise:
        fn = getattr(m, name)
        assert fn.__text_signature__ == "(left, right)"
        assert fn.__doc__ is None or fn.__doc__ == ""
    assert m.compute_feature_matrix.__text_signature__ == (
        "(string_columns_left, string_columns_right, string_metric_types, "
        "numeric_left, numeric_right, numeric_metric_types, n_pairs)"
    )
    assert m.predict_batch.__text_signature__ == "(features, weights, bias)"
    assert m.predict_gbdt_batch.__text_signature__ == (
        "(features, offsets, children_left, children_right, tree_features, "
        "thresholds, values, learning_rate, init_value)"
    )
    doc = m.compute_feature_matrix.__doc__
    assert doc.startswith("Compute a feature matrix for multiple comparisons in a single native call.\n")
    assert "(shape: n_numeric_cols \u00d7 n_pairs)" in doc and doc.endswith("(n_pairs * n_features,) \u2014 reshape in Python.")
    assert m.predict_svm_batch.__doc__.splitlines()[0] == "SVM batch prediction using RBF kernel with Platt scaling."
    assert m.predict_forest_batch.__doc__.startswith("Random Forest batch prediction.\n\n")


def test_subinterpreter_import_is_refused():
    # A legacy (shared-lock) subinterpreter: an isolated one is refused by
    # the interpreter itself before the module's init runs.
    code = textwrap.dedent(
        """
        import sys, _corvane_rs
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            failure = interpreters.run_string(interpreters.create("legacy"), "import _corvane_rs")
            print(failure.formatted if failure else "imported")
        else:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(isolated=False), "import _corvane_rs")
                print("imported")
            except interpreters.RunFailedError as e:
                print(e)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout, out.stdout
    assert "_corvane_rs does not yet support subinterpreters" in out.stdout, out.stdout


# ---- binding -----------------------------------------------------------------


def test_binding_messages():
    f = m.exact_match_batch
    raises(TypeError, "exact_match_batch() missing 1 required positional argument: 'right'", f, ["a"])
    raises(TypeError, "exact_match_batch() missing 2 required positional arguments: 'left' and 'right'", f)
    raises(TypeError, "exact_match_batch() takes 2 positional arguments but 3 were given", f, [], [], [])
    raises(TypeError, "exact_match_batch() got multiple values for argument 'left'", f, [], [], left=[])
    raises(TypeError, "exact_match_batch() got an unexpected keyword argument 'x'", f, [], x=1, right=[])
    # unknown keyword is reported before the missing ones
    raises(TypeError, "exact_match_batch() got an unexpected keyword argument 'lft'", f, lft=[])
    raises(TypeError, "predict_batch() takes 3 positional arguments but 4 were given", m.predict_batch, 1, 2, 3, 4)
    raises(
        TypeError,
        "predict_svm_batch() missing 3 required positional arguments: 'intercept', 'gamma', and 'prob_b'",
        m.predict_svm_batch, np.zeros((1, 1)), np.zeros((1, 1)), np.zeros(1), prob_a=1.0,
    )
    assert f(right=["x"], left=["x"]) == [1.0]


# ---- string and float columns -------------------------------------------------


def test_string_column_refusals():
    f = m.exact_match_batch
    raises(TypeError, "argument 'left': Can't extract `str` to `Vec`", f, "ab", ["x"])
    raises(TypeError, "argument 'right': Can't extract `str` to `Vec`", f, ["x"], "ab")
    raises(TypeError, "argument 'left': 'set' object cannot be converted to 'Sequence'", f, {"a"}, ["a"])
    raises(TypeError, "argument 'left': 'dict' object cannot be converted to 'Sequence'", f, {"a": 1}, ["a"])
    raises(TypeError, "argument 'left': 'int' object cannot be converted to 'Sequence'", f, 5, ["a"])
    raises(TypeError, "argument 'left': 'NoneType' object cannot be converted to 'PyString'", f, ["a", None], ["a", "b"])
    raises(TypeError, "argument 'left': 'int' object cannot be converted to 'PyString'", f, b"ab", ["a", "b"])
    # left is converted and reported before right, and before the length check
    raises(TypeError, "argument 'left': 'int' object cannot be converted to 'PyString'", f, [1], [2, 3])
    raises(TypeError, "argument 'right': 'int' object cannot be converted to 'PyString'", f, ["a"], [2, 3])
    raises(ValueError, "left and right must have the same length", f, ["a"], [])


def test_string_column_acceptance():
    class S(str):
        pass

    f = m.exact_match_batch
    assert f(("a", S("b"), np.str_("c")), ["a", "b", "c"]) == [1.0, 1.0, 1.0]
    assert f([], ()) == []
    assert f(["abc", "abc", "", "a "], ["abc", "ABC", "", "a"]) == [1.0, 0.0, 1.0, 0.0]
    assert f(["\u00e9"], ["e\u0301"]) == [0.0]
    e = raises(UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed",
               f, ["a\ud800"], ["a"])
    assert not str(e).startswith("argument")


def test_errors_from_iteration_pass_through():
    class Cause(Exception):
        pass

    class Broken:
        def __init__(self, error):
            self.error = error

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i == 0:
                return "a"
            err = self.error()
            err.__cause__ = Cause("root")
            raise err

    with pytest.raises(KeyError):
        m.exact_match_batch(Broken(KeyError), ["a", "b"])
    e = raises(TypeError, "argument 'left': inner", m.exact_match_batch, Broken(lambda: TypeError("inner")), ["a"] * 2)
    assert isinstance(e.__cause__, Cause)


def test_float_column_items():
    f = m.numeric_distance_batch
    assert f([1, 2.5], [1.0, True]) == [0.0, 1.5]
    assert f([np.float64(3.0), decimal.Decimal("1.5")], [0, 0]) == [3.0, 1.5]
    assert f(b"\x01\x05", [0, 0]) == [1.0, 5.0]
    assert f([-1.0], [0.0]) == [1.0]
    raises(TypeError, "argument 'left': must be real number, not NoneType", f, [None], [1.0])
    raises(TypeError, "argument 'right': must be real number, not str", f, [1.0], ["x"])
    raises(TypeError, "argument 'left': Can't extract `str` to `Vec`", f, "12", [1.0, 2.0])
    with pytest.raises(OverflowError) as info:
        f([10**400], [1.0])
    assert not str(info.value).startswith("argument")


# ---- counts and array views ----------------------------------------------------


def feature_matrix(n_pairs, numeric_left=None, numeric_right=None):
    left = np.zeros((1, 1)) if numeric_left is None else numeric_left
    right = np.zeros((1, 1)) if numeric_right is None else numeric_right
    return m.compute_feature_matrix([], [], [], left, right, ["numeric"], n_pairs)


def test_count_kind():
    assert feature_matrix(1).tolist() == [0.0]
    assert feature_matrix(np.int64(1)).tolist() == [0.0]
    assert feature_matrix(True).tolist() == [0.0]
    with pytest.raises(OverflowError) as info:
        feature_matrix(-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        feature_matrix(2**64)
    raises(TypeError, "argument 'n_pairs': 'float' object cannot be interpreted as an integer", feature_matrix, 2.0)
    raises(ValueError, "Numeric array has wrong number of columns (expected 18446744073709551615)",
           feature_matrix, 2**64 - 1)


def test_array_view_refusals():
    def msg(name, t):
        return f"argument '{name}': '{t}' object cannot be converted to 'PyArray<T, D>'"

    w = np.zeros(2)
    raises(TypeError, msg("features", "list"), m.predict_batch, [[1.0, 2.0]], w, 0.0)
    raises(TypeError, msg("features", "ndarray"), m.predict_batch, np.zeros((1, 2), np.float32), w, 0.0)
    raises(TypeError, msg("features", "ndarray"), m.predict_batch, np.zeros((1, 2), np.int64), w, 0.0)
    raises(TypeError, msg("features", "ndarray"), m.predict_batch, np.zeros(2), w, 0.0)
    raises(TypeError, msg("weights", "ndarray"), m.predict_batch, np.zeros((1, 2)), np.zeros((1, 2)), 0.0)
    raises(TypeError, "argument 'bias': must be real number, not NoneType", m.predict_batch, np.zeros((1, 2)), w, None)
    ones = np.ones(3, np.int64)
    raises(TypeError, msg("offsets", "ndarray"), m.predict_forest_batch, np.zeros((1, 1)), ones.astype(np.int32),
           ones, ones, ones, np.zeros(3), np.zeros(3))
    # subclasses and byte-order-equivalent descriptors are accepted
    sub = np.zeros((2, 2)).view(np.matrix)
    assert m.predict_batch(sub, np.zeros(2), 0.0).tolist() == [0.5, 0.5]
    assert m.predict_batch(np.zeros((1, 2), dtype="=f8"), w, 0.0).tolist() == [0.5]


def test_result_array_owns_its_buffer():
    out = m.predict_batch(np.zeros((3, 0)), np.zeros(0), 0.0)
    assert out.dtype == np.float64 and out.shape == (3,) and out.strides == (8,)
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    out[0] = 7.0  # writeable storage
    assert out.tolist() == [7.0, 0.5, 0.5]
    empty = m.predict_batch(np.zeros((0, 2)), np.zeros(2), 0.0)
    assert empty.shape == (0,) and empty.dtype == np.float64


def test_panic_exception_class():
    offsets = np.array([0, 0], np.int64)
    empty = np.zeros(0, np.int64)
    with pytest.raises(BaseException) as info:
        try:
            m.predict_forest_batch(np.zeros((1, 1)), offsets, empty, empty, empty, np.zeros(0), np.zeros(0))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    exc = info.value
    cls = type(exc)
    assert cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert exc.args == ("index out of bounds: the len is 0 but the index is 0",)
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n")
    assert not hasattr(m, "PanicException")
