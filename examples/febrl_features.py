"""What FEBRL4's linkage compares, and how the comparisons become model
inputs: shared by link_febrl.py (one process) and dask_partitions.py.

The comparing and scoring themselves are corvane's (``corvane.compare``,
``corvane.Scorer``, ``corvane.score_partition``); this module holds only
the choices a user makes for a data set.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd

import corvane

# (column, metric) for every comparison, in feature order. Dates of birth
# are datetime columns, so their distance is in days.
COMPARISONS: list[corvane.Comparison] = [
    ("given_name", "jaro_winkler"),
    ("surname", "jaro_winkler"),
    ("surname", "soundex"),
    ("address_1", "levenshtein"),
    ("address_2", "damerau_levenshtein"),
    ("suburb", "jaro_winkler"),
    ("state", "exact"),
    ("soc_sec_id", "levenshtein"),
    ("date_of_birth", "date_distance"),
    ("street_number", "numeric_similarity"),
    ("postcode", "numeric"),
]
FEATURE_NAMES = corvane.feature_names(COMPARISONS)

# Distances d become exp(-d / scale): 1.0 for equal values, towards 0.0 for
# distant ones.
SCALES = {"date_of_birth_date_distance": 365.0, "postcode_numeric": 10.0}
_SCALED = [(FEATURE_NAMES.index(name), scale) for name, scale in SCALES.items()]


def prepare_records(records: pd.DataFrame) -> pd.DataFrame:
    """FEBRL's raw columns typed for comparing: strings stay strings
    (missing stays missing), ``date_of_birth`` (YYYYMMDD text) becomes a
    datetime, ``street_number`` and ``postcode`` numbers; values that do
    not parse become missing."""
    out = records.copy()
    out["date_of_birth"] = pd.to_datetime(records["date_of_birth"], format="%Y%m%d", errors="coerce")
    for column in ("street_number", "postcode"):
        out[column] = pd.to_numeric(records[column], errors="coerce")
    return out


def model_inputs(features: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Model inputs from ``compare``'s scores (pairs x FEATURE_NAMES): the
    distances rescaled, and a missing comparison (NaN) as 0.0, no evidence
    of agreement."""
    x = np.array(features, dtype=np.float64)
    for column, scale in _SCALED:
        x[:, column] = np.exp(-x[:, column] / scale)
    return np.nan_to_num(x, nan=0.0)


# The same fields for a Fellegi-Sunter model trained without labels: each
# score cut into levels (similarities: >= each threshold from the top;
# distances: <= each threshold from the closest), a missing value its own level.
FELLEGI_SUNTER: list[corvane.Comparison] = [
    ("given_name", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("surname", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("address_1", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("suburb", "jaro_winkler", (1.0, 0.9)),
    ("state", "exact"),
    ("soc_sec_id", "damerau_levenshtein", (1.0, 0.85)),
    ("date_of_birth", "date_distance", (0.0, 31.0, 366.0)),
    ("street_number", "numeric", (0.0,)),
    ("postcode", "numeric", (0.0, 10.0)),
]
