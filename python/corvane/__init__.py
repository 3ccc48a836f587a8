"""corvane: record linkage at scale on the ``_corvane_rs`` engine.

From tables to entities, each step one call:

* ``candidates(left, right, rules=...)`` builds the candidate pairs of two
  tables, or of one table with itself, under blocking rules
  (``count_candidates`` counts them first);
* ``compare(left, right, pairs, comparisons)`` scores candidate record
  pairs of two pandas / polars DataFrames or pyarrow Tables with string,
  numeric and date metrics, and returns one float64 column per comparison
  (missing values score NaN, raise, or a number you choose);
* ``Scorer.from_sklearn(model).predict_proba(features)`` scores those
  features with a fitted scikit-learn classifier, exported once;
* ``score_partition`` / ``score_batches`` do both for one partition of a
  pair table, for Dask's ``map_partitions`` and Spark's ``mapInArrow``;
* ``link(left, right, rules=..., comparisons=..., model=...)`` streams
  candidates, comparing and scoring, and ``clusters`` turns the kept pairs
  into entities;
* without labels, ``FellegiSunter(comparisons).fit(left, right, pairs)``
  learns a match model by EM, and ``evaluate`` / ``evaluate_clusters`` /
  ``threshold_sweep`` judge any linkage against known links.

The engine itself stays importable as ``_corvane_rs``, the exporter as
``corvane_export``.
"""

from ._compare import (
    NUMERIC_METRICS,
    STRING_METRICS,
    Comparison,
    Metric,
    Thresholds,
    Missing,
    NumericMetric,
    StringMetric,
    compare,
    feature_names,
)
from ._blocking import candidates, clusters, count_candidates, link
from ._evaluate import ClusterEvaluation, PairEvaluation, evaluate, evaluate_clusters, threshold_sweep
from ._fellegi import DEFAULT_THRESHOLDS, FellegiSunter
from ._partition import score_batches, score_partition
from ._rules import Key, Rule, SortedNeighbourhood, on, prefix, rule_columns, soundex, year
from ._scorer import NanRule, Scorer

__version__ = "0.1.0"

__all__ = [
    "candidates",
    "count_candidates",
    "link",
    "clusters",
    "prefix",
    "year",
    "soundex",
    "on",
    "SortedNeighbourhood",
    "Key",
    "Rule",
    "rule_columns",
    "compare",
    "feature_names",
    "Scorer",
    "score_partition",
    "score_batches",
    "FellegiSunter",
    "DEFAULT_THRESHOLDS",
    "evaluate",
    "evaluate_clusters",
    "threshold_sweep",
    "PairEvaluation",
    "ClusterEvaluation",
    "Thresholds",
    "Comparison",
    "Metric",
    "Missing",
    "NanRule",
    "NumericMetric",
    "StringMetric",
    "STRING_METRICS",
    "NUMERIC_METRICS",
    "__version__",
]
