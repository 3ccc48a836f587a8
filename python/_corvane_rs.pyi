# Type information for the native module _corvane_rs.
#
# Every parameter may be given by position or by keyword and every one is
# required. String columns are sequences of ``str`` (a bare ``str`` is
# refused at run time even though it is itself a ``Sequence[str]``), Arrow
# columns (pyarrow, polars, pandas with Arrow-backed strings, anything with
# ``__arrow_c_array__`` or ``__arrow_c_stream__``) or 1-D NumPy string
# arrays; all of these are read in place. Float columns likewise accept
# float and integer NumPy arrays and Arrow columns.
# Arrays are never converted: float parameters need ``float64`` arrays, tree
# index parameters ``int64`` arrays, with exactly the dimensions documented.

from collections.abc import Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = [
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
    "compare_pairs",
    "predict_batch",
    "predict_forest_batch",
    "predict_gbdt_batch",
    "predict_svm_batch",
    "candidate_pairs",
    "candidate_counts",
    "combine_keys",
    "count_equal_pairs",
    "connected_components",
    "match_weight_batch",
    "level_key_batch",
    "frequency_weight_batch",
    "encode_keys",
    "candidate_index",
    "index_pairs",
    "index_counts",
    "count_rule_pairs",
    "compare_levels",
    "rule_keys",
    "compare_plan",
    "plan_pairs",
]

# An index from candidate_index (a capsule; opaque).
_Index: TypeAlias = object
# A plan from compare_plan (a capsule; opaque).
_Plan: TypeAlias = object

# Anything the interpreter's float conversion accepts: float, int, bool,
# numpy scalars, Decimal, Fraction, objects with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex
_F64Array: TypeAlias = npt.NDArray[np.float64]
_I64Array: TypeAlias = npt.NDArray[np.int64]

@type_check_only
class _ArrowArray(Protocol):
    """An Arrow array exporter (pyarrow.Array, nanoarrow, ...)."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

@type_check_only
class _ArrowStream(Protocol):
    """An Arrow stream exporter (pyarrow.ChunkedArray, polars.Series, pandas.Series, ...)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# A string column: str items, an Arrow column of utf8 / large_utf8 /
# utf8_view or of strings dictionary-encoded, or a 1-D NumPy array of
# StringDType or fixed-width unicode.
_Strings: TypeAlias = (
    Sequence[str] | _ArrowArray | _ArrowStream | npt.NDArray[np.str_] | np.ndarray[Any, np.dtypes.StringDType]
)
# A float column: numbers, or an Arrow / NumPy column of floats or integers.
_Floats: TypeAlias = Sequence[_Float] | _ArrowArray | _ArrowStream | npt.NDArray[np.floating[Any] | np.integer[Any]]

# The metric names compute_feature_matrix accepts; any other name (a typo
# such as "jarowinkler") is a type error.
_StringMetric: TypeAlias = Literal[
    "jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
    "token_sort_ratio",
]
_NumericMetric: TypeAlias = Literal["numeric", "numeric_similarity", "date_distance"]

# ---- pairwise: one score per aligned (left[i], right[i]) pair --------------

def jaro_winkler_batch(left: _Strings, right: _Strings) -> list[float]:
    """Jaro-Winkler similarity (prefix scale 0.1, prefix up to 4), 0.0 to 1.0."""

def levenshtein_batch(left: _Strings, right: _Strings) -> list[float]:
    """1 - edit distance / longer length, in characters."""

def damerau_levenshtein_batch(left: _Strings, right: _Strings) -> list[float]:
    """Like levenshtein_batch, also counting adjacent transpositions as one edit."""

def exact_match_batch(left: _Strings, right: _Strings) -> list[float]:
    """1.0 where the two strings are byte-for-byte equal, else 0.0."""

def numeric_distance_batch(left: _Floats, right: _Floats) -> list[float]:
    """Absolute difference |left - right|, in the unit of the inputs."""

def numeric_similarity_batch(left: _Floats, right: _Floats) -> list[float]:
    """1 - |left - right| / max(|left|, |right|), clamped at 0.0; 1.0 for two zeros."""

def soundex_batch(left: _Strings, right: _Strings) -> list[float]:
    """1.0 where the two Soundex codes are equal, else 0.0."""

def jaccard_batch(left: _Strings, right: _Strings) -> list[float]:
    """Jaccard similarity of the sets of whitespace-separated tokens."""

def cosine_batch(left: _Strings, right: _Strings) -> list[float]:
    """Cosine similarity of the token counts (may differ from 1.0 in its last bit)."""

def token_sort_ratio_batch(left: _Strings, right: _Strings) -> list[float]:
    """Levenshtein similarity of the sorted, space-joined tokens."""

# ---- feature matrix ---------------------------------------------------------

def compute_feature_matrix(
    string_columns_left: Sequence[_Strings],
    string_columns_right: Sequence[_Strings],
    string_metric_types: Sequence[_StringMetric],
    numeric_left: _F64Array,
    numeric_right: _F64Array,
    numeric_metric_types: Sequence[_NumericMetric],
    n_pairs: SupportsIndex,
) -> _F64Array:
    """Scores every comparison for every pair; flat, pair-major result.

    ``numeric_left`` and ``numeric_right`` are 2-D arrays of shape
    ``(n_numeric_cols, n_pairs)``. Reshape the result to
    ``(n_pairs, n_string_cols + n_numeric_cols)``.
    """

# ---- candidate pairs scored from the record columns ------------------------

def compare_pairs(
    left: Sequence[_Strings | _Floats],
    right: Sequence[_Strings | _Floats],
    metrics: Sequence[_StringMetric | _NumericMetric],
    left_positions: _I64Array,
    right_positions: _I64Array,
    missing: _Float | Literal["error"],
) -> _F64Array:
    """Scores pair p of comparison k from ``left[k][left_positions[p]]`` and
    ``right[k][right_positions[p]]``; result of shape (n_comparisons, n_pairs).

    Nulls (and NaN in number columns) are missing values: such a pair scores
    ``missing``, or raises ``ValueError`` when ``missing`` is ``"error"``.
    A position outside its side raises ``IndexError``.
    """

def compare_plan(
    left: Sequence[_Strings | _Floats],
    right: Sequence[_Strings | _Floats],
    metrics: Sequence[_StringMetric | _NumericMetric],
    pairs: SupportsIndex,
) -> _Plan:
    """The columns and metrics of ``compare_pairs``, read once for many
    ``plan_pairs`` calls; ``pairs`` is how many pairs those calls score in
    all (it decides the per-record work done once here)."""

def plan_pairs(
    plan: _Plan,
    left_positions: _I64Array,
    right_positions: _I64Array,
    missing: _Float | Literal["error"],
) -> _F64Array:
    """``compare_pairs`` over a ``compare_plan``'s columns and metrics: the
    same scores, bit for bit, and the same errors."""

# ---- model scoring: one probability per row of a 2-D features array --------

def predict_batch(features: _F64Array, weights: _F64Array, bias: _Float) -> _F64Array:
    """Logistic regression: sigmoid(features @ weights + bias)."""

def predict_forest_batch(
    features: _F64Array,
    offsets: _I64Array,
    children_left: _I64Array,
    children_right: _I64Array,
    tree_features: _I64Array,
    thresholds: _F64Array,
    values: _F64Array,
) -> _F64Array:
    """Random forest: mean of the leaf values reached, over all trees."""

def predict_gbdt_batch(
    features: _F64Array,
    offsets: _I64Array,
    children_left: _I64Array,
    children_right: _I64Array,
    tree_features: _I64Array,
    thresholds: _F64Array,
    values: _F64Array,
    learning_rate: _Float,
    init_value: _Float,
) -> _F64Array:
    """Gradient boosting: sigmoid(init_value + learning_rate * sum of leaf values)."""

def predict_svm_batch(
    features: _F64Array,
    support_vectors: _F64Array,
    dual_coef: _F64Array,
    intercept: _Float,
    gamma: _Float,
    prob_a: _Float,
    prob_b: _Float,
) -> _F64Array:
    """RBF SVM with Platt scaling: 1 / (exp(decision * prob_a - prob_b) + 1)."""

def candidate_pairs(
    left_keys: _I64Array,
    right_keys: _I64Array,
    windows: _I64Array,
    dedupe: SupportsIndex,
    start: SupportsIndex,
    stop: SupportsIndex,
) -> tuple[_I64Array, _I64Array]:
    """Candidate pairs of blocking keys (one run of keys per rule), for left records start to stop."""

def candidate_counts(
    left_keys: _I64Array,
    right_keys: _I64Array,
    windows: _I64Array,
    dedupe: SupportsIndex,
) -> tuple[list[int], _I64Array]:
    """The pairs each rule adds, and the pairs of each left record, without building them."""

def combine_keys(keys: _I64Array, n_columns: SupportsIndex) -> _I64Array:
    """Dense codes of key tuples (n_columns runs of codes), -1 where any code is -1."""

def count_equal_pairs(left_keys: _I64Array, right_keys: _I64Array, dedupe: SupportsIndex) -> int:
    """Number of pairs with equal keys other than -1."""

def count_rule_pairs(
    keys: _I64Array | Sequence[_I64Array],
    n_keys: SupportsIndex,
    rule_masks: _I64Array,
    n_left: SupportsIndex,
    dedupe: SupportsIndex,
) -> list[int]:
    """The pairs each equality rule (a bit mask of key columns) adds beyond the rules before it."""

def rule_keys(
    codes: Sequence[Sequence[_I64Array]], n_left: SupportsIndex, dedupe: SupportsIndex
) -> tuple[_I64Array, _I64Array]:
    """The keys of candidate_pairs: each rule's key columns combined, left runs then right runs."""

def connected_components(left_positions: _I64Array, right_positions: _I64Array, n_records: SupportsIndex) -> _I64Array:
    """Component id of each record, in order of each component's first record."""

def match_weight_batch(
    scores: _F64Array,
    thresholds: _F64Array,
    n_thresholds: _I64Array,
    distance: _I64Array,
    weights: _F64Array,
    prior_weight: _Float,
) -> _F64Array:
    """Fellegi-Sunter match weight of every pair; a negative score (a fill value) raises ValueError."""

def level_key_batch(scores: _F64Array, thresholds: _F64Array, n_thresholds: _I64Array, distance: _I64Array) -> _I64Array:
    """Code of every pair's combination of levels; a negative score (a fill value) raises ValueError."""

def frequency_weight_batch(
    weights: _F64Array, frequency: _F64Array, scores: _F64Array, exact_threshold: _Float, u_exact: _Float
) -> _F64Array:
    """Term-frequency adjustment of match weights."""

def encode_keys(
    columns: Sequence[object],
    strings: SupportsIndex,
    transform: SupportsIndex,
    length: SupportsIndex,
    ranked: SupportsIndex,
) -> _I64Array:
    """Dense codes of a blocking key over one or two Arrow columns, in order of each value's first record
    (or ranks in sorted order), -1 where missing."""

def candidate_index(
    left_keys: _I64Array,
    right_keys: _I64Array,
    windows: _I64Array,
    dedupe: SupportsIndex,
) -> _Index:
    """The index of candidate_pairs, built once, for index_pairs and index_counts."""

def index_pairs(index: _Index, start: SupportsIndex, stop: SupportsIndex) -> tuple[_I64Array, _I64Array]:
    """Candidate pairs of left records start to stop, from a candidate_index."""

def index_counts(index: _Index) -> tuple[list[int], _I64Array]:
    """The pairs each rule adds, and the pairs of each left record, from a candidate_index."""

def compare_levels(
    left: Sequence[_Strings | _Floats],
    right: Sequence[_Strings | _Floats],
    metrics: Sequence[_StringMetric | _NumericMetric],
    left_positions: _I64Array,
    right_positions: _I64Array,
    thresholds: _F64Array,
    n_thresholds: _I64Array,
    distance: _I64Array,
) -> npt.NDArray[np.uint8]:
    """Level of pair p for comparison k (as ``level_key_batch`` cuts
    ``compare_pairs``' score, missing values NaN); result of shape
    (n_comparisons, n_pairs). A position outside its side raises
    ``IndexError``.
    """
