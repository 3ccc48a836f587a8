"""Linkage without labels: FellegiSunter (EM against known m and u, weights
by hand, every table kind, pickling, bad input, the FEBRL4 floor) and the
evaluation functions against counts made by hand."""

import datetime
import math
import pickle
import re
import warnings
from decimal import Decimal

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
import corvane  # noqa: E402
import _corvane_rs  # noqa: E402
from support import (block_pairs, level_arguments, levels_reference, match_weight_by_hand,  # noqa: E402
                     match_weight_reference, same_floats)

KINDS = {"pandas": lambda f: f, "polars": pl.from_pandas, "arrow": lambda f: pa.Table.from_pandas(f, preserve_index=False)}

# Simulated links: every column holds integers 0..19; a true match copies
# the left record and moves each value by 0 (level 0), by 1 (level 1) or far
# (level 2) with the probabilities M. Random pairs give U analytically.
M = np.array([[0.90, 0.07, 0.03], [0.75, 0.15, 0.10], [0.60, 0.30, 0.10], [0.95, 0.03, 0.02]])
N, VALUES = 1500, 20
SIM_COMPARISONS = [(f"c{k}", "numeric", (0, 1)) for k in range(len(M))]


@pytest.fixture(scope="module")
def simulated():
    rng = np.random.default_rng(7)
    left = rng.integers(0, VALUES, (N, len(M)))
    moves = np.stack([rng.choice(3, N, p=p) for p in M], axis=1)
    sign = rng.choice([-1, 1], (N, len(M)))
    right = left + np.where(moves == 0, 0, np.where(moves == 1, sign, sign * rng.integers(5, 40, (N, len(M)))))
    frames = [pd.DataFrame({f"c{k}": side[:, k].astype(np.float64) for k in range(len(M))}) for side in (left, right)]
    # Candidates: the true pairs and ten times as many random others.
    i, j = rng.integers(0, N, 10 * N), rng.integers(0, N, 10 * N)
    keep = i != j
    pairs = (np.r_[np.arange(N), i[keep]], np.r_[np.arange(N), j[keep]])
    first = np.sort(np.unique(pairs[0] * N + pairs[1], return_index=True)[1])   # each candidate pair once
    pairs = (pairs[0][first], pairs[1][first])
    # u of every comparison over all N x N pairs.
    u = []
    for k in range(len(M)):
        d = np.abs(left[:, k][:, None] - right[:, k][None, :])
        u.append(np.array([(d == 0).mean(), (d == 1).mean(), (d > 1).mean()]))
    return frames, pairs, np.array(u)


def test_em_recovers_known_m_u_and_prior(simulated):
    (left, right), pairs, u = simulated
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=300_000, seed=1)
    assert model.converged_ and model.n_iter_ >= 1 and model.n_candidates_ == len(pairs[0])
    np.testing.assert_allclose(np.array(model.m_), M, atol=0.025)
    np.testing.assert_allclose(np.array(model.u_), u, atol=0.005)
    assert model.prior_ == pytest.approx(N / N**2, rel=0.1)
    # Deterministic for a seed; another seed draws other random pairs.
    again = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=300_000, seed=1)
    assert all(np.array_equal(a, b) for a, b in zip(again.m_ + again.u_, model.m_ + model.u_))
    other = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=300_000, seed=2)
    assert not all(np.array_equal(a, b) for a, b in zip(other.u_, model.u_))


def test_em_on_a_sample_of_the_candidates(simulated):
    (left, right), pairs, u = simulated
    full = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=300_000, seed=1)
    sampled = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=300_000, em_pairs=8000, seed=1)
    # u comes from the same random pairs; m from 8,000 of the 16,000
    # candidates; the prior still counts all of them.
    assert all(np.array_equal(a, b) for a, b in zip(sampled.u_, full.u_))
    assert sampled.n_candidates_ == full.n_candidates_ and sampled.pattern_counts_.sum() == 8000
    np.testing.assert_allclose(np.array(sampled.m_), M, atol=0.035)
    assert sampled.prior_ == pytest.approx(full.prior_, rel=0.1)
    # The sample depends on the pairs and the seed only: not on their order
    # nor on how many random pairs u took.
    order = np.random.default_rng(4).permutation(len(pairs[0]))
    shuffled = (np.asarray(pairs[0])[order], np.asarray(pairs[1])[order])
    for again in (corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, shuffled, u_pairs=300_000, em_pairs=8000,
                                                             seed=1),
                  corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=200_000, em_pairs=8000,
                                                             seed=1)):
        assert np.array_equal(again.pattern_counts_, sampled.pattern_counts_)
    again = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, shuffled, u_pairs=300_000, em_pairs=8000, seed=1)
    assert all(np.array_equal(a, b) for a, b in zip(again.m_, sampled.m_)) and again.prior_ == sampled.prior_
    with pytest.raises(ValueError, match="em_pairs must be at least 1 or None, not 0"):
        corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, em_pairs=0)


@pytest.mark.parametrize("linking", [False, True])
def test_a_rules_pairs_found_by_key_equal_its_own_candidates(linking):
    # fit finds each rule's pairs among the candidates by the rules' key
    # codes; they must be exactly the pairs candidates builds for the rule
    # alone (missing values equal nothing; sorted neighbourhoods by their
    # own candidates).
    from corvane._fellegi import _member, _RuleMembership

    rng = np.random.default_rng(3)
    def frame(n):
        return pd.DataFrame({"a": rng.choice(["ann", "anna", "bob", None], n), "b": rng.choice(["x", "y", None], n),
                             "c": rng.integers(0, 4, n).astype(float)})
    left, right = frame(300), (frame(200) if linking else None)
    rules = ["a", ("a", "b"), corvane.prefix("a", 2), corvane.SortedNeighbourhood("c", 3), "b"]
    every = corvane.candidates(left, right, rules=rules)
    membership = _RuleMembership(left, right, rules, every)
    for k, rule in enumerate(rules):
        want = _member(corvane.candidates(left, right, rules=[rule]), every)
        assert np.array_equal(membership.of(k), want), rule


def test_chained_passes_per_rule_recover_m(simulated):
    (left, right), pairs, _ = simulated
    # The pass over the pairs equal on c0 learns the m of c1..c3 only, and
    # the one over c1 then the m of c0, c2, c3 (starting from the first's).
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, rules=["c0", "c1"], u_pairs=300_000)
    np.testing.assert_allclose(np.array(model.m_), M, atol=0.03)
    assert model.prior_ == pytest.approx(N / N**2, rel=0.1)
    # A column derived from a blocked one (here a copy under another name)
    # has one level on that rule's pairs: that pass leaves its m alone, as
    # it does the blocked column's, instead of putting all of it there.
    blocked_last = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, rules=["c1", "c0"], u_pairs=30_000)
    copied = [("d0", "numeric", (0, 1)), *SIM_COMPARISONS[1:]]
    derived = corvane.FellegiSunter(copied).fit(left.assign(d0=left["c0"]), right.assign(d0=right["c0"]), pairs,
                                                rules=["c1", "c0"], u_pairs=30_000)
    assert all(np.array_equal(a, b) for a, b in zip(derived.m_ + derived.u_, blocked_last.m_ + blocked_last.u_))
    # Rules as any iterable, as candidates takes them: a generator is read once.
    generated = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, rules=(r for r in ["c1", "c0"]),
                                                           u_pairs=30_000)
    assert all(np.array_equal(a, b) for a, b in zip(generated.m_ + generated.u_, blocked_last.m_ + blocked_last.u_))
    with pytest.warns(UserWarning, match=r"^comparison 'd0_numeric' is learned in no rule's pass \(each rule blocks "
                                         r"on its columns, or holds it at one level\): its m cannot be learned there$"):
        corvane.FellegiSunter(copied).fit(left.assign(d0=left["c0"]), right.assign(d0=right["c0"]), pairs,
                                          rules=["c0"], u_pairs=30_000)
    # link takes the model: the pairs at 0.5 or more of compare + predict_proba.
    rules = [("c0", "c1")]
    kept = corvane.link(left, right, rules=rules, comparisons=model.comparisons, model=model)
    candidates = corvane.candidates(left, right, rules=rules)
    p = model.predict_proba(corvane.compare(left, right, candidates, model.comparisons))
    assert np.array_equal(kept["probability"].to_numpy(), p[p >= 0.5])
    with pytest.raises(ValueError, match="needs missing='nan', not 0.0"):
        corvane.link(left, right, rules=rules, comparisons=model.comparisons, model=model, missing=0.0)


def test_scores_equal_weights_by_hand_on_every_path(simulated):
    (left, right), pairs, _ = simulated
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=50_000)
    # Levels by hand of a few distances, NaN (missing) included.
    rows = np.array([[0, 1, 2, 0.5], [np.nan, 0, 7, 1], [3, np.nan, np.nan, np.nan], [0, 0, 0, 0]])
    level = lambda d: None if math.isnan(d) else 0 if d <= 0 else 1 if d <= 1 else 2  # noqa: E731
    want = [match_weight_by_hand(model.prior_, model.m_, model.u_, [level(d) for d in r]) for r in rows]
    assert model.match_weight(rows).tolist() == want
    # Many rows are scored in blocks on threads: the same bits.
    many = np.tile(rows, (20_000, 1))
    assert model.match_weight(many).tolist() == want * 20_000
    w = np.array(want)
    np.testing.assert_allclose(model.predict_proba(rows), 2**w / (1 + 2**w), rtol=1e-15)
    # Extreme weights: 1.0 and 0.0, never NaN.
    model.m_ = [np.array([1.0, 1e-300, 1e-300])] * len(M)
    model.u_ = [np.array([1e-300, 1e-300, 1.0])] * len(M)
    model.prior_ = 0.5
    p = model.predict_proba(np.array([[0, 0, 0, 0], [9, 9, 9, 9]]) * 1.0)
    assert p.tolist() == [1.0, 0.0]


def test_equal_token_counts_take_the_top_cosine_level(simulated):
    # cosine misses 1.0 in its last bits for some equal strings (a square
    # root of a product); they still take the level at 1.0, in fit (the
    # engine's cut of the records) and in match_weight (of compare's scores).
    (left, right), pairs, _ = simulated
    words = np.array(["main street", "a b c", "x y z w", "new york city", "ab cd ef", "p q", "one two"])
    rng = np.random.default_rng(2)
    left, right = left.assign(s=words[rng.integers(0, len(words), N)]), right.copy()
    right["s"] = np.where(rng.random(N) < 0.9, left["s"], "zz top")   # true matches mostly keep the text
    comparisons = [*SIM_COMPARISONS, ("s", "cosine")]
    model = corvane.FellegiSunter(comparisons).fit(left, right, pairs, u_pairs=50_000)
    same = corvane.compare(left, right, (np.arange(N), np.arange(N)), comparisons)["s_cosine"].to_numpy()
    same = same[left["s"].to_numpy() == right["s"].to_numpy()]
    assert (same < 1.0).any() and (same > 1.0).any()        # the rounding this is about
    rows = np.column_stack([np.full((len(same), len(M)), np.nan), same])
    assert (model.match_weight(rows) == model.prior_weight_ + model.weight_tables()[-1][0]).all()
    # EM saw the equal texts of the true matches at the top level.
    assert model.m_[-1][0] > 0.8


NEXT_DOWN, NEXT_UP = np.nextafter(0.9, 0.0), np.nextafter(31.0, np.inf)
# (label, rows of scores, (thresholds, distance) per row, weight tables per row)
KERNEL_CASES = [
    ("similarity exactly at, just under and over its thresholds",
     [[1.0, 0.9, NEXT_DOWN, 0.7, 0.69, 0.0, 1.5, -0.0]], [((1.0, 0.9, 0.7), False)], [[3.5, 1.25, -0.5, -7.0, 0.0]]),
    ("distance exactly at, just over and under its thresholds",
     [[0.0, -0.0, 1e-300, 31.0, NEXT_UP, 366.0, 366.5, 5e-324]], [((0.0, 31.0, 366.0), True)],
     [[6.0, 2.0, -1.0, -9.5, 0.0]]),
    ("missing values on every row, the missing level's weight used as given",
     [[np.nan, 1.0, np.nan, 0.5], [2.0, np.nan, np.nan, 0.0]], [((0.8,), False), ((1.0,), True)],
     [[1.0, -1.0, 0.0], [2.0, -2.0, 0.5]]),
    ("infinities: similarity and distance",
     [[np.inf, 0.0, np.inf], [np.inf, 0.0, 0.0]], [((0.9,), False), ((2.0,), True)],
     [[1.0, -1.0, 0.0], [3.0, -3.0, 0.0]]),
    ("extreme weights: overflow to infinity, opposite infinities, subnormals, signed zeros",
     [[1.0, 1.0, 0.0, 0.0], [1.0, 0.0, 1.0, 0.0], [1.0, 1.0, 0.0, np.nan]],
     [((1.0,), False)] * 3,
     [[1e308, -np.inf, 0.0], [1e308, np.inf, 0.0], [5e-324, -0.0, -0.0]]),
    ("the order of the additions: prior, then the comparisons in order",
     [[1.0, 0.0], [1.0, 1.0], [1.0, 0.0]], [((1.0,), False)] * 3,
     [[1e16, 3.0, 0.0], [-1e16, 0.0, 0.0], [1.0, 0.5, 0.0]]),
    ("five thresholds of each kind (past the unrolled cuts)",
     [[1.0, 0.95, 0.9, 0.5, 0.2, 0.0, np.nan], [0.0, 1.0, 2.5, 3.0, 4.0, 9.0, np.nan]],
     [((1.0, 0.95, 0.9, 0.5, 0.2), False), ((0.0, 1.0, 2.0, 3.0, 4.0), True)],
     [[6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0], [-6.0, -5.0, -4.0, -3.0, -2.0, -1.0, 0.25]]),
    ("a comparison without thresholds: one level and missing",
     [[0.3, np.nan], [0.0, 7.0]], [((), False), ((3.0,), True)], [[0.25, 0.0], [1.0, -1.0, 0.0]]),
    ("no comparisons: the prior's weight alone", np.zeros((0, 3)), [], []),
]


@pytest.mark.parametrize("label, rows, cuts, tables", KERNEL_CASES, ids=[c[0] for c in KERNEL_CASES])
def test_weight_kernel_equals_the_numpy_formula(label, rows, cuts, tables):
    rows = np.asarray(rows, dtype=np.float64)
    prior_weight = -11.287
    want = match_weight_reference(rows, cuts, tables, prior_weight)
    key_want = np.zeros(rows.shape[1], dtype=np.int64)
    for row, (thresholds, distance) in zip(rows, cuts):
        key_want = key_want * (len(thresholds) + 2) + levels_reference(row, thresholds, distance)
    # Few pairs (scored inline) and many (ranges on the pool, blocks of each), laid out
    # as compare returns them, as the transpose of a row-per-pair array, and
    # with a stride between pairs.
    reps = -(-40_000 // rows.shape[1])           # past the pairs scored inline
    many = np.tile(rows, (1, reps))
    layouts = {"feature-major": many, "pair-major": np.ascontiguousarray(many.T).T,
               "strided": np.repeat(many, 2, axis=1)[:, ::2]}
    layouts["few, feature-major"] = rows
    for name, scores in layouts.items():
        n = scores.shape[1]
        got = _corvane_rs.match_weight_batch(scores, *level_arguments(cuts, tables), prior_weight)
        assert same_floats(got.tolist(), np.tile(want, n // len(want)).tolist()), name
        keys = _corvane_rs.level_key_batch(scores, *level_arguments(cuts))
        assert keys.tolist() == np.tile(key_want, n // len(want)).tolist(), name


# No comparison scores below 0: a negative score is a fill value, refused
# where the levels are cut. (label, rows of scores, cuts, the first negative
# as (comparison, pair): pair order first).
NEGATIVE_CASES = [
    ("a similarity's fill value, in a pair of lanes", [[0.5, -1.0, 0.2, 0.9]], [((0.9,), False)], (0, 1)),
    ("a distance's, in the odd tail", [[0.0, 3.0, -1.0]], [((0.0, 1.0), True)], (0, 2)),
    ("the earliest pair wins over the earliest comparison",
     [[0.5, 0.5, -2.0], [0.0, -1.0, -1.0]], [((0.9,), False), ((1.0,), True)], (1, 1)),
    ("minus infinity, past the unrolled cuts", [[1.0, 0.2, -np.inf]], [((1.0, 0.95, 0.9, 0.5, 0.2), False)], (0, 2)),
    ("a comparison without thresholds", [[0.3, np.nan, -0.5]], [((), False)], (0, 2)),
    ("a negative, then NaN, then a score, in one lane", [[-0.5, 0.2, np.nan, 0.2, 0.5, 0.2]], [((0.9,), False)],
     (0, 0)),
    ("the same in a distance, after a -0.0", [[-0.0, 0.0, -1.0, 0.0, np.nan, 0.0, 2.0, 0.0]], [((0.0, 1.0), True)],
     (0, 2)),
]


@pytest.mark.parametrize("label, rows, cuts, first", NEGATIVE_CASES, ids=[c[0] for c in NEGATIVE_CASES])
def test_weight_and_key_kernels_refuse_a_negative_score(label, rows, cuts, first):
    rows = np.asarray(rows, dtype=np.float64)
    tables = [[0.0] * (len(t) + 2) for t, _ in cuts]
    c, k = first
    # Few pairs (inline), and the same pairs far into many (on the pool),
    # with another negative in a later range that must not be the one named.
    at = 70_000
    many = np.full((rows.shape[0], 100_000), 0.5)
    many[:, at:at + rows.shape[1]] = rows
    many[0, 95_000] = -3.0
    layouts = {"few": (rows, k), "many": (many, at + k), "many, strided": (np.repeat(many, 2, axis=1)[:, ::2], at + k)}
    for name, (scores, pair) in layouts.items():
        message = rf"^scores\[{c}, {pair}\] = {scores[c, pair]:g} is negative: no comparison scores below 0"
        with pytest.raises(ValueError, match=message):
            _corvane_rs.match_weight_batch(scores, *level_arguments(cuts, tables), 0.0)
        with pytest.raises(ValueError, match=message):
            _corvane_rs.level_key_batch(scores, *level_arguments(cuts))


def test_model_scores_through_the_kernel_like_the_numpy_formula(simulated):
    (left, right), pairs, _ = simulated
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=20_000)
    features = corvane.compare(left, right, pairs, model.comparisons)
    rows = features.to_numpy().T
    cuts = [(c[2], True) for c in SIM_COMPARISONS]
    want = match_weight_reference(rows, cuts, model.weight_tables(), model.prior_weight_)
    assert np.array_equal(model.match_weight(features), want)
    # A frame whose columns come in another order, or not as float64, is read by name.
    shuffled = features[features.columns[::-1]].astype({features.columns[0]: "float32"}).astype("float64")
    assert np.array_equal(model.match_weight(shuffled), want)
    assert np.array_equal(model.match_weight(np.ascontiguousarray(rows.T)), want)


@pytest.mark.parametrize("kind", list(KINDS))
def test_table_kinds_fit_score_and_pickle_alike(simulated, kind):
    (left, right), pairs, _ = simulated
    convert = KINDS[kind]
    reference = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=20_000)
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(convert(left), convert(right), pairs, u_pairs=20_000)
    assert all(np.array_equal(a, b) for a, b in zip(model.m_ + model.u_, reference.m_ + reference.u_))
    features = corvane.compare(convert(left), convert(right), pairs, model.comparisons)
    plain = corvane.compare(left, right, pairs, [c[:2] for c in SIM_COMPARISONS])   # thresholds ignored
    want = reference.predict_proba(np.column_stack([plain[c].to_numpy() for c in plain.columns]))
    assert np.array_equal(model.predict_proba(features), want)
    assert np.array_equal(pickle.loads(pickle.dumps(model)).predict_proba(features), want)
    table = model.parameters()
    assert type(table).__module__.split(".")[0] == {"pandas": "pandas", "polars": "polars", "arrow": "pyarrow"}[kind]
    # score_partition takes the model wherever it takes a Scorer.
    batch = pd.DataFrame({f"{c}{s}": f[c].to_numpy()[p] for c, *_ in SIM_COMPARISONS
                          for s, f, p in (("_l", left, pairs[0]), ("_r", right, pairs[1]))})
    scored = corvane.score_partition(convert(batch), model.comparisons, model)
    assert np.array_equal(np.asarray(scored["probability"]), want)
    # Each score goes to the model's comparison of that name, in any order;
    # a comparison the model does not have would be weighed by another's levels.
    backwards = corvane.score_partition(convert(batch), model.comparisons[::-1], model)
    assert np.array_equal(np.asarray(backwards["probability"]), want)
    # A pair table may name the columns its own way: then order and metrics decide.
    renamed = corvane.score_partition(convert(batch), [(f"{c}_l", f"{c}_r", m, t) for c, m, t in SIM_COMPARISONS], model)
    assert np.array_equal(np.asarray(renamed["probability"]), want)
    refused = [([("c1", "numeric"), ("c0", "numeric_similarity"), *SIM_COMPARISONS[2:]],
                "['c1_numeric', 'c0_numeric_similarity', 'c2_numeric', 'c3_numeric']"),
               (SIM_COMPARISONS[:3], "['c0_numeric', 'c1_numeric', 'c2_numeric']")]
    for other, names in refused:
        with pytest.raises(ValueError, match=re.escape(
                f"comparisons {names} are not the model's ['c0_numeric', 'c1_numeric', 'c2_numeric', 'c3_numeric']: "
                "score with the comparisons the model was fitted with (model.comparisons)")):
            corvane.score_partition(convert(batch), other, model)
    with pytest.raises(ValueError, match="needs missing='nan', not -1.0"):
        corvane.score_partition(convert(batch), model.comparisons, model, missing=-1.0)


def test_parameters_and_chart(simulated, tmp_path):
    (left, right), pairs, _ = simulated
    model = corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, u_pairs=20_000)
    table = model.parameters()
    assert list(table.columns) == ["comparison", "level", "condition", "m", "u", "weight"]
    assert len(table) == 1 + 4 * len(M)            # the prior, then three levels and "missing" each
    row = table.iloc[1]
    assert (row.comparison, row.level, row.condition) == ("c0_numeric", 0, "numeric <= 0")
    assert row.weight == math.log2(model.m_[0][0] / model.u_[0][0])
    assert table.iloc[4].condition == "missing" and table.iloc[4].weight == 0.0
    assert type(model.parameters("polars")).__module__.split(".")[0] == "polars"
    with pytest.raises(ValueError, match=r"^kind must be 'pandas', 'polars' or 'arrow', not 'excel'$"):
        model.parameters("excel")
    pytest.importorskip("matplotlib")
    model.chart(tmp_path / "chart.png")
    assert (tmp_path / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    import matplotlib.pyplot as plt

    # Every label inside the picture, whatever the length of the names.
    long = {f"c{k}": f"c{k}_date_of_birth_as_written_on_the_enrolment_form" for k in range(len(M))}
    renamed = corvane.FellegiSunter([(long[c], metric, t) for c, metric, t in SIM_COMPARISONS])
    figure = renamed.fit(left.rename(columns=long), right.rename(columns=long), pairs, u_pairs=2_000).chart(
        tmp_path / "long.png")
    figure.canvas.draw()
    width = figure.bbox.width
    for label in [*figure.axes[0].get_yticklabels(), figure.axes[1].title, figure.axes[1].yaxis.label]:
        box = label.get_window_extent()
        assert 0 <= box.x0 and box.x1 <= width, (label.get_text(), box, width)
    plt.close(figure)

    figure, one = plt.subplots()
    with pytest.raises(TypeError, match=r"^axes must be two matplotlib Axes \(the levels' weights, the match "
                                        r"weights\), not Axes$"):
        model.chart(axes=one)
    plt.close(figure)
    assert repr(corvane.FellegiSunter([("a", "exact")], prior=0.01)) == "FellegiSunter([('a', 'exact')], prior=0.01)"


@pytest.mark.parametrize("comparisons, options, message", [
    ([("c0", "jaro_winkler", (0.7, 0.9))], {}, "'c0', 'jaro_winkler'.*strictly decreasing"),
    ([("c0", "numeric", (2, 1))], {}, "'c0', 'numeric'.*strictly increasing"),
    ([("c0", "levenshtein", (1.5,))], {}, r"must be in \(0, 1\]"),
    ([("c0", "date_distance", (-1, 3))], {}, "must be 0 or more"),
    ([("c0", "numeric", ())], {}, "at least one threshold"),
    ([("c0", "numeric"), ("c1", "numeric")], {"max_iter": 1}, "EM did not converge in 1 iterations"),
    ([("c0", "numeric")], {"prior": 1.5}, "prior must be strictly between 0 and 1"),
])
def test_bad_input_raises_naming_the_comparison(simulated, comparisons, options, message):
    (left, right), pairs, _ = simulated
    with pytest.raises(ValueError, match=message):
        corvane.FellegiSunter(comparisons, **options).fit(left, right, pairs, u_pairs=1000)


@pytest.mark.parametrize("options, fit_options, message", [
    ({}, {"em_pairs": True}, "em_pairs must be an integer or None, not bool"),
    ({}, {"em_pairs": 2.5}, "em_pairs must be an integer or None, not float"),
    ({}, {"u_pairs": True}, "u_pairs must be an integer, not bool"),
    ({}, {"seed": False}, "seed must be an integer, not bool"),
    ({"max_iter": True}, {}, "max_iter must be an integer, not bool"),
    ({"max_iter": 10.5}, {}, "max_iter must be an integer, not float"),
    ({"tol": True}, {}, "tol must be a number, not bool"),
    ({"prior": np.True_}, {}, "prior must be a number, not bool"),
])
def test_counts_and_numbers_refuse_bools(simulated, options, fit_options, message):
    (left, right), pairs, _ = simulated
    with pytest.raises(TypeError, match=f"^{message}$"):
        corvane.FellegiSunter(SIM_COMPARISONS, **options).fit(left, right, pairs, **fit_options)
    if options.get("max_iter") is True:   # NumPy's integers are integers, and so are whole floats
        assert corvane.FellegiSunter(SIM_COMPARISONS, max_iter=np.int64(500)).fit(
            left, right, pairs, u_pairs=np.int32(1000), em_pairs=np.uint16(4000), seed=np.int64(1)).converged_
        assert corvane.FellegiSunter(SIM_COMPARISONS, max_iter=500.0).fit(left, right, pairs, u_pairs=1e3).converged_
        with pytest.raises(ValueError, match="^seed must be at least 0, not -1$"):
            corvane.FellegiSunter(SIM_COMPARISONS).fit(left, right, pairs, seed=-1)


def test_u_of_a_small_table_counts_every_pair():
    # 15 pairs of 6 records, fewer than u_pairs: all of them, whatever the
    # seed ('a' agrees on 3, 'b' on 3 (p p, q q, r r)); and the 12 pairs of two tables.
    df = pd.DataFrame({"a": ["x", "x", "x", "y", "z", "w"], "b": ["p", "p", "q", "q", "r", "r"]})
    pairs = (np.array([0, 0, 1, 2, 4]), np.array([1, 2, 2, 3, 5]))
    for seed in (0, 1):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = corvane.FellegiSunter([("a", "exact"), ("b", "exact")]).fit(df, None, pairs, seed=seed)
        assert [u.tolist() for u in model.u_] == [[0.2, 0.8], [0.2, 0.8]]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        linked = corvane.FellegiSunter([("a", "exact"), ("b", "exact")]).fit(df[:3], df[2:], (np.array([0, 2]),
                                                                                               np.array([0, 1])))
    assert [u.tolist() for u in linked.u_] == [[3 / 12, 9 / 12], [2 / 12, 10 / 12]]


def test_pairs_count_once_whatever_their_order(simulated):
    # As a set: repeats, order and (when deduplicating) orientation change
    # nothing; a record paired with itself is no candidate.
    (left, right), pairs, _ = simulated
    both = pd.concat([left, right], ignore_index=True)   # deduplicated: the same pairs, right's rows after N
    within = (pairs[0], pairs[1] + N)
    twice = np.r_[np.arange(len(within[0])), np.arange(0, len(within[0]), 3)][::-1]
    cases = [
        (left, right, pairs, (np.r_[pairs[0], pairs[0][::7]], np.r_[pairs[1], pairs[1][::7]])),
        (both, None, within, (within[0][twice], within[1][twice])),
        (both, None, within, (np.r_[within[1], within[0][:50]], np.r_[within[0], within[1][:50]])),
    ]
    for one, other, distinct, given in cases:
        want = corvane.FellegiSunter(SIM_COMPARISONS).fit(one, other, distinct, u_pairs=1000)
        got = corvane.FellegiSunter(SIM_COMPARISONS).fit(one, other, given, u_pairs=1000)
        assert got.n_candidates_ == want.n_candidates_ == len(distinct[0]) and got.prior_ == want.prior_
        assert all(np.array_equal(a, b) for a, b in zip(got.m_, want.m_))
    with pytest.raises(ValueError, match=r"^pairs: pair 2 pairs record 4 with itself; when deduplicating"):
        corvane.FellegiSunter(SIM_COMPARISONS).fit(left, None, ([0, 1, 4], [1, 2, 4]))


def test_missing_columns_and_constant_levels(simulated):
    (left, right), pairs, _ = simulated
    with pytest.raises(ValueError, match="left has no column 'nope'"):
        corvane.FellegiSunter([("nope", "exact")]).fit(left, right, pairs)
    with pytest.raises(TypeError, match="^comparisons must be a list, not an iterator"):
        corvane.FellegiSunter(iter(SIM_COMPARISONS)).fit(left, right, pairs)
    model = corvane.FellegiSunter(SIM_COMPARISONS[:2]).fit(left, right, pairs, u_pairs=1000)
    with pytest.raises(ValueError, match="no column 'c1_numeric'"):
        model.match_weight(pd.DataFrame({"c0_numeric": [0.0]}))
    with pytest.raises(ValueError, match="2-D array of 2 columns"):
        model.match_weight(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="not fitted"):
        corvane.FellegiSunter(SIM_COMPARISONS).predict_proba(np.zeros((1, 4)))
    same = left.assign(k="x")
    with pytest.warns(UserWarning, match="'k_exact' has the same level on every candidate pair"):
        corvane.FellegiSunter([("k", "exact"), *SIM_COMPARISONS]).fit(same, right.assign(k="x"), pairs, u_pairs=1000)
    with pytest.warns(UserWarning, match="'k_exact' has no value on any candidate pair"):
        corvane.FellegiSunter([("k", "exact"), *SIM_COMPARISONS]).fit(left.assign(k=None), right.assign(k="x"), pairs,
                                                                      u_pairs=1000)
    # A fill value for a missing comparison would weigh as a level (for a
    # distance, the closest): refused, naming the first one.
    gaps = left.assign(c1=left["c1"].where(np.arange(N) % 9 > 0))
    filled = corvane.compare(gaps, right, pairs, model.comparisons, missing=-1.0)
    first = int(np.flatnonzero(pairs[0] % 9 == 0)[0])
    for score, features in ((model.match_weight, filled), (model.predict_proba, pl.from_pandas(filled)),
                            (model.predict_proba, filled.to_numpy())):
        with pytest.raises(ValueError, match=re.escape(
                f"features: column 'c1_numeric' holds -1.0 at pair {first}, but no comparison scores below 0: it is "
                "the fill value of a missing comparison, which this model would read as a level; give it compare's "
                'features with missing="nan"')):
            score(features)
    assert np.isnan(corvane.compare(gaps, right, pairs, model.comparisons)["c1_numeric"][first])


@pytest.mark.parametrize("records, comparisons, options, levels", [
    ({"state": ["a"] * 50}, [("state", "exact")], {}, "'state_exact' at exact >= 1"),
    ({"state": ["a"] * 50, "age": [30.0, None] * 25}, [("state", "exact"), ("age", "numeric", (0, 2))],
     {"rules": ["state"], "prior": 0.01}, "'state_exact' at exact >= 1, 'age_numeric' at numeric <= 0"),
    ({"state": ["a"] * 50, "age": [None] * 50}, [("age", "numeric")], {}, "'age_numeric' missing"),
])
def test_fit_refuses_candidates_that_all_have_the_same_levels(records, comparisons, options, levels):
    # EM has nothing to tell matches from non-matches by: a plain error, not
    # "EM did not converge".
    people = pd.DataFrame(records)
    pairs = corvane.candidates(people, rules=["state"])
    with pytest.raises(ValueError, match=re.escape(
            f"every candidate pair has the same comparison levels ({levels}), so there is nothing to learn from")):
        corvane.FellegiSunter(comparisons, prior=options.get("prior")).fit(people, None, pairs,
                                                                           rules=options.get("rules"))


@pytest.fixture(scope="module")
def febrl4():
    from febrl_scale import load_febrl

    try:
        return load_febrl("4a"), load_febrl("4b")
    except Exception as error:  # noqa: BLE001 - no copy of the data and no index to fetch it from
        pytest.skip(f"FEBRL4 not available: {error}")


def test_febrl4_without_rules_stays_above_the_floor(febrl4):
    a, b = febrl4
    pairs = block_pairs(a, b, [["postcode"], ["date_of_birth"], ["given_name", "surname"]])
    comparisons = [("given_name", "jaro_winkler", (1.0, 0.9, 0.7)), ("surname", "jaro_winkler", (1.0, 0.9, 0.7)),
                   ("date_of_birth", "damerau_levenshtein", (1.0, 0.875, 0.75)),
                   ("soc_sec_id", "damerau_levenshtein", (1.0, 0.85)), ("address_1", "jaro_winkler", (1.0, 0.9, 0.7)),
                   ("suburb", "jaro_winkler"), ("postcode", "damerau_levenshtein", (1.0, 0.75))]
    model = corvane.FellegiSunter(comparisons).fit(a, b, pairs, u_pairs=100_000)
    match = model.predict_proba(corvane.compare(a, b, pairs, comparisons)) >= 0.5
    position = pd.Series(np.arange(len(b)), index=b["entity"].to_numpy()).reindex(a["entity"].to_numpy()).to_numpy()
    truth = (np.flatnonzero(~np.isnan(position)), position[~np.isnan(position)].astype(np.int64))
    result = corvane.evaluate((pairs[0][match], pairs[1][match]), truth)
    assert result.f1 >= 0.98, result


def test_evaluation_against_counts_by_hand():
    predicted = (np.array([0, 0, 1, 2, 2]), np.array([1, 1, 2, 3, 4]))   # (0, 1) twice counts once
    true = ([0, 2, 5], [1, 3, 6])
    assert tuple(corvane.evaluate(predicted, true)) == (0.5, 2 / 3, 2 * 0.5 * (2 / 3) / (0.5 + 2 / 3), 4, 3, 2)
    assert corvane.evaluate((np.array([], np.int64),) * 2, true)[:3] == (1.0, 0.0, 0.0)
    # Clusters {0,1,2} {3} {4,5} against entities {0,1} {2,3} {4,5}: 4 pairs
    # predicted, 3 true, 2 correct; B-cubed per record by hand.
    got = corvane.evaluate_clusters(np.array([7, 7, 7, 8, 9, 9]), np.array(["a", "a", "b", "b", "c", "c"]))
    bp = (2 / 3 + 2 / 3 + 1 / 3 + 1 + 1 + 1) / 6
    br = (1 + 1 + 1 / 2 + 1 / 2 + 1 + 1) / 6
    np.testing.assert_allclose(got, [0.5, 2 / 3, 4 / 7, bp, br, 2 * bp * br / (bp + br)], rtol=1e-15)
    sweep = corvane.threshold_sweep(predicted, [0.9, 0.2, 0.6, 0.3, 0.8], true, [0.5, 0.85])
    assert sweep["n_predicted"].tolist() == [3, 1] and sweep["precision"].tolist() == [1 / 3, 1.0]
    assert sweep["recall"].tolist() == [1 / 3, 1 / 3]
    with pytest.raises(ValueError, match=r"^kind must be 'pandas', 'polars' or 'arrow', not 'table'$"):
        corvane.threshold_sweep(predicted, [0.9, 0.2, 0.6, 0.3, 0.8], true, kind="table")
    with pytest.raises(ValueError, match=r"^thresholds hold NaN, which no score reaches: give numbers$"):
        corvane.threshold_sweep(predicted, [0.9, 0.2, 0.6, 0.3, 0.8], true, [0.5, math.nan])
    assert corvane.threshold_sweep(predicted, [0.9, 0.2, 0.6, 0.3, 0.8], true, 0.5).equals(sweep[:1])
    with pytest.raises(ValueError, match=r"^scores must hold one score per pair \(1-D\), not of shape \(5, 2\)"):
        corvane.threshold_sweep(predicted, np.zeros((5, 2)), true)
    with pytest.raises(ValueError, match="one id per record"):
        corvane.evaluate_clusters([1, 2], [1])
    # Ids past int64 keys of left * width + right count as any others: the
    # same counts with each position moved far apart (2**31 * 0 + 2**33 - 1
    # used to meet 0 * width + 0).
    far = lambda pairs: tuple(np.asarray(side, np.int64) * 2**40 + 7 for side in pairs)  # noqa: E731
    assert tuple(corvane.evaluate(far(predicted), far(true))) == tuple(corvane.evaluate(predicted, true))
    assert corvane.threshold_sweep(far(predicted), [0.9, 0.2, 0.6, 0.3, 0.8], far(true), [0.5, 0.85]).equals(
        corvane.threshold_sweep(predicted, [0.9, 0.2, 0.6, 0.3, 0.8], true, [0.5, 0.85]))
    assert corvane.evaluate((np.array([2**31, 0]), np.array([0, 2**33 - 1])), ([0], [0])).n_correct == 0
    huge = np.array([2**63 + 5, 7], np.uint64)
    with pytest.raises(ValueError, match=r"^predicted_pairs: positions must be below 2\*\*63$"):
        corvane.evaluate((huge, huge), ([0], [0]))


# One table's pairs: predicted as link gives them (i < j) or in any order,
# true ones as a self-merge on an entity id gives them (both orders, and
# each record with itself). Entities {0, 1, 2} and {3, 4}: 4 true pairs.
_IDS = pd.DataFrame({"p": [0, 0, 0, 1, 1], "i": range(5)})
_MERGED = _IDS.merge(_IDS, on="p")
SELF_MERGED = (_MERGED["i_x"].to_numpy(), _MERGED["i_y"].to_numpy())
ONE_TABLE = [
    # predicted, scores, dedupe=True's (n_predicted, n_true, n_correct), sweep at 0.5: (n_predicted, n_correct)
    ((np.array([0, 0, 3, 1]), np.array([1, 2, 4, 4])), [0.9, 0.4, 0.8, 0.7], (4, 4, 3), (3, 2)),
    ((np.array([1, 2, 4, 4]), np.array([0, 0, 3, 1])), [0.9, 0.4, 0.8, 0.7], (4, 4, 3), (3, 2)),
    # (1, 0) is (0, 1), kept at its best score; (2, 2) is no pair.
    ((np.array([0, 1, 2, 2]), np.array([1, 0, 2, 4])), [0.3, 0.6, 0.9, 0.2], (2, 4, 1), (1, 1)),
]


@pytest.mark.parametrize("predicted, scores, counts, swept", ONE_TABLE)
def test_evaluation_of_one_tables_pairs(predicted, scores, counts, swept):
    n_predicted, n_true, n_correct = counts
    p, r = n_correct / n_predicted, n_correct / n_true
    assert corvane.evaluate(predicted, SELF_MERGED, dedupe=True) == (p, r, 2 * p * r / (p + r), *counts)
    sweep = corvane.threshold_sweep(predicted, scores, SELF_MERGED, [0.5], dedupe=True)
    assert (sweep["n_predicted"][0], sweep["recall"][0]) == (swept[0], swept[1] / n_true)
    # Taken as ordered pairs (the default), the mirrored truth halves the
    # recall: a warning says so.
    with pytest.warns(UserWarning, match=r"true_pairs holds every pair in both orders.*pass dedupe=True"):
        assert corvane.evaluate(predicted, SELF_MERGED).n_true == 2 * n_true + 5
    with pytest.warns(UserWarning, match="pass dedupe=True"):
        corvane.threshold_sweep(predicted, scores, SELF_MERGED)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        corvane.evaluate(predicted, (np.array([0, 3]), np.array([1, 4])))   # no pair in both orders
        corvane.evaluate(predicted, (np.array([0, 1, 3, 4]), np.array([1, 0, 4, 3])))   # two tables may, by chance
        corvane.evaluate(predicted, (np.array([0, 1, 2]), np.array([1, 0, 2])), dedupe=True)
    with pytest.raises(TypeError, match="^dedupe must be True or False, not str$"):
        corvane.evaluate(predicted, SELF_MERGED, dedupe="yes")


@pytest.mark.parametrize("kind", ["pandas", "polars", "arrow"])
def test_evaluation_reads_links_table_as_clusters_does(kind):
    # link's result (and any table with the two position columns) is pairs
    # wherever pairs are judged, as it is for clusters.
    predicted = (np.array([0, 0, 1, 2, 2]), np.array([1, 1, 2, 3, 4]))
    true, scores = ([0, 2, 5], [1, 3, 6]), [0.9, 0.2, 0.6, 0.3, 0.8]
    links = pd.DataFrame({"left_position": predicted[0], "right_position": predicted[1], "probability": scores})
    table = {"pandas": links, "polars": pl.from_pandas(links), "arrow": pa.Table.from_pandas(links)}[kind]
    truth = pd.DataFrame({"left_position": true[0], "right_position": true[1]})
    assert corvane.evaluate(table, true) == corvane.evaluate(predicted, true)
    assert corvane.evaluate(predicted, truth) == corvane.evaluate(predicted, true)
    pd.testing.assert_frame_equal(corvane.threshold_sweep(table, scores, truth),
                                  corvane.threshold_sweep(predicted, scores, true))
    with pytest.raises(ValueError, match="predicted_pairs has no column 'left_position'"):
        corvane.evaluate(links[["right_position"]], true)
    # And wherever pairs are compared.
    records = pd.DataFrame({"name": ["ann", "anne", "bob", "bobby", "rob"]})
    pd.testing.assert_frame_equal(corvane.compare(records, None, table, [("name", "jaro_winkler")]),
                                  corvane.compare(records, None, predicted, [("name", "jaro_winkler")]))


# Term frequencies: 12 people, surnames of known shares (smith 4 of 10 known
# values, jones 3, ...; two missing), compared by Jaro-Winkler at 1.0 / 0.8.
TF_PEOPLE = pd.DataFrame({
    "surname": ["smith", "smith", "smith", "smith", "jones", "jones", "jones", "smyth", "brown", "white", None, None],
    "town": ["a", "a", "b", "b", "a", "a", "c", "a", "b", "c", "a", "b"],
})
TF_COMPARISONS = [("surname", "jaro_winkler", (1.0, 0.8)), ("surname", "term_frequency"), ("town", "exact")]


def _tf_levels(left, right, i, j):
    """Levels of the two comparisons and the term frequency of a pair, by hand."""
    a, b = left["surname"][i], right["surname"][j]
    if pd.isna(a) or pd.isna(b):
        surname, frequency = None, None
    else:
        score = 1.0 if a == b else float(_corvane_rs.jaro_winkler_batch([a], [b])[0])
        surname = 0 if score >= 1.0 else 1 if score >= 0.8 else 2
        known = pd.concat([left["surname"], right["surname"]]).dropna()
        frequency = float((known == a).mean()) if a == b else None
    return [surname, 0 if left["town"][i] == right["town"][j] else 1], frequency


@pytest.fixture(scope="module")
def tf_model():
    i, j = np.triu_indices(len(TF_PEOPLE), 1)
    model = corvane.FellegiSunter(TF_COMPARISONS, prior=0.05, tol=0.01).fit(TF_PEOPLE, None, (i, j), u_pairs=5000)
    return model, (i.astype(np.int64), j.astype(np.int64))


@pytest.mark.parametrize("linking", [False, True])
def test_term_frequency_weights_by_hand(tf_model, linking):
    model, pairs = tf_model
    # Linking: the frequencies are counted over both tables together.
    right = TF_PEOPLE.iloc[[0, 4, 8, 10, 7]].reset_index(drop=True) if linking else TF_PEOPLE
    if linking:
        pairs = tuple(np.array(a, dtype=np.int64) for a in np.meshgrid(np.arange(12), np.arange(5), indexing="ij"))
        pairs = (pairs[0].ravel(), pairs[1].ravel())
    features = corvane.compare(TF_PEOPLE, right, pairs, model.comparisons)
    assert list(features.columns) == ["surname_jaro_winkler", "surname_term_frequency", "town_exact"]
    want_w, want_tf = [], []
    for i, j in zip(*pairs):
        levels, frequency = _tf_levels(TF_PEOPLE, right, i, j)
        want_tf.append(math.nan if frequency is None else frequency)
        want_w.append(match_weight_by_hand(model.prior_, model.m_, model.u_, levels, [(0, frequency)]))
    assert same_floats(features["surname_term_frequency"].tolist(), want_tf)
    assert model.match_weight(features).tolist() == want_w
    # The same bits from a 2-D array in comparison order, a pickled model, and
    # pairs scored in blocks on threads.
    again = pickle.loads(pickle.dumps(model))
    assert again.match_weight(features.to_numpy()).tolist() == want_w
    many = np.tile(features.to_numpy(), (1000, 1))     # past the pairs scored inline
    assert model.match_weight(many).tolist() == want_w * 1000
    last = model.parameters().iloc[-1]
    assert (last.comparison, last.u) == ("surname_term_frequency", model.u_[0][0])


def test_term_frequencies_in_link_batches_and_partitions(tf_model):
    model, pairs = tf_model
    features = corvane.compare(TF_PEOPLE, TF_PEOPLE, pairs, model.comparisons)
    want = model.predict_proba(features)
    rules = ["town"]
    whole = corvane.link(TF_PEOPLE, rules=rules, comparisons=model.comparisons, model=model, threshold=0.0)
    batched = corvane.link(TF_PEOPLE, rules=rules, comparisons=model.comparisons, model=model, threshold=0.0,
                           batch_pairs=3)
    assert whole.equals(batched)
    where = {(a, b): k for k, (a, b) in enumerate(zip(*pairs))}
    at = [where[p] for p in zip(whole["left_position"], whole["right_position"])]
    assert np.array_equal(whole["probability"].to_numpy(), want[at])
    # One partition: the frequencies of fit's tables. A value fit never saw
    # ("zed") gets none, so its exact match is not adjusted.
    i, j = pairs
    batch = pd.DataFrame({f"{c}{s}": TF_PEOPLE[c].to_numpy()[p] for c in ("surname", "town")
                          for s, p in (("_l", i), ("_r", j))})
    for kind, convert in KINDS.items():
        scored = corvane.score_partition(convert(batch), model.comparisons, model)
        assert np.array_equal(np.asarray(scored["probability"]), want), kind
    new = pd.DataFrame({"surname_l": ["zed", "smith"], "surname_r": ["zed", "smith"], "town_l": ["a"] * 2,
                        "town_r": ["a"] * 2})
    scored = corvane.score_partition(new, model.comparisons, model, threshold=None)
    assert scored["surname_term_frequency"].tolist()[1] == 0.4 and math.isnan(scored["surname_term_frequency"][0])
    base = match_weight_by_hand(model.prior_, model.m_, model.u_, [0, 0])
    assert model.match_weight(scored[list(model.feature_names_in_)]).tolist() == [
        base, match_weight_by_hand(model.prior_, model.m_, model.u_, [0, 0], [(0, 0.4)])]


def _tf_fitted(case):
    """A model with term frequencies, its tables and the pairs it was fitted on."""
    people = TF_PEOPLE.assign(alias=["smith", "jones", "jones", None, "jones", "brown", "x", "smyth", "brown", "y",
                                     "smith", "z"])
    i, j = (a.astype(np.int64) for a in np.triu_indices(len(people), 1))
    comparisons, right = TF_COMPARISONS, None
    if case == "two columns":
        comparisons = [("surname", "alias", "exact"), ("surname", "alias", "term_frequency"), ("town", "exact"),
                       ("town", "term_frequency")]
    elif case == "two tables":
        right = people.iloc[[0, 4, 8, 10, 7, 1]].reset_index(drop=True)
        i, j = (a.ravel() for a in np.meshgrid(np.arange(12), np.arange(6), indexing="ij"))
    elif case == "levels beyond one key":   # 3**40 combinations: counted column by column
        flags = np.random.default_rng(0).choice(["a", "b"], (len(people), 40))
        people = people.assign(**{f"f{k}": flags[:, k] for k in range(40)})
        comparisons = [*TF_COMPARISONS, *((f"f{k}", "exact") for k in range(40))]
    model = corvane.FellegiSunter(comparisons, prior=0.05, tol=0.01).fit(people, right, (i, j), u_pairs=5000)
    return model, people, right, (i, j)


@pytest.mark.parametrize("case", ["one column", "two columns", "two tables", "levels beyond one key"])
def test_candidate_weights_are_the_models_own(case):
    # What the chart draws: every fitted pair's match weight, term-frequency
    # adjustments included, bit for bit, and whole counts.
    model, left, right, pairs = _tf_fitted(case)
    want = model.match_weight(corvane.compare(left, right, pairs, model.comparisons))
    weights, counts = model.candidate_weights()
    assert counts.dtype == np.int64 and counts.sum() == len(want)
    assert np.array_equal(np.sort(np.repeat(weights, counts)), np.sort(want))
    assert len(weights) < len(want) or case == "levels beyond one key"   # combinations, not pairs
    if case != "two columns":   # the chart's rows drawn once
        return
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt

    figure = model.chart()
    labels = [label.get_text() for label in figure.axes[0].get_yticklabels()]
    adjusted = [e for e in labels if e.endswith("by term frequency")]
    assert len(adjusted) == len(model.term_frequencies_)
    assert labels[labels.index(adjusted[0]) - 1].endswith(": else")   # after the levels it adjusts
    plt.close(figure)


def test_a_float_nan_is_missing_nan_for_the_model(tf_model):
    model, pairs = tf_model
    want = corvane.link(TF_PEOPLE, rules=["town"], comparisons=model.comparisons, model=model, threshold=0.0)
    for nan in (math.nan, np.float32("nan")):
        assert corvane.link(TF_PEOPLE, rules=["town"], comparisons=model.comparisons, model=model, threshold=0.0,
                            missing=nan).equals(want)
    batch = pd.DataFrame({f"{c}{s}": TF_PEOPLE[c].to_numpy()[p] for c in ("surname", "town")
                          for s, p in (("_l", pairs[0]), ("_r", pairs[1]))})
    assert corvane.score_partition(batch, model.comparisons, model, missing=math.nan).equals(
        corvane.score_partition(batch, model.comparisons, model))


def test_term_frequencies_of_two_columns_when_deduplicating():
    # One table is both sides: fit counts the values of both columns, as
    # compare and link do, so one partition gets the same frequencies.
    people = TF_PEOPLE.assign(alias=["smith", "jones", "jones", None, "jones", "brown", "x", "smyth", "brown", "y",
                                     "smith", "z"])
    comparisons = [("surname", "alias", "exact"), ("surname", "alias", "term_frequency"), ("town", "exact")]
    i, j = np.triu_indices(len(people), 1)
    model = corvane.FellegiSunter(comparisons, prior=0.05, tol=0.01).fit(people, None, (i, j), u_pairs=5000)
    features = corvane.compare(people, people, (i, j), comparisons)
    batch = pd.DataFrame({"surname": people["surname"].to_numpy()[i], "alias": people["alias"].to_numpy()[j],
                          "town_l": people["town"].to_numpy()[i], "town_r": people["town"].to_numpy()[j]})
    scored = corvane.score_partition(batch, comparisons, model, threshold=None)
    assert same_floats(scored["surname_term_frequency"].tolist(), features["surname_term_frequency"].tolist())
    assert np.array_equal(scored["probability"].to_numpy(), model.predict_proba(features))


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.match_weight(pd.DataFrame({"surname_jaro_winkler": [1.0], "town_exact": [1.0]})), ValueError,
     "no column 'surname_term_frequency' \\(the term frequencies"),
    (lambda m: m.match_weight(np.ones((2, 2))), ValueError, "2-D array of 3 columns"),
    (lambda m: m.match_weight(np.array([[1.0, 0.0, 1.0]])), ValueError, "holds 0.0 at pair 0; a term frequency is a share"),
    (lambda m: corvane.score_partition(pd.DataFrame({"surname_l": ["a"], "surname_r": ["a"]}),
                                       [("surname", "term_frequency")], corvane.FellegiSunter([("surname", "exact")])),
     ValueError, "one partition cannot give a value's term frequency"),
    (lambda m: corvane.FellegiSunter([("surname", "soundex"), ("surname", "term_frequency")]).fit(
        TF_PEOPLE, None, ([0], [1])), ValueError, "'surname_term_frequency': a term frequency adjusts the exact level"),
    (lambda m: corvane.FellegiSunter([("surname", "exact"), ("surname", "term_frequency", (1.0,))]).fit(
        TF_PEOPLE, None, ([0], [1])), ValueError, "'term_frequency' takes no thresholds"),
    (lambda m: corvane.compare(TF_PEOPLE, TF_PEOPLE.assign(surname=1.0), ([0], [1]), [("surname", "term_frequency")]),
     TypeError, "counts values of one type"),
    (lambda m: corvane.compare(pd.DataFrame({"v": [2**53 + 1]}), pd.DataFrame({"v": [0.5]}), ([0], [0]),
                               [("v", "term_frequency")]), TypeError, "column 'v' holds int64 values that double cannot hold exactly"),
])
def test_term_frequency_bad_input(tf_model, call, error, message):
    with pytest.raises(error, match=message):
        call(tf_model[0])


# Values as the tables type them: equal values are one value whatever the
# two sides' types, distinct ones never become one (integers beyond 2**53
# stay apart), missing and NaN are no values.
_DAY, _NEXT = datetime.date(2020, 1, 1), datetime.date(2020, 1, 2)
_NOON = datetime.datetime(2020, 1, 1, 12)
TF_TYPED = {
    "int64 beyond 2**53": (pa.array([2**53, 2**53 + 1, 2**53 + 1]), pa.array([2**53 + 1, 2**53 + 3])),
    "uint64 and int64": (pa.array([2**64 - 1, 3], pa.uint64()), pa.array([3, -1, 2**63 - 1])),
    "int and float": (pa.array([1, 2, None]), pa.array([1.0, math.nan, 2.5, 2.0])),
    "-0.0 and 0.0": (pa.array([0.0, -0.0, 1.0]), pa.array([0.0, 1.0])),
    "decimals of 20 digits": (pa.array([Decimal("1" * 20), Decimal("1" * 19 + "2")]), pa.array([Decimal("1" * 20)])),
    "date32 and date64": (pa.array([_DAY, _NEXT, None], pa.date32()), pa.array([_DAY, _DAY], pa.date64())),
    "datetimes in ns and us": (pa.array([_NOON, _NOON.replace(hour=13)], pa.timestamp("ns")),
                               pa.array([_NOON, None], pa.timestamp("us"))),
    "dictionary and string": (pa.array(["a", "b", None, "a"]).dictionary_encode(), pa.array(["a", "c"], pa.large_string())),
}


@pytest.mark.parametrize("left, right", TF_TYPED.values(), ids=TF_TYPED.keys())
def test_term_frequency_of_typed_values(left, right):
    lv, rv = left.to_pylist(), right.to_pylist()
    known = [v for v in lv + rv if v is not None and v == v]
    i, j = (a.ravel() for a in np.meshgrid(np.arange(len(lv)), np.arange(len(rv)), indexing="ij"))
    want = [known.count(lv[a]) / len(known) if lv[a] is not None and lv[a] == rv[b] else math.nan
            for a, b in zip(i, j)]
    got = corvane.compare(pa.table({"v": left}), pa.table({"v": right}), (i, j), [("v", "term_frequency")])
    assert same_floats(got["v_term_frequency"].to_pylist(), want)


# Ids as real tables hold them; the same clusters and entities as the
# hand-counted case above, so the same scores, or a refusal naming the
# argument and the first record whose id is missing.
CLUSTER_IDS = [
    (np.array([7, 7, 7, 8, 9, 9]), np.array(["a", "a", "b", "b", "c", "c"], dtype=object)),
    (np.array(["x", "x", "x", 8, 9.5, 9.5], dtype=object), np.array([1, 1, "1", "1", b"c", b"c"], dtype=object)),
    (pl.Series([7, 7, 7, 8, 9, 9]), pl.Series(["a", "a", "b", "b", "c", "c"])),
    (pd.Series([7, 7, 7, 8, 9, 9]), pd.Series(["a", "a", "b", "b", "c", "c"], dtype="string")),
    (pd.array([7, 7, 7, 8, 9, 9], dtype="Int64"), pd.Categorical(["a", "a", "b", "b", "c", "c"])),
    ((np.array([7, 7]), np.array([7, 8, 9, 9])), (np.array(["a", "a", "b"]), pd.Series(["b", "c", "c"]))),
    ((np.array([7, 7, 7, 8]), [9.5, 9.5]), ["a", "a", "b", "b", "c", "c"]),   # two tables, as clusters gives them
]
MISSING_IDS = [
    ([0, 0, 1], [1.0, np.nan, np.nan], "true_ids has a missing id at record 1 (2 in all)"),
    ([0, 0, 1], pd.Series(["a", None, "b"], dtype="string"), "true_ids has a missing id at record 1 (1 in all)"),
    ([0, 0, 1], pl.Series(["a", "a", None]), "true_ids has a missing id at record 2"),
    ([0, 0, 1], pd.array([1, None, 2], dtype="Int64"), "true_ids has a missing id at record 1"),
    ([0, 0, 1], np.array(["2020-01-01", "NaT", "2020-01-02"], dtype="datetime64[D]"), "true_ids has a missing id"),
    ([None, 0, 1], ["a", "a", "b"], "cluster_ids has a missing id at record 0"),
    ((np.array([0, 0]), np.array([1.0, np.nan])), ["a", "a", "b", "c"], "cluster_ids has a missing id at record 3"),
]


def test_cluster_scores_whatever_the_ids_are_held_in():
    reference = corvane.evaluate_clusters(*CLUSTER_IDS[0])
    for clusters, truth in CLUSTER_IDS[1:]:
        assert corvane.evaluate_clusters(clusters, truth) == reference, (clusters, truth)
    for clusters, truth, message in MISSING_IDS:
        with pytest.raises(ValueError, match=re.escape(message)):
            corvane.evaluate_clusters(clusters, truth)


# ---- levels straight from the record columns (compare_levels) --------------------------------

def _records(seed, n):
    """Records of every kind the bounds meet: edited copies, random texts of
    many alphabets and lengths (non-ASCII, past 64 and 128 characters),
    empty strings, missing values, and digit strings like dates and ids
    (where the length alone never decides)."""
    from support import random_pairs

    a, b = random_pairs(n, seed)
    rng = np.random.default_rng(seed)
    digits = ["".join(map(str, rng.integers(0, 10, rng.choice([4, 7, 8])))) for _ in range(n // 2)]
    dates = [f"19{d[:6]}" for d in digits]
    values = a + b + digits + dates + ["", "", "a", "ab", "ba", "abc", "cab", "ca", "Ab", "éa", "aé"]
    # Dates beside copies with transpositions (adjacent or across one or two
    # characters), substitutions and moved digits: distances near the levels'.
    for d in dates:
        k = int(rng.integers(0, len(d) - 3))
        edits = [d[:k] + d[k + 1] + d[k] + d[k + 2:], d[:k] + d[k + 2] + d[k + 1] + d[k] + d[k + 3:],
                 d[:k] + d[k + 3] + d[k + 1:k + 3] + d[k] + d[k + 4:], d[:k] + "9" + d[k + 1:], d[1:] + d[0]]
        values += [d, edits[int(rng.integers(0, len(edits)))]]
    values = [None if k % 29 == 5 else v for k, v in enumerate(values)]
    return pa.array(values, type=pa.string())


def _cut_at(scores, how):
    """Thresholds at scores that occur (so pairs sit exactly on them), or
    fixed ones."""
    seen = np.unique(scores[~np.isnan(scores)])
    seen = seen[seen > 0][::-1]
    if how == "fixed":
        return (1.0, 0.9, 0.7)
    if how == "high":          # where Jaro-Winkler's prefix bonus lifts pairs over the thresholds
        return (0.95, 0.85)
    if how == "on scores" and len(seen) >= 4:
        return tuple(float(t) for t in seen[[0, len(seen) // 4, len(seen) // 2, 3 * len(seen) // 4]])
    if how == "lowest score" and len(seen):
        return (float(seen[-1]),)
    return (0.5,)


LEVEL_METRICS = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
                 "token_sort_ratio"]


@pytest.mark.parametrize("metric", LEVEL_METRICS)
def test_compare_levels_equal_the_cut_scores(metric):
    """Every level compare_levels gives equals the cut of compare_pairs'
    score, whether the bound or the kernel decided it: thresholds on scores
    that occur, pairs of edited copies, random pairs, few pairs over many
    records (each pair summed up as it comes) and many over few (each
    record summed up once), and a distance cut on a similarity."""
    records = _records(11, 300)      # records k and 300 + k: a string and its edited copy
    n = len(records)
    rng = np.random.default_rng(3)
    layouts = {
        "edited copies": (np.arange(300, dtype=np.int64), np.arange(300, 600, dtype=np.int64)),
        "random, many": (np.sort(rng.integers(0, n, 6 * n)), rng.integers(0, n, 6 * n)),
        "random, few": (rng.integers(0, n, 40), rng.integers(0, n, 40)),
        "edited dates": (np.arange(n - 300, n, 2, dtype=np.int64), np.arange(n - 299, n, 2, dtype=np.int64)),
    }
    for layout, (i, j) in layouts.items():
        scores = _corvane_rs.compare_pairs([records], [records], [metric], i, j, np.nan)[0]
        for how in ("fixed", "high", "on scores", "lowest score"):
            for distance in (False, True):
                thresholds = _cut_at(scores, how)
                if distance:
                    thresholds = thresholds[::-1]
                got = _corvane_rs.compare_levels([records], [records], [metric], i, j,
                                                 *level_arguments([(thresholds, distance)]))
                want = levels_reference(scores, thresholds, distance)
                assert got.dtype == np.uint8 and got.shape == (1, len(i))
                bad = np.flatnonzero(got[0] != want)
                assert not bad.size, (layout, how, distance, thresholds,
                                      [(records[int(i[k])], records[int(j[k])], scores[k], got[0][k], want[k])
                                       for k in bad[:3]])


def test_compare_levels_of_several_comparisons_and_sides():
    """Several comparisons in one call, numbers among them, a column read by
    two comparisons and by both sides, and two tables (linking): row k is
    comparison k, as compare_pairs' rows are."""
    rng = np.random.default_rng(5)
    names = _records(2, 120)
    other = pa.array(list(reversed(names.to_pylist())), type=pa.string())
    numbers = rng.integers(0, 5, len(names)).astype(np.float64)
    numbers[::13] = np.nan
    left = [names, names, numbers, names, numbers]
    right = [other, other, numbers[::-1].copy(), names, numbers[::-1].copy()]
    metrics = ["damerau_levenshtein", "jaro_winkler", "numeric", "levenshtein", "numeric_similarity"]
    cuts = [((1.0, 0.75), False), ((1.0, 0.92, 0.8), False), ((0, 1), True), ((0.5,), False), ((1.0, 0.5), False)]
    i, j = rng.integers(0, len(names), 2000), rng.integers(0, len(names), 2000)
    scores = _corvane_rs.compare_pairs(left, right, metrics, i, j, np.nan)
    got = _corvane_rs.compare_levels(left, right, metrics, i, j, *level_arguments(cuts))
    for k, (thresholds, distance) in enumerate(cuts):
        assert got[k].tolist() == levels_reference(scores[k], thresholds, distance).tolist(), metrics[k]
    empty = _corvane_rs.compare_levels(left, right, metrics, i[:0], j[:0], *level_arguments(cuts))
    assert empty.shape == (len(metrics), 0)
