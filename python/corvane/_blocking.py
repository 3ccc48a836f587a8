"""``candidates``, ``count_candidates``, ``clusters`` and ``link``: from two
tables (or one) to candidate pairs, scored pairs and entities.

``candidates`` checks the rules against both tables (columns, types) before
any work, encodes every rule into one int64 code per record (``_rules``) and
lets the engine build the pairs: an index per rule, then per left record the
pairs of each rule not already held by an earlier one, counted in a first
pass and written at their offsets in a second, over the worker pool.

``link`` streams: the engine builds the index once per call
(``candidate_index``); its first pass gives every left record's pair
count, from which the left records are cut into runs of at most
``batch_pairs`` pairs (a record with more pairs than that is a run of its
own); each run's pairs are built, compared and scored, and only the positions
and probabilities of the pairs at or above the threshold are kept. Every
pair is compared and scored on its own, so the probabilities do not depend
on the batches, and the kept pairs' comparison scores are computed again at
the end, straight into the result's columns.
"""

from __future__ import annotations

import math
import numbers
import sys
import warnings
from collections.abc import Iterable, Iterator
from typing import Any, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt

import _corvane_rs

from ._compare import BatchScorer, Comparison, Missing, arrow_column, check_missing, from_columns, kind_of, pairings_of
from ._compare import _missing_positions, _num_rows, _pyarrow, refuse_pair_list
from ._rules import Key, KeyEncoder, ParsedRule, parse_rules
from ._partition import _model_order, check_model_missing
from ._scorer import Scorer

__all__ = ["candidates", "count_candidates", "clusters", "link"]

I64Array: TypeAlias = npt.NDArray[np.int64]
Frame = TypeVar("Frame")


# Records a blocking call takes, both tables together: fewer than 2**32.
_MAX_RECORDS = 2**32


def _prepare(left: object, right: object | None, rules: object) -> tuple[list[ParsedRule], KeyEncoder, int, int]:
    parsed = parse_rules(rules)
    left_kind = kind_of(left, "left")
    dedupe = right is None
    right_kind = left_kind if dedupe else kind_of(right, "right")
    encoder = KeyEncoder(left, left_kind, left if dedupe else right, right_kind, dedupe)
    encoder.check(parsed)
    n_left = _num_rows(left, left_kind)
    n_right = n_left if dedupe else _num_rows(right, right_kind)
    records = n_left if dedupe else n_left + n_right
    if records >= _MAX_RECORDS:
        # Keys number the records of both tables in 32 bits: refused before
        # any column is read.
        held = f"left holds {records:,} records" if dedupe else f"left and right hold {records:,} records together"
        raise ValueError(f"{held}; blocking takes fewer than 2**32")
    return parsed, encoder, n_left, n_right


def _check_max_pairs(max_pairs: object) -> None:
    if max_pairs is None:
        return
    if isinstance(max_pairs, bool) or not isinstance(max_pairs, numbers.Integral):
        raise TypeError(f"max_pairs must be an integer or None, not {type(max_pairs).__name__}")
    if max_pairs < 0:
        raise ValueError(f"max_pairs must be at least 0, not {max_pairs}")


def candidates(
    left: object,
    right: object | None = None,
    *,
    rules: Iterable[object],
    max_pairs: int | None = None,
) -> tuple[I64Array, I64Array]:
    """Candidate pairs of ``left`` and ``right`` (or, with ``right=None``,
    of ``left`` with itself: the pairs i < j) under blocking rules.

    ``rules`` is a list; a pair is a candidate when any rule holds, and
    appears once whichever rules found it. A rule is a column name (equal
    values), a key (``prefix(column, n)``, ``year(column)``,
    ``soundex(column)``, ``on(left_column, right_column)``), a tuple of
    columns and keys (all equal), or ``SortedNeighbourhood(column, window)``.
    A missing value (null, None, NaN) equals nothing, itself included.

    Returns ``(left_positions, right_positions)``, int64 arrays sorted by
    left then right position: ``compare``'s ``pairs``. With ``max_pairs``,
    a ``ValueError`` names the rule that would pass the limit before any
    pair is built.
    """
    _check_max_pairs(max_pairs)
    parsed, encoder, n_left, _ = _prepare(left, right, rules)
    keys = encoder.encode(parsed, n_left)
    encoder.release()  # the per-key codes: only the rules' keys are needed now
    dedupe = int(right is None)
    if max_pairs is not None:
        index = _corvane_rs.candidate_index(*keys, dedupe)
        by_rule, _ = _corvane_rs.index_counts(index)
        total = 0
        for rule, added in zip(parsed, by_rule):
            total += added
            if total > max_pairs:
                raise ValueError(
                    f"{rule.label} brings the candidate pairs to {total:,}, over max_pairs={max_pairs:,} "
                    f"(pairs added by each rule: {', '.join(f'{n:,}' for n in by_rule)})"
                )
        return _corvane_rs.index_pairs(index, 0, n_left)
    return _corvane_rs.candidate_pairs(*keys, dedupe, 0, n_left)


# Inclusion-exclusion over the rules' keys looks at every subset of rules;
# past this many rules the pairs are counted one by one.
_MAX_RULES_BY_GROUPS = 8


def count_candidates(left: object, right: object | None = None, *, rules: Iterable[object]) -> list[int]:
    """The pairs each rule adds beyond the rules before it, in the order
    given, counted without building the pairs (``sum`` is the number of
    pairs ``candidates`` returns)."""
    parsed, encoder, n_left, n_right = _prepare(left, right, rules)
    dedupe = right is None
    if any(rule.window for rule in parsed) or len(parsed) > _MAX_RULES_BY_GROUPS:
        by_rule, _ = _corvane_rs.candidate_counts(*encoder.encode(parsed, n_left), int(dedupe))
        return [int(n) for n in by_rule]
    # Equality rules: inclusion-exclusion over the rules' keys, in the engine,
    # each distinct key column encoded once whatever rules share it, a rule
    # being the bit mask of its columns. Both tables' records as one run:
    # the engine tells the sides apart by n_left.
    columns: dict[Key, int] = {}
    for rule in parsed:
        for key in rule.keys:
            columns.setdefault(key, len(columns))
    if len(columns) <= 64:
        keys = [encoder.key_codes(key, False) for key in columns]
        masks = np.array([sum(1 << columns[key] for key in set(rule.keys)) for rule in parsed], dtype=np.int64)
    else:  # each rule's columns combined into one key first
        n_records = n_left if dedupe else n_left + n_right
        keys = list(_corvane_rs.rule_keys(encoder.rule_columns(parsed), n_records, 1)[0].reshape(len(parsed), -1))
        masks = np.array([1 << r for r in range(len(parsed))], dtype=np.int64)
    counts = _corvane_rs.count_rule_pairs(keys, len(keys), masks, n_left, int(dedupe))
    return [int(c) for c in counts]


# ---- clusters -----------------------------------------------------------------------


def _position_array(values: object, what: str) -> I64Array:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} must be 1-D, not of shape {array.shape}")
    if array.size and array.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integers, not {array.dtype}")
    if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
        raise ValueError(f"{what}: position {int(array.max())} is out of range")
    return np.ascontiguousarray(array, dtype=np.int64)


def _pair_positions(pairs: object) -> tuple[I64Array, I64Array]:
    try:
        kind = kind_of(pairs, "pairs")
    except TypeError:
        kind = ""
    if kind:
        return (
            _position_array(np.asarray(arrow_column(pairs, kind, "left_position", "pairs")), "left_position"),
            _position_array(np.asarray(arrow_column(pairs, kind, "right_position", "pairs")), "right_position"),
        )
    refuse_pair_list(pairs, "pairs")
    if not isinstance(pairs, (tuple, list)) or len(pairs) != 2:
        raise TypeError("pairs must be (left_positions, right_positions) or a table with the columns "
                        "left_position and right_position (link's result)")
    return _position_array(pairs[0], "pairs: the left positions"), _position_array(pairs[1], "pairs: the right positions")


def _check_size(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must be at least 0, not {value}")
    return int(value)


@overload
def clusters(pairs: object, match: npt.ArrayLike | None, n_left: int, n_right: None = None) -> I64Array: ...
@overload
def clusters(pairs: object, match: npt.ArrayLike | None, n_left: int, n_right: int) -> tuple[I64Array, I64Array]: ...


def clusters(
    pairs: object, match: npt.ArrayLike | None, n_left: int, n_right: int | None = None
) -> I64Array | tuple[I64Array, I64Array]:
    """Entities: connected components of the pairs where ``match`` is true
    (``match=None``: every pair given, such as ``link``'s result).

    ``pairs`` is ``(left_positions, right_positions)`` or a table with
    ``left_position`` and ``right_position``. ``n_right`` says which the
    pairs are, as nothing in them does:

    * ``n_right`` None, a deduplication of one table of ``n_left``
      records: both positions are records of that table, and the result is
      one int64 cluster id per record;
    * ``n_right`` given, pairs that link a left table of ``n_left`` records
      to a right one of ``n_right``: the result is ``(left_ids,
      right_ids)`` in one id space, so a left and a right record of the
      same entity share their id.

    Pairs that link two tables but come without ``n_right`` would be read
    as a deduplication, right record ``r`` taken for left record ``r``, and
    give wrong clusters: a right position past ``n_left`` is refused with a
    hint to give ``n_right``, but nothing else in the pairs can show it.
    Ids are 0, 1, 2, ... in order of each cluster's first record (left
    table first); a record in no pair is a cluster of its own.
    """
    a, b = _pair_positions(pairs)
    if len(a) != len(b):
        raise ValueError(f"pairs: {len(a)} left positions but {len(b)} right positions")
    n_l = _check_size(n_left, "n_left")
    n_r = None if n_right is None else _check_size(n_right, "n_right")
    if (n_l + (n_r or 0)) * 8 > sys.maxsize:
        # One int64 id per record: more than any address space holds.
        raise MemoryError(f"{n_l + (n_r or 0):,} records (n_left + n_right): their cluster ids would not fit in "
                          "memory")
    if match is not None:
        keep = np.asarray(match)
        if keep.ndim != 1 or len(keep) != len(a):
            raise ValueError(f"match has {keep.size} values of shape {keep.shape}, but there are {len(a)} pairs")
        if keep.dtype != np.bool_:
            absent = _missing_positions(keep) if keep.dtype == object else keep[:0]
            if absent.size:
                # score_partition leaves the decision of a pair with a missing value missing.
                raise ValueError(f"match is missing at pair {int(absent[0])} ({absent.size} in all): decide those "
                                 "pairs first (for example match.fillna(False))")
            raise TypeError(f"match must be a boolean array, not {keep.dtype}")
    for positions, size, what in ((a, n_l, "left"), (b, n_l if n_r is None else n_r, "right")):
        bad = np.flatnonzero((positions < 0) | (positions >= size))
        if bad.size:
            side = "n_left" if what == "left" or n_r is None else "n_right"
            hint = "; pairs that link two tables need n_right" if what == "right" and n_r is None else ""
            raise ValueError(
                f"pairs: {what} position {int(positions[bad[0]])} at pair {int(bad[0])} is outside "
                f"[0, {side}={size}){hint}"
            )
    if match is not None:
        a, b = a[keep], b[keep]
    if n_r is None:
        return _corvane_rs.connected_components(a, b, n_l)
    ids = _corvane_rs.connected_components(a, b + n_l, n_l + n_r)
    return ids[:n_l], ids[n_l:]


# ---- link ---------------------------------------------------------------------------


def _batches(per_record: I64Array, batch_pairs: int) -> Iterator[tuple[int, int, int]]:
    """Runs [start, stop) of left records with at most batch_pairs pairs
    (one record at least), and their pair counts; runs without pairs skipped."""
    ends = np.cumsum(per_record)
    n = len(per_record)
    start, done = 0, 0
    while start < n:
        stop = int(np.searchsorted(ends, done + batch_pairs, side="right"))
        stop = max(stop, start + 1)
        total = int(ends[stop - 1]) - done
        if total:
            yield start, stop, total
        done = int(ends[stop - 1])
        start = stop


def _model_inputs(model: Any, pairings: list[Any]) -> list[int] | None:
    """Which comparison's scores the model reads as each of its inputs,
    checked before any work: by name where the model knows its features'
    names (a ``Scorer`` fitted on a table, a ``FellegiSunter``), whatever
    the order of the comparisons, as ``score_partition`` matches them; None
    where that is the comparisons' own order."""
    names = [p.name for p in pairings]
    if type(model) is Scorer:
        if model.n_features_in_ != len(names):
            raise ValueError(f"the model was fitted on {model.n_features_in_} features (n_features_in_), but the "
                             f"comparisons give {len(names)}: {names}")
        wanted = model.feature_names_in_
        if wanted is not None and (sorted(wanted) != sorted(names) or len(set(names)) != len(names)):
            raise ValueError(f"the comparisons give the features {names}, but the model was fitted on "
                             f"{list(wanted)}: give link the comparisons the model was fitted with")
    order = _model_order(model, pairings, None)
    return None if order == list(range(len(names))) else order


def _probabilities(model: Any, features: npt.NDArray[np.float64], names: list[str], kind: str,
                   pairs: tuple[I64Array, I64Array], first_pair: int) -> npt.NDArray[np.float64]:
    """The model's probability for each pair of a batch; ``features`` holds
    one row of scores per comparison, in the model's order, and ``names``
    are theirs. A ``Scorer`` reads them where they are; any other model
    gets ``compare``'s table. ``first_pair``: the place of the batch's first
    pair among all the candidate pairs."""
    if type(model) is Scorer:  # not a subclass, which may score otherwise
        if model.is_tree and model.nan == "error":
            _refuse_nan(features, names, pairs, first_pair)
        return model._score(features.T, tuple(names), nan_checked=True)
    scores = np.asarray(model.predict_proba(from_columns(kind, dict(zip(names, features)))), dtype=np.float64)
    if scores.ndim == 2:
        scores = scores[:, -1]
    return scores


def _refuse_nan(features: npt.NDArray[np.float64], names: list[str], pairs: tuple[I64Array, I64Array],
                first_pair: int) -> None:
    """A tree scorer's refusal of NaN, said of the candidate pair that has
    it (the first of them) and of link's own ``missing=``."""
    missing = np.isnan(features)
    if not missing.any():
        return
    k = int(np.flatnonzero(missing.any(axis=0))[0])
    c = int(np.flatnonzero(missing[:, k])[0])
    raise ValueError(
        f"comparison {names[c]!r} is missing (NaN) at candidate pair {first_pair + k} (left position "
        f"{int(pairs[0][k])}, right position {int(pairs[1][k])}), the first such pair, and the model, a tree "
        "ensemble, refuses NaN: scikit-learn's trees send NaN to the side chosen in training (or refuse it), "
        "while this scorer sends NaN to the left child at every split, so the probabilities would differ. Give "
        "link a fill value for missing values (link(..., missing=0.0), for example), or pass nan='left' to "
        "Scorer.from_sklearn to accept the left-child rule."
    )


# Kept pairs scored again per call at the end of link (8 MiB of scores for 8 comparisons).
_RESCORED_RUN = 1 << 17


def link(
    left: Frame,
    right: object | None = None,
    *,
    rules: Iterable[object],
    comparisons: Iterable[Comparison],
    model: Any,
    threshold: float = 0.5,
    missing: Missing = "nan",
    batch_pairs: int = 1_000_000,
    progress: bool = False,
) -> Frame:
    """Candidates, ``compare`` and scoring, batch by batch, keeping the pairs
    whose probability is at least ``threshold``.

    Returns a table of the kind of ``left`` with ``left_position``,
    ``right_position`` (for deduplication both positions in ``left``, left
    < right), one float64 column per comparison (named as ``compare``
    names them) and ``probability``, sorted by left then right position.
    ``probability`` is ``model.predict_proba(compare(left, right, pairs,
    comparisons, missing=missing))`` over all candidate pairs, whatever
    ``batch_pairs`` is (the last column when the model returns one per
    class). ``model`` is a ``Scorer`` or anything with ``predict_proba``
    over ``compare``'s table; one that knows its features' names (a
    ``FellegiSunter``, a ``Scorer`` fitted on a table) gets each
    comparison's scores by name, whatever the order of ``comparisons``,
    and comparisons that are not its features are refused before any work.
    A tree ``Scorer`` built with ``nan="error"`` refuses a missing
    comparison naming the first candidate pair with one (its number among
    all candidate pairs and its positions); ``missing=`` gives a fill
    value. Memory holds at most ``batch_pairs`` candidate
    pairs at once, plus the kept ones. ``progress=True`` shows a progress
    bar over the candidate pairs (needs tqdm). Pairs whose probability is
    NaN (a missing value, with a model that passes NaN through) are not
    kept, and a ``UserWarning`` counts them.
    """
    check_missing(missing)
    check_model_missing(model, missing)
    pairings = pairings_of(comparisons)
    if not callable(getattr(model, "predict_proba", None)):
        raise TypeError(f"model must be a corvane.Scorer or have predict_proba, not {type(model).__name__}")
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    if math.isnan(threshold):
        raise ValueError("threshold is NaN, which no probability reaches: give a number")
    if isinstance(batch_pairs, bool) or not isinstance(batch_pairs, numbers.Integral):
        raise TypeError(f"batch_pairs must be an integer, not {type(batch_pairs).__name__}")
    if batch_pairs < 1:
        raise ValueError(f"batch_pairs must be at least 1, not {batch_pairs}")
    parsed, encoder, n_left, _ = _prepare(left, right, rules)
    dedupe = right is None
    left_kind = kind_of(left, "left")
    other = left if dedupe else right
    other_kind = left_kind if dedupe else kind_of(right, "right")
    # The compared columns once as Arrow, converted for the engine and their
    # term frequencies counted once, so no batch does either again.
    if dedupe:
        names_used = list(dict.fromkeys(c for s in pairings for c in (s.left, s.right)))
        left_columns = right_columns = {c: arrow_column(left, left_kind, c, "left") for c in names_used}
    else:
        left_columns = {s.left: arrow_column(left, left_kind, s.left, "left") for s in pairings}
        right_columns = {s.right: arrow_column(other, other_kind, s.right, "right") for s in pairings}
    score = BatchScorer(left_columns, right_columns, pairings, missing)
    names = [s.name for s in pairings]
    # The model's inputs: the comparisons' scores, matched to its features by name.
    inputs = _model_inputs(model, pairings)
    model_names = names if inputs is None else [names[k] for k in inputs]

    # One index for the whole call: counted once, then paired batch by batch.
    # The per-key codes go before the index is built, the rules' keys once
    # it holds its own copy.
    keys = encoder.encode(parsed, n_left)
    encoder.release()
    index = _corvane_rs.candidate_index(*keys, int(dedupe))
    del keys
    _, per_record = _corvane_rs.index_counts(index)
    batches = list(_batches(per_record, int(batch_pairs)))
    # The engine reads the compared columns once for all batches, laying a
    # side out in rows where the largest batch reads its records more than
    # once on average (as one call of that batch would).
    score.pairs = max((total for _, _, total in batches), default=0)
    bar = None
    if progress:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from error
        bar = tqdm(total=int(per_record.sum()), unit="pairs", desc="link")
    # The kept pairs' positions and probabilities, one piece per batch. Their
    # comparison scores are not kept: a pair's scores do not depend on its
    # batch, so they are computed again once the kept pairs are known, into
    # the result's own columns (24 bytes per kept pair until then, not 88).
    kept: tuple[list[I64Array], list[I64Array], list[npt.NDArray[np.float64]]] = ([], [], [])
    unscored = 0
    first_pair = 0  # of the batch, among all candidate pairs
    try:
        for start, stop, total in batches:
            lpos, rpos = _corvane_rs.index_pairs(index, start, stop)
            features = score((lpos, rpos), first_pair)
            if inputs is not None:
                features = features[inputs]
            probability = _probabilities(model, features, model_names, left_kind, (lpos, rpos), first_pair)
            if probability.shape != (len(lpos),):
                raise ValueError(f"model.predict_proba gave {probability.shape[0]} scores for {len(lpos)} pairs")
            keep = np.flatnonzero(probability >= threshold)
            unscored += int(np.count_nonzero(np.isnan(probability)))
            for pieces, values in zip(kept, (lpos, rpos, probability)):
                pieces.append(values[keep])
            first_pair += total
            # This batch's buffers go before the next batch's are built.
            del lpos, rpos, features, probability, keep
            if bar is not None:
                bar.update(total)
    finally:
        if bar is not None:
            bar.close()
    if unscored:
        # NaN reaches no threshold: say so rather than drop these pairs unseen.
        warnings.warn(f"{unscored:,} candidate pairs scored NaN and were not kept: the model passes the NaN "
                      "of a missing value through; give link a fill value (missing=-1.0, for example) to score them",
                      UserWarning, stacklevel=2)
    del index, per_record  # the index (and the rules' keys it holds) before the output is built
    joined = []
    for pieces, dtype in zip(kept, (np.int64, np.int64, np.float64)):
        joined.append(np.concatenate(pieces) if pieces else np.empty(0, dtype=dtype))
        pieces.clear()  # each column's pieces freed as soon as it is joined
    left_position, right_position, probability = joined
    del joined
    # The kept pairs' scores into one array whose rows are the result's
    # columns, in runs small enough that a run's own scores add little to it.
    n_kept = len(left_position)
    scores = np.empty((len(names), n_kept))
    run = min(int(batch_pairs), _RESCORED_RUN)
    for start in range(0, n_kept, run):
        stop = min(n_kept, start + run)
        scores[:, start:stop] = score((left_position[start:stop], right_position[start:stop]))
    del score  # the engine's plan (its rows) before the result is built
    columns: dict[str, Any] = {"left_position": left_position, "right_position": right_position,
                               **dict(zip(names, scores)), "probability": probability}
    result: Frame = from_columns(left_kind, columns)
    return result
