"""Comparison features and scoring for person records, one batch of pairs
at a time.

Everything here works on plain pandas DataFrames and NumPy arrays, so the
same functions serve a single process (``examples/link_febrl.py``), Dask
(``examples/dask_partitions.py``) and Spark's ``mapInPandas``:
``score_partition`` takes a DataFrame of pairs and returns a DataFrame.

A *pair frame* has one row per candidate pair: the two record ids
(``id_l``, ``id_r``) and, for every compared field, its left and right
value (``<field>_l``, ``<field>_r``). Missing strings may be ``None``/NaN
and are compared as empty strings; missing numbers are NaN.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np
import pandas as pd

import _corvane_rs

# (field, metric) for every string comparison, in feature order.
STRING_FEATURES: list[tuple[str, str]] = [
    ("given_name", "jaro_winkler"),
    ("surname", "jaro_winkler"),
    ("surname", "soundex"),
    ("address_1", "levenshtein"),
    ("address_2", "damerau_levenshtein"),
    ("suburb", "jaro_winkler"),
    ("state", "exact"),
    ("soc_sec_id", "levenshtein"),
]

# (field, metric, scale) for every numeric comparison, after the string ones.
# Dates of birth are compared as days since 1970-01-01. The scale turns a
# distance d into the model input exp(-d / scale) (see model_inputs).
NUMERIC_FEATURES: list[tuple[str, str, float | None]] = [
    ("date_of_birth", "date_distance", 365.0),
    ("street_number", "numeric_similarity", None),
    ("postcode", "numeric", 10.0),
]

FEATURE_NAMES = [f"{field}:{metric}" for field, metric in STRING_FEATURES] + [
    f"{field}:{metric}" for field, metric, _ in NUMERIC_FEATURES
]
STRING_FIELDS = sorted({field for field, _ in STRING_FEATURES})
NUMERIC_FIELDS = [field for field, _, _ in NUMERIC_FEATURES]
FIELDS = STRING_FIELDS + [f for f in NUMERIC_FIELDS if f not in STRING_FIELDS]


# ---- records ----------------------------------------------------------------


def prepare_records(records: pd.DataFrame) -> pd.DataFrame:
    """Record table with every compared field in the form the engine takes.

    String fields become ``str`` with "" for missing values (stripped of
    surrounding blanks); ``date_of_birth`` (``YYYYMMDD``) becomes days since
    1970-01-01, NaN when missing or not a valid date; the other numeric
    fields become floats, NaN when missing or not a number.
    """
    out = pd.DataFrame(index=records.index)
    for field in STRING_FIELDS:
        out[field] = [str(value).strip() for value in strings(records[field])]
    dob = pd.to_datetime(records["date_of_birth"], format="%Y%m%d", errors="coerce")
    out["date_of_birth"] = (dob - pd.Timestamp("1970-01-01")).dt.days.astype("float64")
    for field in NUMERIC_FIELDS:
        if field != "date_of_birth":
            out[field] = pd.to_numeric(records[field], errors="coerce").astype("float64")
    return out


def pair_frame(left: pd.DataFrame, right: pd.DataFrame, pairs: pd.MultiIndex) -> pd.DataFrame:
    """One row per pair (left id, right id) of two prepared record tables."""
    ids_l = pairs.get_level_values(0)
    ids_r = pairs.get_level_values(1)
    columns: dict[str, Any] = {"id_l": np.asarray(ids_l), "id_r": np.asarray(ids_r)}
    rows_l = left.reindex(ids_l)
    rows_r = right.reindex(ids_r)
    for field in FIELDS:
        # Arrow-backed strings stay Arrow-backed (the engine reads them in place).
        columns[f"{field}_l"] = arrow_strings_or_numpy(rows_l[field])
        columns[f"{field}_r"] = arrow_strings_or_numpy(rows_r[field])
    return pd.DataFrame(columns)


def is_arrow_strings(column: pd.Series) -> bool:
    dtype = column.dtype
    return isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow"


def arrow_strings_or_numpy(column: pd.Series) -> Any:
    return column.array if is_arrow_strings(column) else column.to_numpy()


# ---- features ---------------------------------------------------------------


def strings(column: pd.Series) -> Any:
    """A string column the engine takes, "" for missing values (None, NaN,
    pandas.NA). Arrow-backed strings (pandas 3's default ``str`` dtype with
    pyarrow installed) are passed as they are, without ``.tolist()``: the
    engine reads their Arrow buffers in place. Any other dtype becomes a
    list of Python ``str``."""
    if is_arrow_strings(column):
        return column.fillna("") if column.hasnans else column
    values = column.to_numpy(dtype=object)
    missing = pd.isna(values)
    if missing.any():
        values = values.copy()
        values[missing] = ""
    return values.tolist()


def floats(column: pd.Series) -> np.ndarray:
    """A column as float64, NaN for missing values (nullable dtypes too)."""
    return pd.to_numeric(column, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)


def feature_matrix(pairs: pd.DataFrame) -> np.ndarray:
    """Raw comparison scores, shape (len(pairs), len(FEATURE_NAMES)).

    One call to ``compute_feature_matrix`` scores every comparison of every
    pair; string similarities lie in [0, 1], "date_distance" is in days,
    "numeric" in the unit of the field (NaN where a value is missing).
    """
    n = len(pairs)
    left = [strings(pairs[f"{field}_l"]) for field, _ in STRING_FEATURES]
    right = [strings(pairs[f"{field}_r"]) for field, _ in STRING_FEATURES]
    numeric_left = np.empty((len(NUMERIC_FEATURES), n))
    numeric_right = np.empty((len(NUMERIC_FEATURES), n))
    for row, (field, _, _) in enumerate(NUMERIC_FEATURES):
        numeric_left[row] = floats(pairs[f"{field}_l"])
        numeric_right[row] = floats(pairs[f"{field}_r"])
    flat = _corvane_rs.compute_feature_matrix(
        left,
        right,
        [metric for _, metric in STRING_FEATURES],
        numeric_left,
        numeric_right,
        [metric for _, metric, _ in NUMERIC_FEATURES],
        n,
    )
    return flat.reshape(n, len(FEATURE_NAMES))


def model_inputs(features: np.ndarray) -> np.ndarray:
    """Model inputs from raw scores: every column in [0, 1], no NaN.

    Distances d become exp(-d / scale) (1.0 for equal values, towards 0.0
    for distant ones); a missing value scores 0.0. The result is rounded to
    float32 precision (and kept as float64): scikit-learn's trees compare in
    float32, and inputs that float32 represents exactly make the exported
    trees score bit for bit like scikit-learn.
    """
    x = np.array(features, dtype=np.float64)
    first = len(STRING_FEATURES)
    for offset, (_, _, scale) in enumerate(NUMERIC_FEATURES):
        if scale is not None:
            col = first + offset
            x[:, col] = np.exp(-x[:, col] / scale)
    np.nan_to_num(x, copy=False, nan=0.0)
    return x.astype(np.float32).astype(np.float64)


# ---- scoring ----------------------------------------------------------------


def score(inputs: np.ndarray, scorer: str, params: Mapping[str, Any]) -> np.ndarray:
    """Match probabilities of model inputs with an exported model.

    ``scorer`` and ``params`` are what ``corvane_export.export_model``
    returns, for example ``("predict_forest_batch", {...})``.
    """
    return getattr(_corvane_rs, scorer)(inputs, **params)


def score_partition(
    pairs: pd.DataFrame, scorer: str, params: Mapping[str, Any], threshold: float = 0.5
) -> pd.DataFrame:
    """Scores one batch of pairs: ids, model inputs, probability, decision.

    Engine-neutral: pandas DataFrame in, pandas DataFrame out, the result
    indexed like the input. Use it with ``dask.dataframe.map_partitions``,
    with Spark's ``mapInPandas`` (through ``score_batches``) or on its own.
    """
    inputs = model_inputs(feature_matrix(pairs))
    probability = score(inputs, scorer, params)
    out = pd.DataFrame(inputs, columns=FEATURE_NAMES, index=pairs.index)
    out.insert(0, "id_l", pairs["id_l"].to_numpy())
    out.insert(1, "id_r", pairs["id_r"].to_numpy())
    out["probability"] = probability
    out["match"] = probability >= threshold
    return out


def score_batches(
    batches: Iterator[pd.DataFrame], scorer: str, params: Mapping[str, Any], threshold: float = 0.5
) -> Iterator[pd.DataFrame]:
    """``score_partition`` over an iterator of DataFrames (Spark's
    ``mapInPandas`` calling convention)."""
    for batch in batches:
        yield score_partition(batch, scorer, params, threshold)


def output_schema() -> str:
    """The DDL schema of ``score_partition``'s result, for Spark."""
    return ", ".join(
        ["id_l string", "id_r string"]
        + [f"`{name}` double" for name in FEATURE_NAMES]
        + ["probability double", "match boolean"]
    )
