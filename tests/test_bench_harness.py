"""The benchmark's data generator and the harness's bookkeeping (nothing
here measures time)."""

import json
import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import data  # noqa: E402
import run_all  # noqa: E402


@pytest.fixture(scope="module")
def pairs():
    return data.make_pairs(3000, seed=5)


def test_generator_is_seeded_and_aligned(pairs):
    again = data.make_pairs(3000, seed=5)
    other = data.make_pairs(3000, seed=6)
    assert again.strings == pairs.strings
    for k, (l, r) in pairs.numbers.items():
        np.testing.assert_array_equal(l, again.numbers[k][0])
        np.testing.assert_array_equal(r, again.numbers[k][1])
    assert other.strings["name"] != pairs.strings["name"]
    assert set(pairs.strings) == {"given", "surname", "name", "street", "suburb", "postcode", "address"}
    for left, right in pairs.strings.values():
        assert len(left) == len(right) == 3000
        assert all(type(s) is str for s in left + right)
    for left, right in pairs.numbers.values():
        assert left.dtype == right.dtype == np.float64 and left.shape == right.shape == (3000,)
    assert pairs.is_match.dtype == bool and pairs.is_match.shape == (3000,)


def test_generator_has_the_faults_of_real_data(pairs):
    left, right = pairs.strings["name"]
    everything = [s for col in pairs.strings.values() for side in col for s in side]
    assert any(not s.isascii() for s in everything)  # accents, Cyrillic, CJK
    assert any(any(ord(c) > 0x3000 for c in s) for s in everything)
    assert "" in pairs.strings["given"][1] and "" in pairs.strings["postcode"][0]
    assert np.isnan(pairs.numbers["dob_days"][1]).any()
    assert 0.25 < pairs.is_match.mean() < 0.45
    m = pairs.is_match
    same = np.array([a == b for a, b in zip(left, right)])
    # Most matches were re-keyed with some fault, most non-matches differ.
    assert 0.2 < same[m].mean() < 0.9
    assert same[~m].mean() < 0.05
    # Transpositions of adjacent characters occur among the faults.
    given_l, given_r = pairs.strings["given"]
    assert any(len(a) == len(b) > 2 and a != b and sorted(a) == sorted(b) for a, b in zip(given_l, given_r))
    # Token-level faults: reordered names keep their tokens.
    assert any(a != b and sorted(a.split()) == sorted(b.split()) for a, b in zip(left, right))


def test_short_strings_are_equal_but_distinct_objects():
    a, b = data.short_strings(100)
    assert a == b and all(x is not y for x, y in zip(a, b))
    assert all(len(x) == 8 and x.isascii() for x in a)


def test_agreement_reports_exact_differences():
    assert run_all.agreement([1.0, math.nan, 0.5], np.array([1.0, math.nan, 0.5])) == "identical"
    text = run_all.agreement([1.0, 0.25, 0.5, 0.0], [1.0, 0.5, 0.5, math.nan])
    assert text.startswith("differs in 2 of 4 (50.00%)") and "max |diff| 0.25" in text
    assert run_all.agreement([0.0, 1.0], [0.0]) == "output sizes differ (2 vs 1)"
    # One ulp counts as a difference.
    assert run_all.agreement([0.1], [np.nextafter(0.1, 1.0)]).startswith("differs in 1 of 1")


def test_interleaving_alternates_and_respects_the_limits():
    calls = []
    ours = lambda: calls.append("o") or [1.0]  # noqa: E731
    peer = lambda: calls.append("p") or [2.0]  # noqa: E731
    t_o, t_p, out_o, out_p = run_all.interleaved(ours, peer, reps=4, budget=1e9, min_spent=0.0)
    assert calls == ["o", "p", "p", "o", "o", "p", "p", "o"]
    assert len(t_o) == len(t_p) == 4 and out_o == [1.0] and out_p == [2.0]
    calls.clear()
    run_all.interleaved(ours, peer, reps=10, budget=0.0, min_spent=0.0)
    assert len(calls) == 4  # an exhausted budget still leaves two runs each
    calls.clear()
    run_all.interleaved(ours, peer, reps=2, budget=1e9, min_spent=1e9, max_reps=6)
    assert len(calls) == 12  # fast calls are repeated up to max_reps


def test_rows_report_missing_functions_and_goals(monkeypatch):
    class Fake:
        def fast(self, a, b):
            return [0.0] * len(a)

        def broken(self, a, b):
            raise NotImplementedError("later")

    monkeypatch.setattr(run_all, "M", Fake())
    a = ["x"] * 10
    absent = run_all.Row("absent_batch", "d", "peer 1.0", 10, 1.0, lambda: None, lambda: None).run(2, 1.0)
    assert absent["status"] == "not available" and "absent_batch" in absent["note"]
    broken = run_all.Row("broken", "d", "peer", 10, 1.0, lambda: run_all.M.broken(a, a), lambda: [0.0] * 10)
    assert broken.run(2, 1.0)["status"] == "not available"
    fast = run_all.Row("fast", "d", "peer", 10, None, lambda: run_all.M.fast(a, a), lambda: np.zeros(10))
    res = fast.run(2, 1.0)
    assert res["status"] == "info" and res["agreement"] == "identical"
    assert res["ratio"] == res["ours_best"] / res["peer_best"]
    assert res["key"] == "fast | d | peer"


def test_model_features_are_finite_unit_float32_values():
    fm = np.array([[0.123456789, 1.0, 0.5, 0.3, 1.0, 0.7, math.nan, 0.9],
                   [0.0, 0.2, 0.1, 0.3, 0.0, 0.7, 7300.0, 0.1],
                   [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 365.0, 1.0]])
    X = run_all.model_features(fm)
    assert X.flags.c_contiguous and X.dtype == np.float64
    assert np.isfinite(X).all() and (X >= 0).all() and (X <= 1).all()
    np.testing.assert_array_equal(X, X.astype(np.float32).astype(np.float64))
    assert X[0, 6] == 1.0 and X[1, 6] == 1.0 and X[2, 6] == np.float32(0.1)
    assert fm[0, 6] != fm[0, 6]  # the input is left alone


def test_peer_feature_matrix_columns(pairs):
    fm = run_all.peer_feature_matrix(pairs)
    assert fm.shape == (pairs.n, 8)
    gl, gr = pairs.strings["given"]
    exact = fm[:, 4]
    pl, pr = pairs.strings["postcode"]
    np.testing.assert_array_equal(exact, [float(a == b) for a, b in zip(pl, pr)])
    same_given = np.array([a == b for a, b in zip(gl, gr)])
    assert (fm[same_given, 0] == 1.0).all()
    dl, dr = pairs.numbers["dob_days"]
    np.testing.assert_array_equal(fm[:, 6], np.abs(dl - dr))
    assert ((fm[:, 7] >= 0.0) & (fm[:, 7] <= 1.0)).all()


def test_compare_prints_old_and_new_ratios(tmp_path, capsys):
    old = {"meta": {"timestamp": "t0", "mode": "quick", "pairs": 10},
           "rows": [{"key": "a | x | p", "ratio": 2.0}, {"key": "gone | x | p", "ratio": 1.0}]}
    new = {"meta": {"timestamp": "t1", "mode": "quick", "pairs": 10},
           "rows": [{"key": "a | x | p", "ratio": 1.0}, {"key": "b | x | p", "status": "not available"}]}
    path = tmp_path / "old.json"
    path.write_text(json.dumps(old))
    run_all.compare(str(path), new)
    out = capsys.readouterr().out
    line_a = next(line for line in out.splitlines() if line.startswith("a | x | p"))
    assert line_a.split()[-3:] == ["2.00", "1.00", "0.50"]
    line_b = next(line for line in out.splitlines() if line.startswith("b | x | p"))
    assert line_b.split()[-2:] == ["-", "-"]


def test_plain_python_peers_follow_the_module_definitions():
    # The token peers must compute the same numbers, or the table's
    # "identical" would compare different things.
    left = ["", "   ", "a a b", "new york", "john smith", "a b", "a b c", "apple pie", "john  smith", "x y z",
            "a\u00a0b", "a\u200bb"]
    right = ["", "\t", "a b", "New York", "smith john", "a b", "a b c", "apple tart", "john smith jr", "z y x w",
             "a b", "a b"]
    assert run_all.py_jaccard(left, right) == [1.0, 1.0, 1.0, 0.0, 1.0, 1.0, 1.0, 0.3333333333333333,
                                               0.6666666666666666, 0.75, 1.0, 0.0]
    cos = run_all.py_cosine(left, right)
    assert cos[:3] == [1.0, 1.0, 0.9486832980505138]
    assert cos[4:8] == [0.9999999999999998, 0.9999999999999998, 1.0000000000000002, 0.4999999999999999]
    assert cos[8:10] == [0.8164965809277259, 0.8660254037844387] and cos[11] == 0.0
    assert run_all.py_cosine(["a"], [""]) == [0.0]
    assert [run_all.sorted_join(s) for s in ("john  smith", "alpha Zeta", "  ", "b \u00e9 a")] == \
        ["john smith", "Zeta alpha", "", "a b \u00e9"]
    a = np.array([0.0, -0.0, 10.0, -4.0, 100.0, 3.0, 5.0, np.nan, np.nan, np.nan, np.inf, 1e308])
    b = np.array([0.0, 0.0, 5.0, -2.0, 99.0, 0.0, -5.0, 5.0, 0.0, np.nan, np.inf, -1e308])
    np.testing.assert_array_equal(run_all.np_numeric_similarity(a, b),
                                  [1.0, 1.0, 0.5, 0.5, 1.0 - 0.01, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])


def test_duckdb_query_normalises_edit_distances_like_the_module():
    pytest.importorskip("duckdb")
    duck = run_all.DuckTables()
    left = ["", "abc", "", "saturday", "naïve", "ab", "abcdef"]
    right = ["", "", "abc", "sunday", "naive", "ba", "badcfe"]
    t = duck.table("pairs_test", left, right)
    assert t in duck.load_seconds
    lev = duck.query(run_all.edit_sql("levenshtein", t))()
    np.testing.assert_array_equal(lev, [1.0, 0.0, 0.0, 0.625, 0.8, 0.0, 1.0 - 4 / 6])
    dl = duck.query(run_all.edit_sql("damerau_levenshtein", t))()
    np.testing.assert_array_equal(dl, [1.0, 0.0, 0.0, 0.625, 0.8, 0.5, 0.5])


needs_module = pytest.mark.skipif(run_all.M is None or not hasattr(run_all.M, "compute_feature_matrix"),
                                  reason="module not importable")


@needs_module
def test_feature_matrix_peer_builds_the_same_matrix(pairs):
    np.testing.assert_array_equal(run_all.ours_feature_matrix(pairs)(), run_all.peer_feature_matrix(pairs))


@needs_module
def test_memory_children_report_their_sizes():
    res = run_all.feature_matrix_memory({"pairs": 300})
    assert res["pairs"] == 300
    for which in ("ours", "peer"):
        v = res[which]
        assert v["out_bytes"] == 300 * 8 * 8 and v["string_count"] == 300 * 12
        assert v["peak_bytes"] >= 0 and v["string_bytes"] > v["string_count"]
