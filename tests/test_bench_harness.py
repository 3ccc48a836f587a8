"""Smoke test of the benchmark's data generator and its agreement check
(nothing here measures time)."""

import math

import data
import numpy as np
import run_all


def test_generator_is_seeded_and_agreement_counts_every_ulp():
    pairs, again = data.make_pairs(500, seed=5), data.make_pairs(500, seed=5)
    assert again.strings == pairs.strings
    for left, right in pairs.strings.values():
        assert len(left) == len(right) == 500
    for k, (left, right) in pairs.numbers.items():
        assert np.array_equal(left, again.numbers[k][0], equal_nan=True) and left.shape == right.shape == (500,)
    assert run_all.agreement([1.0, math.nan, 0.5], np.array([1.0, math.nan, 0.5])) == "identical"
    assert run_all.agreement([0.1], [np.nextafter(0.1, 1.0)]).startswith("differs in 1 of 1")
    assert run_all.agreement([0.0, 1.0], [0.0]) == "output sizes differ (2 vs 1)"
