"""``FellegiSunter``: a match model trained without labels.

Each comparison's score is cut into a few levels by its thresholds
(similarities from the highest level down, distances from the closest up),
plus a level for a missing value, whose weight is 0. A pair's match weight
is ``log2(prior / (1 - prior)) + sum over comparisons of log2(m / u)`` at
its levels, where ``m`` is the probability of the level among matches and
``u`` among non-matches.

How ``fit`` learns them:

* ``u`` from ``u_pairs`` random record pairs (nearly all non-matches);
* ``m`` by expectation-maximisation on the candidate pairs (past ``em_pairs``
  of them, on that many drawn at random). EM only needs the number of pairs
  with each distinct combination of levels, so those are counted once
  (``np.bincount`` over mixed-radix keys of the levels the engine's
  ``compare_levels`` cuts straight from the record columns)
  and every iteration runs over the few thousand combinations, not the
  millions of pairs;
* with ``rules``, one EM pass per rule over that rule's pairs, chained: each
  pass starts from what the ones before it left and updates only the ``m``
  of comparisons on columns the rule does not block on (on a blocked column
  every pair agrees, so its ``m`` cannot be learned there). A rule's pairs
  are the candidates whose two records share the rule's key code, so the
  candidates are not built again per rule;
* the prior is the probability that two random records match: the match
  share EM finds over all candidate pairs (with ``m`` and ``u`` fixed when
  rules trained them) times the number of candidate pairs over the number of
  possible pairs. A prior taken over the candidate pairs alone would score
  every pair as if blocking had already made it likely.

``u`` stays fixed during EM (it anchors which class is "match").

Term-frequency adjustment: a ``(column, "term_frequency")`` entry among the
comparisons makes an exact match on a common value count for less than one
on a rare value. ``compare`` gives each pair the share of the records
holding its value where the two values are equal (NaN elsewhere), and a
pair at the exact level of the comparison on the same columns gets
``log2(u_exact / frequency)`` added to its weight, after the comparisons'
weights (the engine's ``frequency_weight_batch``, one log2 per distinct
frequency): its exact level then weighs ``log2(m_exact / frequency)``, the
evidence of agreeing on that value rather than on any value. EM and ``u``
do not see the frequencies; ``fit`` keeps those of its own tables
(``term_frequencies_``) for scoring one partition of pairs, which cannot
count them itself.
"""

from __future__ import annotations

import math
import numbers
import os
import re
import sys
import warnings
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Union, cast

import numpy as np
import numpy.typing as npt

import _corvane_rs

from ._compare import (Comparison, F64Array, NumericMetric, StringMetric, TermFrequencies, _pyarrow, from_columns,
                       kind_of, names_of, pairings_of)
from ._evaluate import table_kind
from ._rules import rule_columns

__all__ = ["FellegiSunter", "DEFAULT_THRESHOLDS"]

# Levels of a comparison given without thresholds. Similarities: score >= t
# from the first threshold down; distances (numbers, days): value <= t.
DEFAULT_THRESHOLDS: dict[str, tuple[float, ...]] = {
    "jaro_winkler": (1.0, 0.92, 0.8),
    "levenshtein": (1.0, 0.8, 0.6),
    "damerau_levenshtein": (1.0, 0.8, 0.6),
    "jaccard": (1.0, 0.6),
    "cosine": (1.0, 0.6),
    "token_sort_ratio": (1.0, 0.8),
    "exact": (1.0,),
    "soundex": (1.0,),
    "numeric_similarity": (1.0, 0.9),
    "numeric": (0.0, 1.0),
    "date_distance": (0.0, 31.0, 366.0),
}
_DISTANCES = ("numeric", "date_distance")
# Metrics whose score reaches 1.0 only for equal values: a term-frequency
# adjustment applies to their level at 1.0.
_EXACT_AT_ONE = ("exact", "jaro_winkler", "levenshtein", "damerau_levenshtein")
# Metrics whose score for equal values may miss 1.0 in its last bits (cosine:
# a square root of a product): their thresholds cut as if lowered by this
# factor, some eight units in the last place, so that equal token counts
# reach the level at 1.0 and no score changes level by its rounding.
_ROUNDED = {"cosine": 1.0 - 2.0**-50}
# m and u never reach 0 or 1 exactly, so every weight is finite.
_FLOOR = 1e-12
I64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class Level:
    """One comparison's levels: its result column, columns and thresholds."""

    name: str
    left: str
    right: str
    metric: str
    thresholds: tuple[float, ...]

    @property
    def distance(self) -> bool:
        return self.metric in _DISTANCES

    @property
    def frequency(self) -> bool:
        return self.metric == "term_frequency"

    @property
    def n_levels(self) -> int:
        """Levels with a value (the missing level comes on top)."""
        return len(self.thresholds) + 1

    @property
    def cuts(self) -> tuple[float, ...]:
        """The thresholds as scores are compared with them (cosine's allow
        for its rounding)."""
        scale = _ROUNDED.get(self.metric)
        return self.thresholds if scale is None else tuple(t * scale for t in self.thresholds)

    def conditions(self) -> list[str]:
        op = "<=" if self.distance else ">="
        return [f"{self.metric} {op} {t:g}" for t in self.thresholds] + ["else"]


def levels_of(comparisons: Iterable[Comparison]) -> list[Level]:
    """Checks the comparisons and their thresholds (the term frequencies
    are not comparisons with levels: see ``entries_of``)."""
    return [e for e in entries_of(comparisons) if not e.frequency]


@dataclass(frozen=True)
class Adjustment:
    """A term-frequency entry: its position among the comparisons, and the
    comparison (by position among all of them, and among those with levels)
    whose exact level it adjusts."""

    name: str
    position: int
    target_position: int
    target: int


def adjustments_of(entries: Sequence[Level]) -> list[Adjustment]:
    """The term-frequency entries, each tied to the comparison on the same
    columns whose first level is an exact match."""
    out = []
    for k, e in enumerate(entries):
        if not e.frequency:
            continue
        same = [c for c, other in enumerate(entries) if not other.frequency and (other.left, other.right) == (e.left, e.right)]
        exact = [c for c in same if entries[c].metric in _EXACT_AT_ONE and entries[c].thresholds[0] == 1.0]
        if not exact:
            raise ValueError(f"comparison {e.name!r}: a term frequency adjusts the exact level of a comparison on the "
                             f"same columns ({e.left!r}, {e.right!r}); give one whose first level is an exact match "
                             f"({', '.join(_EXACT_AT_ONE)} with a first threshold of 1.0)")
        out.append(Adjustment(e.name, k, exact[0], sum(1 for other in entries[:exact[0]] if not other.frequency)))
    return out


def entries_of(comparisons: Iterable[Comparison]) -> list[Level]:
    """Every comparison in order, term frequencies included (as entries
    without thresholds, whose only level is "else" and whose weight is 0)."""
    given = list(comparisons)
    pairings = pairings_of(given)
    levels = []
    for item, pairing in zip(given, pairings):
        label = repr(names_of(item))
        if pairing.frequency:
            if len(item) != len(names_of(item)):
                raise ValueError(f"comparison {label}: 'term_frequency' takes no thresholds")
            levels.append(Level(pairing.name, pairing.left, pairing.right, pairing.metric, ()))
            continue
        if len(item) == len(names_of(item)):
            thresholds = DEFAULT_THRESHOLDS[pairing.metric]
        else:
            raw = item[-1]
            try:
                thresholds = tuple(float(t) for t in raw)
            except (TypeError, ValueError):
                raise TypeError(f"comparison {label}: thresholds must be a sequence of numbers, not {raw!r}") from None
            if not thresholds:
                raise ValueError(f"comparison {label}: give at least one threshold, or none at all for the defaults")
        distance = pairing.metric in _DISTANCES
        if any(math.isnan(t) or (distance and t < 0) or (not distance and not 0 < t <= 1) for t in thresholds):
            bound = "0 or more (a distance)" if distance else "in (0, 1] (a similarity)"
            raise ValueError(f"comparison {label}: thresholds {list(thresholds)} must be {bound}")
        ordered = all(a < b for a, b in zip(thresholds, thresholds[1:])) if distance else all(
            a > b for a, b in zip(thresholds, thresholds[1:]))
        if not ordered:
            order = "increasing (closest level first)" if distance else "decreasing (highest level first)"
            raise ValueError(f"comparison {label}: thresholds {list(thresholds)} must be strictly {order}")
        levels.append(Level(pairing.name, pairing.left, pairing.right, pairing.metric, thresholds))
    return levels


# ---- the pattern counts EM runs on ----------------------------------------------


@dataclass
class Patterns:
    """Distinct combinations of levels (rows of ``codes``) and how many pairs
    have each."""

    codes: npt.NDArray[np.intp]
    counts: F64Array

    @classmethod
    def from_keys(cls, keys: I64Array, radix: Sequence[int]) -> Patterns:
        """From each pair's mixed-radix key (comparison 0 the most significant digit)."""
        space = math.prod(radix)
        if space <= max(4 * len(keys), 1 << 20):
            counts = np.bincount(keys, minlength=space)
            seen = np.flatnonzero(counts)
            found, tally = seen, counts[seen]
        else:
            found, tally = np.unique(keys, return_counts=True)
        return cls(_digits(found, radix), tally.astype(np.float64))

    def level_counts(self, c: int, n_levels: int) -> F64Array:
        """Pairs at each level of comparison ``c`` (the missing level left out)."""
        tally: F64Array = np.bincount(self.codes[:, c], weights=self.counts, minlength=n_levels + 1)[:n_levels]
        return tally

    @classmethod
    def count(cls, codes: Sequence[npt.NDArray[np.uint8]], radix: Sequence[int]) -> Patterns:
        n = len(codes[0]) if codes else 0
        if math.prod(radix) >= 1 << 62:   # too many combinations for one int64 code
            rows, tally = np.unique(np.column_stack(codes), axis=0, return_counts=True)
            return cls(rows.astype(np.intp), tally.astype(np.float64))
        key = np.zeros(n, dtype=np.int64)
        for c, r in zip(codes, radix):
            key *= r
            key += c
        return cls.from_keys(key, radix)


def _digits(keys: npt.NDArray[np.integer[Any]], radix: Sequence[int]) -> npt.NDArray[np.intp]:
    """The levels of each key, one column per comparison."""
    out = np.empty((len(keys), len(radix)), dtype=np.intp)
    rest = keys.astype(np.int64)
    for k in range(len(radix) - 1, -1, -1):
        out[:, k] = rest % radix[k]
        rest //= radix[k]
    return out


def _log_tables(params: Sequence[F64Array]) -> list[F64Array]:
    """log of each level's probability, 0.0 for the missing level."""
    return [np.append(np.log(p), 0.0) for p in params]


@dataclass
class EMResult:
    m: list[F64Array]
    share: float
    n_iter: int
    converged: bool
    worst: int


def run_em(patterns: Patterns, m: list[F64Array], u: list[F64Array], share: float, active: Sequence[int],
           *, update_m: bool, max_iter: int, tol: float) -> EMResult:
    """EM over pattern counts: updates the m of the ``active`` comparisons
    (when ``update_m``) and the match share; the others are left out of the
    likelihood. ``worst`` is the comparison that changed most in the last
    iteration (-1: the share)."""
    m = [p.copy() for p in m]
    log_u = _log_tables(u)
    codes, counts = patterns.codes, patterns.counts
    total = counts.sum()
    odds_u = np.zeros(len(counts))
    for c in active:
        odds_u += log_u[c][codes[:, c]]
    worst = -1
    for iteration in range(1, max_iter + 1):
        log_m = _log_tables(m)
        odds = np.full(len(counts), math.log(share) - math.log1p(-share))
        for c in active:
            odds += log_m[c][codes[:, c]]
        odds -= odds_u
        posterior = 1.0 / (1.0 + np.exp(-np.clip(odds, -700, 700)))
        weighted = counts * posterior
        matched = weighted.sum()
        new_share = min(max(matched / total, _FLOOR), 1 - _FLOOR) if total else share
        change, worst = abs(new_share - share), -1
        share = new_share
        if update_m and matched > 0:
            for c in active:
                k = len(m[c])
                mass = np.bincount(codes[:, c], weights=weighted, minlength=k + 1)[:k]
                if mass.sum() <= 0:
                    continue
                new = np.maximum(mass / mass.sum(), _FLOOR)
                new /= new.sum()
                delta = float(np.max(np.abs(new - m[c])))
                if delta > change:
                    change, worst = delta, c
                m[c] = new
        if change < tol:
            return EMResult(m, share, iteration, True, worst)
    return EMResult(m, share, max_iter, False, worst)


# ---- the model ------------------------------------------------------------------


class FellegiSunter:
    """Fellegi-Sunter match model, trained without labels.

    ``comparisons`` uses ``compare``'s vocabulary plus the thresholds that
    cut each score into levels: ``(column, metric, thresholds)`` or
    ``(left_column, right_column, metric, thresholds)``; without thresholds
    a metric gets ``DEFAULT_THRESHOLDS[metric]``. ``prior``, if given, is the
    probability that two random records match, and ``fit`` keeps it instead of
    estimating it. EM stops when no m and not the match share moves by
    ``tol`` or more in an iteration, or raises after ``max_iter``.

    Learned by ``fit``: ``m_`` and ``u_`` (one array per comparison, one value
    per level, closest level first; the missing level has weight 0),
    ``prior_``, ``n_iter_``, ``converged_``, ``n_candidates_``, and
    ``term_frequencies_`` (per ``(column, "term_frequency")`` entry, the
    values of fit's tables and their shares, which ``score_partition`` looks
    pairs up in).
    """

    def __init__(self, comparisons: Sequence[Comparison], *, prior: float | None = None, max_iter: int = 1000,
                 tol: float = 1e-6) -> None:
        self.comparisons = comparisons
        self.prior = prior
        self.max_iter = max_iter
        self.tol = tol

    # scikit-learn's estimator protocol (clone, grid search).
    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {"comparisons": self.comparisons, "prior": self.prior, "max_iter": self.max_iter, "tol": self.tol}

    def set_params(self, **params: Any) -> FellegiSunter:
        for key, value in params.items():
            if key not in self.get_params():
                raise ValueError(f"invalid parameter {key!r} for FellegiSunter")
            setattr(self, key, value)
        return self

    def __repr__(self) -> str:
        extra = "".join(f", {k}={v!r}" for k, v, d in (("prior", self.prior, None), ("max_iter", self.max_iter, 1000),
                                                         ("tol", self.tol, 1e-6)) if v != d)
        return f"FellegiSunter({self.comparisons!r}{extra})"

    # ---- fitting --------------------------------------------------------------

    def fit(self, left: Any, right: Any, pairs: tuple[npt.ArrayLike, npt.ArrayLike], *,
            rules: Sequence[Any] | None = None, u_pairs: int = 1_000_000, em_pairs: int | None = 1_000_000,
            seed: int = 0) -> FellegiSunter:
        """Learns u from ``u_pairs`` random record pairs (every pair when
        there are no more), m by EM on the candidate ``pairs``
        (``(left_positions, right_positions)``, or ``link``'s table;
        ``right`` None to deduplicate ``left``), and the prior. With ``rules`` (the
        list ``candidates`` took), EM runs one chained pass per rule over its
        pairs. Past ``em_pairs`` candidate pairs, EM runs on that many of them
        drawn at random without replacement (None: on all of them); the prior
        still counts every candidate pair. Deterministic for a ``seed``,
        whatever the order of ``pairs``.
        Returns ``self``."""
        if isinstance(self.comparisons, Iterator):
            # Stored as given, and read again by every later call.
            raise TypeError("comparisons must be a list, not an iterator, which the first reading would use up")
        if isinstance(rules, Iterator):
            rules = list(rules)  # read once per rule's pass below, and once to check them
        entries = entries_of(self.comparisons)
        adjustments = adjustments_of(entries)
        levels = [e for e in entries if not e.frequency]
        self._check_settings()
        other = left if right is None else right
        n_left = _num_rows(left)
        n_right = n_left if right is None else _num_rows(right)
        possible = n_left * (n_left - 1) // 2 if right is None else n_left * n_right
        if possible < 1:
            raise ValueError("fit needs at least two records")
        u_pairs = _whole(u_pairs, "u_pairs", 1)
        em_pairs = None if em_pairs is None else _whole(em_pairs, "em_pairs", 1, " or None")
        seed = _whole(seed, "seed", 0)

        scorer = _PairScorer(levels, self.comparisons, left, other)
        # u: random record pairs (distinct records when deduplicating).
        rng = np.random.default_rng(seed)
        if possible <= u_pairs:
            # Every pair (both orders of each when deduplicating, as the
            # draws below give them): u exactly, rather than from as many
            # draws as there are pairs, with repeats.
            others = n_left - 1 if right is None else n_right
            i = np.repeat(np.arange(n_left, dtype=np.int64), others)
            j = np.tile(np.arange(others, dtype=np.int64), n_left)
            if right is None:
                j += j >= i
        else:
            i = rng.integers(0, n_left, u_pairs)
            # In left order (the right positions are drawn independently, so
            # the pairs stay uniform): the left records are then read in one
            # sweep instead of at random, which matters once the columns
            # outgrow the cache (about twice as fast on 300,000 records).
            i = np.repeat(np.arange(n_left, dtype=np.int64), np.bincount(i, minlength=n_left))
            if right is None:
                j = rng.integers(0, n_left - 1, u_pairs)
                j += j >= i
            else:
                j = rng.integers(0, n_right, u_pairs)
        # u is each comparison's own share of the levels: no combinations.
        randoms = scorer.codes((i, j))
        u = []
        for c, level in enumerate(levels):
            tally = np.bincount(randoms[c], minlength=level.n_levels + 1)[:level.n_levels].astype(np.float64)
            tally = np.maximum(tally, 1.0)  # never seen: at most one in so many pairs
            u.append(tally / tally.sum())

        positions = _distinct_pairs(scorer.positions(pairs), n_right, right is None)
        n_pairs = len(positions[0])
        if n_pairs == 0:
            raise ValueError("pairs is empty: fit needs the candidate pairs")
        if em_pairs is not None and n_pairs > int(em_pairs):
            # A uniform sample keeps every level combination's share (and so m
            # and the match share) in expectation; in pair order, so the
            # records are read in the order candidates gave them.
            chosen = _pair_sample(positions, int(em_pairs), int(seed))
            positions = (positions[0][chosen], positions[1][chosen])
        found = scorer.levels(positions)
        everything = found.patterns()
        constant: set[int] = set()
        for c, level in enumerate(levels):
            seen = np.unique(everything.codes[:, c])
            if len(seen[seen < level.n_levels]) < 2:
                constant.add(c)
        if len(constant) == len(levels):
            # Matches and non-matches look alike: EM has nothing to tell
            # them apart by, and would wander without converging.
            described = ", ".join(f"{levels[c].name!r} {_only_level(everything, c, levels[c])}"
                                  for c in range(len(levels)))
            raise ValueError(f"every candidate pair has the same comparison levels ({described}), so there is "
                             "nothing to learn from: compare columns whose values differ between the candidate "
                             "pairs, or block on other columns than the ones compared")
        for c in sorted(constant):
            if (everything.codes[:, c] == levels[c].n_levels).all():
                warnings.warn(f"comparison {levels[c].name!r} has no value on any candidate pair (a column missing "
                              "throughout?): its m cannot be learned, and its weights are the initial guess",
                              stacklevel=2)
                continue
            warnings.warn(f"comparison {levels[c].name!r} has the same level on every candidate pair with a value "
                          "(a column the rules block on?): its m cannot be learned there", stacklevel=2)

        m = [_initial_m(level.n_levels) for level in levels]
        n_iter = 0
        every = list(range(len(levels)))
        if rules:
            membership = _RuleMembership(left, right, rules, positions)
            learned: set[int] = set()
            for k, rule in enumerate(rules):
                blocked_left, blocked_right = rule_columns(rule)
                active = [c for c, lv in enumerate(levels)
                          if lv.left not in blocked_left and lv.right not in blocked_right]
                if not active:
                    continue
                patterns = found.patterns(membership.of(k))
                if not patterns.counts.sum():
                    continue
                # One level on every pair of the rule (say, a date compared
                # while the rule blocks on the text it was parsed from): EM
                # would put all of that comparison's m on it, so it keeps
                # what the other passes learn.
                active = [c for c in active
                          if np.count_nonzero(patterns.level_counts(c, levels[c].n_levels)) >= 2]
                if not active:
                    continue
                result = run_em(patterns, m, u, 0.5, active, update_m=True, max_iter=int(self.max_iter), tol=self.tol)
                self._raise_unconverged(result, levels, f" (the pass over the pairs of rule {rule!r})")
                m, n_iter = result.m, n_iter + result.n_iter
                learned.update(active)
            for c in sorted(set(every) - learned - constant):
                warnings.warn(f"comparison {levels[c].name!r} is learned in no rule's pass (each rule blocks on its "
                              "columns, or holds it at one level): its m cannot be learned there", stacklevel=2)
            result = run_em(everything, m, u, 0.1, every, update_m=False, max_iter=int(self.max_iter), tol=self.tol)
        else:
            result = run_em(everything, m, u, 0.1, every, update_m=True, max_iter=int(self.max_iter), tol=self.tol)
        self._raise_unconverged(result, levels, "")
        m, n_iter = result.m, n_iter + result.n_iter

        self.m_ = m
        self.u_ = u
        self.candidate_share_ = float(result.share)
        if self.prior is None:
            prior = result.share * n_pairs / possible
            self.prior_ = float(min(max(prior, _FLOOR), 1 - _FLOOR))
        else:
            self.prior_ = float(self.prior)
        self.n_iter_ = n_iter
        self.converged_ = True
        self.n_candidates_ = n_pairs
        self.feature_names_in_ = tuple(e.name for e in entries)
        counted = [_fitted_frequencies(entries[adj.position], left, right) for adj in adjustments]
        self.term_frequencies_ = {adj.name: table for adj, (table, _) in zip(adjustments, counted)}
        self.patterns_ = everything.codes.astype(np.uint8)
        self.pattern_counts_ = everything.counts
        self._weighed = _weighed_patterns(found, everything, positions, adjustments, counted)
        self.table_kind_ = kind_of(left, "left")
        return self

    def _check_settings(self) -> None:
        if self.prior is not None and not 0 < _real(self.prior, "prior") < 1:
            raise ValueError(f"prior must be strictly between 0 and 1, not {self.prior!r}")
        _whole(self.max_iter, "max_iter", 1)
        if not _real(self.tol, "tol") > 0:
            raise ValueError(f"tol must be positive, not {self.tol!r}")

    def _raise_unconverged(self, result: EMResult, levels: list[Level], where: str) -> None:
        if result.converged:
            return
        what = "the match share" if result.worst < 0 else f"the m of comparison {levels[result.worst].name!r}"
        raise ValueError(f"EM did not converge in {result.n_iter} iterations{where}: {what} still moved by "
                         f"tol={self.tol:g} or more; raise max_iter or tol")

    # ---- scoring --------------------------------------------------------------

    def _fitted(self) -> list[Level]:
        if not hasattr(self, "m_"):
            raise ValueError("this FellegiSunter is not fitted yet: call fit first")
        return levels_of(self.comparisons)

    def _entries(self) -> tuple[list[Level], list[Adjustment]]:
        self._fitted()
        entries = entries_of(self.comparisons)
        return entries, adjustments_of(entries)

    def weight_tables(self) -> list[F64Array]:
        """Per comparison, log2(m / u) of each level, then 0.0 for missing."""
        # math.log2 (the C library's) on each of the few values: the same
        # bits on every machine, whatever NumPy's vector log2 does.
        return [np.array([math.log2(float(a) / float(b)) for a, b in zip(m, u)] + [0.0])
                for m, u in zip(self.m_, self.u_)]

    @property
    def prior_weight_(self) -> float:
        """log2 of the prior's odds."""
        return math.log2(self.prior_ / (1 - self.prior_))

    def match_weight(self, features: Any) -> F64Array:
        """Match weight of every pair: log2 of the prior's odds, plus log2(m/u)
        of each comparison's level, added in the order of the comparisons.

        ``features`` is ``compare``'s table (any kind; columns by name) or a
        2-D array whose columns are in the order of the comparisons, with a
        missing comparison as NaN (``compare(..., missing="nan")``): a
        negative value, which no comparison scores, is a fill value and
        raises ``ValueError``."""
        entries, adjustments = self._entries()
        cuts = _Cuts(entries)
        # A term frequency is a row of its own, with one level weighing 0.
        tables = iter(self.weight_tables())
        weights = [np.zeros(2) if e.frequency else next(tables) for e in entries]
        rows = _score_rows(features, entries)
        try:
            w: F64Array = _corvane_rs.match_weight_batch(rows, cuts.thresholds, cuts.counts, cuts.distance,
                                                         np.concatenate(weights) if weights else np.zeros(0),
                                                         self.prior_weight_)
        except ValueError as error:
            found = re.match(r"^scores\[(\d+), (\d+)\] = ", str(error))
            if found is None:
                raise
            c, k = int(found[1]), int(found[2])
            raise ValueError(f"features: column {entries[c].name!r} holds {float(rows[c][k])!r} at pair {k}, but no "
                             "comparison scores below 0: it is the fill value of a missing comparison, which this "
                             "model would read as a level; give it compare's features with missing=\"nan\" (a missing "
                             "value is then a level of its own, of weight 0)") from None
        for adj in adjustments:
            try:
                w = _corvane_rs.frequency_weight_batch(w, rows[adj.position], rows[adj.target_position],
                                                       entries[adj.target_position].thresholds[0],
                                                       float(self.u_[adj.target][0]))
            except ValueError as error:
                found = re.match(r"^frequency\[(\d+)\] = ", str(error))
                if found is None:
                    raise
                k = int(found[1])
                raise ValueError(f"features: column {adj.name!r} holds {float(rows[adj.position][k])!r} at pair {k}; "
                                 "a term frequency is a share of the records, in (0, 1]") from None
        return w

    def predict_proba(self, features: Any) -> F64Array:
        """Match probability of every pair, ``2**w / (1 + 2**w)`` of its match
        weight ``w``, computed so that it cannot overflow: 1.0 and 0.0 at the
        extremes, never NaN for a finite weight."""
        return probability_of(self.match_weight(features))

    # ---- inspection -----------------------------------------------------------

    def parameters(self, kind: str | None = None) -> Any:
        """A table of comparison, level, condition, m, u and weight (log2(m/u)),
        the prior's row first. ``kind``: "pandas", "polars" or "arrow"; by
        default the kind of the table ``fit`` was given."""
        levels = self._fitted()
        rows: dict[str, list[Any]] = {k: [] for k in ("comparison", "level", "condition", "m", "u", "weight")}

        def row(*values: Any) -> None:
            for key, value in zip(rows, values):
                rows[key].append(value)

        row("prior", 0, f"two random records match: {self.prior_:.3g}", math.nan, math.nan, self.prior_weight_)
        for lv, m, u, table in zip(levels, self.m_, self.u_, self.weight_tables()):
            for k, condition in enumerate(lv.conditions()):
                row(lv.name, k, condition, float(m[k]), float(u[k]), float(table[k]))
            row(lv.name, lv.n_levels, "missing", math.nan, math.nan, 0.0)
        entries, adjustments = self._entries()
        for adj in adjustments:
            row(adj.name, 0, f"{entries[adj.target_position].name} level 0, equal values: + log2(u / the value's "
                "term frequency)", math.nan, float(self.u_[adj.target][0]), math.nan)
        chosen = str(getattr(self, "table_kind_", "pandas")) if kind is None else table_kind(kind)
        return from_columns({"arrow": "table"}.get(chosen, chosen), rows)

    def chart(self, path: Any = None, *, axes: Any = None) -> Any:
        """Draws the weight of every level and the match-weight distribution
        over the candidate pairs the model was fitted on; saves a PNG at
        ``path`` if given. ``axes``: two matplotlib Axes to draw into instead
        of a new figure. Returns the figure."""
        from ._chart import draw

        self._fitted()
        return draw(self, path, axes)

    def candidate_weights(self) -> tuple[F64Array, I64Array]:
        """The match weights of the candidate pairs the model was fitted on
        (EM's sample of them past ``em_pairs``), as ``match_weight`` gives
        them, term-frequency adjustments included: the weight of each
        distinct combination of levels and term frequencies seen among
        them, and how many pairs had it (int64)."""
        self._fitted()
        entries, adjustments = self._entries()
        weighed = getattr(self, "_weighed", None)
        if weighed is None:   # a model pickled by an older version: no term frequencies per pair
            weighed = _Weighed(self.patterns_, np.zeros((len(self.pattern_counts_), 0)),
                               self.pattern_counts_.astype(np.int64))
            adjustments = []
        # In match_weight's order: the prior, each comparison's level, then
        # each adjustment.
        w = np.full(len(weighed.counts), self.prior_weight_)
        for table, codes in zip(self.weight_tables(), weighed.levels.T):
            w += table[codes]
        for k, adj in enumerate(adjustments):
            exact = entries[adj.target_position].thresholds[0]
            at_exact = np.where(weighed.levels[:, adj.target] == 0, exact, np.nan)
            w = _corvane_rs.frequency_weight_batch(w, np.ascontiguousarray(weighed.frequencies[:, k]), at_exact,
                                                   exact, float(self.u_[adj.target][0]))
        return w, weighed.counts


def _whole(value: Any, name: str, least: int | None = None, other: str = "") -> int:
    """An integer argument as an int: a bool is no count, and a fraction
    would be cut silently (a whole float, such as 1e6, is its integer)."""
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer{other}, not {type(value).__name__}")
    if least is not None and value < least:
        raise ValueError(f"{name} must be at least {least}{other}, not {value}")
    return int(value)


def _real(value: Any, name: str) -> float:
    """A number argument as a float: a bool is no number here."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def probability_of(weights: F64Array) -> F64Array:
    """``2**w / (1 + 2**w)`` without overflow."""
    small = np.exp2(-np.abs(weights))
    out: F64Array = np.where(weights >= 0, 1.0 / (1.0 + small), small / (1.0 + small))
    return out


class _Cuts:
    """The levels' thresholds as the engine's level functions take them."""

    def __init__(self, levels: Sequence[Level]) -> None:
        self.thresholds = np.array([t for lv in levels for t in lv.cuts], dtype=np.float64)
        self.counts = np.array([len(lv.thresholds) for lv in levels], dtype=np.int64)
        self.distance = np.array([lv.distance for lv in levels], dtype=np.int64)
        self.radix = [lv.n_levels + 1 for lv in levels]
        # Keys of one int64 each, or (beyond that) the codes column by column.
        self.keyed = math.prod(self.radix) < 1 << 62


class _PairLevels:
    """Every pair's combination of levels: one key each, or the level codes
    of each comparison where the combinations would not fit in a key."""

    def __init__(self, radix: list[int], keys: I64Array | None, codes: list[npt.NDArray[np.uint8]]) -> None:
        self.radix, self.keys, self.codes = radix, keys, codes

    def level_of(self, c: int) -> npt.NDArray[np.integer[Any]]:
        """Every pair's level of comparison ``c``."""
        if self.keys is None:
            return self.codes[c]
        return (self.keys // math.prod(self.radix[c + 1:])) % self.radix[c]

    def patterns(self, chosen: npt.NDArray[np.bool_] | None = None) -> Patterns:
        if self.keys is not None:
            return Patterns.from_keys(self.keys if chosen is None else self.keys[chosen], self.radix)
        return Patterns.count(self.codes if chosen is None else [c[chosen] for c in self.codes], self.radix)


class _PairScorer:
    """Levels of record pairs for fit, straight from the record columns: the
    columns are converted once, and the engine (``compare_levels``) cuts each
    pair's levels without a table of scores; a bound decides most pairs that
    fall to the lowest level without scoring them at all."""

    def __init__(self, levels: list[Level], comparisons: Sequence[Comparison], left: Any, right: Any) -> None:
        from ._compare import arrow_column

        self.levels_ = levels
        self.cuts = _Cuts(levels)
        self.pairings = [p for p in pairings_of(comparisons) if not p.frequency]
        left_kind, right_kind = kind_of(left, "left"), kind_of(right, "right")
        self.left = {p.left: arrow_column(left, left_kind, p.left, "left") for p in self.pairings}
        # Deduplicating: the one table's columns serve both sides, so the
        # engine converts (and sums up) each of them once.
        self.right = self.left if right is left and all(p.right in self.left for p in self.pairings) else {
            p.right: arrow_column(right, right_kind, p.right, "right") for p in self.pairings}
        self.sizes = (_num_rows(left), _num_rows(right))
        self.converted: dict[tuple[int, bool], Any] = {}
        self.columns: tuple[list[Any], list[Any]] | None = None

    def positions(self, pairs: Any) -> tuple[I64Array, I64Array]:
        """The pairs' positions, checked."""
        from ._compare import _positions

        return _positions(pairs, self.sizes)

    def _engine_columns(self) -> tuple[list[Any], list[Any]]:
        """Each comparison's two record columns as the engine reads them."""
        from ._compare import _check_time_zones, engine_floats, engine_strings

        if self.columns is not None:
            return self.columns
        names = ("left", "right")
        for p in self.pairings:
            if p.numeric:
                _check_time_zones(_pyarrow(), p, self.left[p.left].type, self.right[p.right].type, names)

        def values(side: int, p: Any) -> Any:
            column = (p.left, p.right)[side]
            source = (self.left, self.right)[side][column]
            key = (id(source), p.numeric)
            if key not in self.converted:
                convert = engine_floats if p.numeric else engine_strings
                self.converted[key] = convert(source, column, names[side], p.metric)
            return self.converted[key]

        self.columns = ([values(0, p) for p in self.pairings], [values(1, p) for p in self.pairings])
        return self.columns

    def codes(self, pairs: Any) -> npt.NDArray[np.uint8]:
        """The level of every comparison (rows) of every pair (columns)."""
        i, j = self.positions(pairs)
        cuts = self.cuts
        left, right = self._engine_columns()
        metrics = [cast(Union[StringMetric, NumericMetric], p.metric) for p in self.pairings]
        codes: npt.NDArray[np.uint8] = _corvane_rs.compare_levels(left, right, metrics, i, j, cuts.thresholds,
                                                                   cuts.counts, cuts.distance)
        return codes

    def levels(self, pairs: Any) -> _PairLevels:
        codes = self.codes(pairs)
        cuts = self.cuts
        if not cuts.keyed:
            return _PairLevels(cuts.radix, None, list(codes))
        keys = np.zeros(codes.shape[1], dtype=np.int64)
        for row, r in zip(codes, cuts.radix):
            keys *= r
            keys += row
        return _PairLevels(cuts.radix, keys, [])


class _RuleMembership:
    """Which of the candidate pairs each rule finds: for a rule of equal keys,
    the pairs whose two records have the same code (as ``candidates`` makes
    them); for a sorted neighbourhood, the rule's own candidates."""

    def __init__(self, left: Any, right: Any, rules: Sequence[Any], pairs: tuple[I64Array, I64Array]) -> None:
        from ._blocking import _prepare

        self.left, self.right, self.pairs = left, right, pairs
        self.parsed, self.encoder, self.n_left, _ = _prepare(left, right, rules)

    def of(self, k: int) -> npt.NDArray[np.bool_]:
        """The pairs rule ``k`` finds."""
        parsed = self.parsed[k]
        if parsed.window:
            from ._blocking import candidates

            return _member(candidates(self.left, self.right, rules=[parsed.rule]), self.pairs)
        codes = self.encoder.rule_codes(parsed)
        left_codes = codes[: self.n_left]
        right_codes = left_codes if self.right is None else codes[self.n_left:]
        a = left_codes[self.pairs[0]]
        out: npt.NDArray[np.bool_] = (a == right_codes[self.pairs[1]]) & (a >= 0)
        return out


def _distinct_pairs(pairs: tuple[I64Array, I64Array], n_right: int,
                    dedupe: bool) -> tuple[I64Array, I64Array]:
    """The candidate pairs, each once: a pair given twice would count twice
    in EM and in the prior, and so would (j, i) after (i, j) when
    deduplicating, where a record paired with itself is no candidate at all
    and is refused. Pairs that are already distinct and sorted (as
    candidates gives them) are returned as they are after one pass."""
    i, j = pairs
    if dedupe:
        itself = np.flatnonzero(i == j)
        if itself.size:
            k = int(itself[0])
            raise ValueError(f"pairs: pair {k} pairs record {int(i[k])} with itself; when deduplicating, every "
                             "candidate pair holds two distinct records")
        if not bool(np.all(i < j)):
            i, j = np.minimum(i, j), np.maximum(i, j)
    # Strictly increasing by (i, j) means distinct; checked without keys, as
    # the pairs may be many.
    if len(i) < 2 or bool(np.all((i[1:] > i[:-1]) | ((i[1:] == i[:-1]) & (j[1:] > j[:-1])))):
        return i, j
    keys = np.unique(i * np.int64(n_right) + j)
    return keys // n_right, keys % n_right


def _pair_sample(pairs: tuple[I64Array, I64Array], k: int, seed: int) -> npt.NDArray[np.intp]:
    """Where the k pairs of the seed's sample are, in pair order. A pair is
    drawn by a hash of its two positions and the seed, so the same pairs
    given in another order (or with another ``u_pairs``) give the same sample."""
    z = pairs[0].astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    z ^= pairs[1].astype(np.uint64) + np.uint64(seed & (2**64 - 1))
    for shift, factor in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
        z ^= z >> np.uint64(shift)
        z *= np.uint64(factor)
    z ^= z >> np.uint64(31)
    return np.sort(np.argpartition(z, k - 1)[:k])


def _only_level(patterns: Patterns, c: int, level: Level) -> str:
    """The one level with a value comparison ``c`` has on the pairs, as a
    condition ("missing" when it has none)."""
    seen = np.unique(patterns.codes[:, c])
    valued = seen[seen < level.n_levels]
    return f"at {level.conditions()[int(valued[0])]}" if valued.size else "missing"


def _initial_m(n_levels: int) -> F64Array:
    """Most matches at the closest level, the rest halving level by level."""
    m = 0.5 ** np.arange(n_levels, dtype=np.float64) * 0.1
    m[0] = 0.0
    m[0] = 1.0 - m.sum()
    return m


def _num_rows(frame: Any) -> int:
    kind = kind_of(frame, "left")
    return int(frame.num_rows) if kind in ("table", "batch") else int(frame.shape[0])


def _fitted_frequencies(entry: Level, left: Any, right: Any) -> tuple[TermFrequencies, tuple[I64Array, I64Array]]:
    """The term frequencies over the records fit was given (both tables
    together when linking), counted as ``compare`` counts them: when
    deduplicating, the one table is both sides, so a comparison of two of
    its columns counts the values of both. With them, the code of each
    record's value on the left and on the right side."""
    from ._compare import arrow_column

    columns = [arrow_column(left, kind_of(left, "left"), entry.left, "left")]
    if right is not None:
        columns.append(arrow_column(right, kind_of(right, "right"), entry.right, "right"))
    elif entry.right != entry.left:
        columns.append(arrow_column(left, kind_of(left, "left"), entry.right, "left"))
    table, codes = TermFrequencies.over(columns, [entry.left, entry.right])
    return table, (codes[0], codes[-1])


@dataclass
class _Weighed:
    """The fitted pairs as the chart weighs them: each distinct combination
    of levels and of the term frequencies that adjust it, and how many pairs
    have it."""

    levels: npt.NDArray[np.uint8]   # (combinations, comparisons with levels)
    frequencies: F64Array           # (combinations, adjustments); NaN: not adjusted
    counts: I64Array


def _weighed_patterns(found: _PairLevels, everything: Patterns, positions: tuple[I64Array, I64Array],
                      adjustments: Sequence[Adjustment],
                      counted: Sequence[tuple[TermFrequencies, tuple[I64Array, I64Array]]]) -> _Weighed:
    """The combinations of levels EM counted, split further by the term
    frequency of each adjustment where it applies (the adjusted comparison
    at its exact level, the two values equal): a pair's match weight is
    then its combination's."""
    if not adjustments:
        return _Weighed(everything.codes.astype(np.uint8), np.zeros((len(everything.counts), 0)),
                        everything.counts.astype(np.int64))
    # One column per comparison's level (or one key for all of them), then
    # per adjustment the code of the pair's value plus one (0: none).
    columns = [found.keys] if found.keys is not None else [c.astype(np.int64) for c in found.codes]
    sizes = [math.prod(found.radix)] if found.keys is not None else list(found.radix)
    for adj, (table, (left_codes, right_codes)) in zip(adjustments, counted):
        a, b = left_codes[positions[0]], right_codes[positions[1]]
        applies = (a == b) & (a >= 0) & (found.level_of(adj.target) == 0)
        columns.append(np.where(applies, a + 1, 0))
        sizes.append(len(table.shares) + 1)
    rows, counts = _distinct_rows(columns, sizes)
    n_levels = 1 if found.keys is not None else len(found.radix)
    levels = _digits(rows[0], found.radix) if found.keys is not None else np.column_stack(rows[:n_levels])
    frequencies = np.full((len(counts), len(adjustments)), np.nan)
    for k, ((table, _), codes) in enumerate(zip(counted, rows[n_levels:])):
        given = codes > 0
        frequencies[given, k] = table.shares[codes[given] - 1]
    return _Weighed(levels.astype(np.uint8), frequencies, counts)


def _distinct_rows(columns: Sequence[I64Array], sizes: Sequence[int]) -> tuple[list[I64Array], I64Array]:
    """The distinct rows of the columns (column k in [0, sizes[k])), in
    order, and how many times each occurs."""
    if math.prod(sizes) < 1 << 62:
        key = np.zeros(len(columns[0]), dtype=np.int64)
        for column, size in zip(columns, sizes):
            key *= size
            key += column
        found, counts = np.unique(key, return_counts=True)
        digits = _digits(found, sizes)
        return [digits[:, k].astype(np.int64) for k in range(len(sizes))], counts.astype(np.int64)
    order = np.lexsort(columns[::-1])
    ordered = [c[order] for c in columns]
    first = np.ones(len(order), dtype=np.bool_)
    if len(order):
        first[1:] = np.any([c[1:] != c[:-1] for c in ordered], axis=0)
    starts = np.flatnonzero(first)
    counts = np.diff(np.append(starts, len(order))).astype(np.int64)
    return [c[starts] for c in ordered], counts


def _scores(features: Any, levels: list[Level]) -> list[F64Array]:
    """The score column of each comparison, from compare's table (by name) or
    a 2-D array (by position)."""
    names = [lv.name for lv in levels]
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(features, pd.DataFrame):
        _require(list(map(str, features.columns)), names)
        return [np.asarray(features[n].to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64) for n in names]
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(features, pl.DataFrame):
        _require(features.columns, names)
        return [np.asarray(features.get_column(n).to_numpy(), dtype=np.float64) for n in names]
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(features, (pa.Table, pa.RecordBatch)):
        _require(features.column_names, names)
        pc = _pyarrow().compute
        return [np.asarray(pc.cast(features.column(n), pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
                for n in names]
    array = np.asarray(features, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != len(levels):
        raise ValueError(f"features must be compare's table or a 2-D array of {len(levels)} columns (one per "
                         f"comparison, in order), not of shape {array.shape}")
    return [array[:, k] for k in range(len(levels))]


def _score_rows(features: Any, levels: list[Level]) -> F64Array:
    """The scores as one (comparisons, pairs) float64 array: a view of
    ``compare``'s pandas table or of a 2-D array, otherwise the columns
    stacked."""
    names = [lv.name for lv in levels]
    pd = sys.modules.get("pandas")
    if isinstance(features, np.ndarray) and features.dtype == np.float64:
        if features.ndim != 2 or features.shape[1] != len(levels):
            raise ValueError(f"features must be compare's table or a 2-D array of {len(levels)} columns (one per "
                             f"comparison, in order), not of shape {features.shape}")
        return features.T
    if (pd is not None and isinstance(features, pd.DataFrame) and list(map(str, features.columns)) == names
            and all(t == np.float64 for t in features.dtypes)):
        block: F64Array = features.to_numpy(dtype=np.float64, copy=False)
        return block.T
    columns = _scores(features, levels)
    return np.stack(columns) if columns else np.zeros((0, _num_pairs(features)))


def _num_pairs(features: Any) -> int:
    shape = getattr(features, "shape", None)
    return int(shape[0]) if shape is not None else int(features.num_rows)


def _require(columns: Sequence[str], names: Sequence[str]) -> None:
    present = set(columns)
    for name in names:
        if name not in present:
            what = "the term frequencies the model adjusts by" if name.endswith("_term_frequency") else \
                f"comparison {name!r}"
            raise ValueError(f"features have no column {name!r} ({what}); compare's table with "
                             "the model's comparisons has it")


def _positions_of(pairs: Any) -> tuple[I64Array, I64Array]:
    return np.asarray(pairs[0], dtype=np.int64), np.asarray(pairs[1], dtype=np.int64)


def _member(subset: Any, pairs: tuple[I64Array, I64Array]) -> npt.NDArray[np.bool_]:
    """Which of ``pairs`` are among ``subset`` (both as position arrays)."""
    a0, a1 = _positions_of(subset)
    width = int(max(pairs[1].max(initial=0), a1.max(initial=0))) + 1
    return np.isin(pairs[0] * width + pairs[1], a0 * width + a1)


def is_fellegi_sunter(model: object) -> bool:
    return isinstance(model, FellegiSunter)

