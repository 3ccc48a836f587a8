"""String metric benchmark: our *_batch functions against RapidFuzz's
process.cpdist (workers=-1) on the same record-like string pairs.

Both sides are timed as the caller sees them: from two Python lists of str
to the scores (our functions return a list, cpdist a NumPy array; the
ndarray -> list step is not charged to RapidFuzz). Timings alternate between
the two sides, best of --repeat, and the table reports ours / peer; below 1.0
means we are faster. The last column counts rows whose scores differ.

    .venv/bin/python bench/bench_strings.py            # 1,000,000 pairs
    .venv/bin/python bench/bench_strings.py --quick    # 50,000 pairs
"""

import argparse
import gc
import random
import time

import numpy as np
from rapidfuzz.distance import DamerauLevenshtein, JaroWinkler, Levenshtein
from rapidfuzz.process import cpdist

import _corvane_rs as m

# (our batch function, RapidFuzz scorer with the same definition)
METRICS = [
    ("levenshtein_batch", Levenshtein.normalized_similarity),
    ("damerau_levenshtein_batch", DamerauLevenshtein.normalized_similarity),
    ("jaro_winkler_batch", JaroWinkler.similarity),
]

FIRST = ["James", "Mary", "Robert", "Patricia", "John", "Jennifer", "Michael", "Linda", "David", "Elizabeth",
         "William", "Barbara", "Richard", "Susan", "Joseph", "Jessica", "Thomas", "Sarah", "Charles", "Karen"]
FIRST_INTL = ["José", "María", "François", "Zoë", "Jürgen", "Søren", "Łukasz", "Renée", "Björn", "Olga",
              "Mei", "Hiroshi", "Siobhán", "Chloé", "Nuño", "Ömer", "Дмитрий"]
LAST = ["Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia", "Miller", "Davis", "Rodriguez", "Martinez",
        "Hernandez", "Lopez", "Gonzalez", "Wilson", "Anderson", "Thomas", "Taylor", "Moore", "Jackson", "Martin",
        "O'Brien", "van der Berg", "Papadopoulos", "Fitzgerald-Smythe"]
LAST_INTL = ["Müller", "Schröder", "Núñez", "Østergaard", "Dvořák", "Lefèvre", "Çelik", "Петров", "Иванова",
             "山田", "Nguyễn"]
STREETS = ["Main", "Oak", "Pine", "Maple", "Cedar", "Elm", "Washington", "Lake", "Hill", "Park", "Sunset",
           "Highland", "Church", "Mill", "Rue de la Paix", "Calle Mayor", "Via Roma", "Avenida Paulista"]
STREETS_INTL = ["Königsallee", "Bahnhofstraße", "Ringstraße", "Champs-Élysées", "Nørrebrogade"]
SUFFIXES = ["St", "Street", "Ave", "Avenue", "Rd", "Road", "Blvd", "Ln", "Lane", "Dr", "Ct", ""]
CITIES = ["Springfield", "Riverside", "Franklin", "Greenville", "Bristol", "Clinton", "Fairview", "Salem",
          "Portland", "Madison", "Georgetown", "Arlington"]
CITIES_INTL = ["München", "Zürich", "Kraków", "São Paulo", "Malmö", "Montréal", "Reykjavík", "Москва"]
NEARBY = "abcdefghijklmnopqrstuvwxyzéèüöñ"
UNACCENT = str.maketrans("éèëüöñøåçčšžłóíáú", "eeeuonoaccszloiau")


def typo(rng, s):
    """One realistic slip: transposition, deletion, insertion, substitution,
    case change or accent loss."""
    if len(s) < 2:
        return s + rng.choice(NEARBY)
    i = rng.randrange(len(s) - 1)
    kind = rng.randrange(6)
    if kind == 0:
        return s[:i] + s[i + 1] + s[i] + s[i + 2:]
    if kind == 1:
        return s[:i] + s[i + 1:]
    if kind == 2:
        return s[:i] + rng.choice(NEARBY) + s[i:]
    if kind == 3:
        return s[:i] + rng.choice(NEARBY) + s[i + 1:]
    if kind == 4:
        return s.swapcase() if rng.random() < 0.2 else s[:i] + s[i].swapcase() + s[i + 1:]
    plain = s.translate(UNACCENT)
    return plain if plain != s else s[:i] + s[i + 1:]


def pick(rng, common, intl):
    """Mostly common (ASCII) words, one in twelve from the accented list."""
    return rng.choice(intl) if rng.random() < 1 / 12 else rng.choice(common)


def record(rng):
    kind = rng.random()
    if kind < 0.45:
        s = f"{pick(rng, FIRST, FIRST_INTL)} {pick(rng, LAST, LAST_INTL)}"
        if rng.random() < 0.2:
            s = f"{rng.choice(FIRST)} {rng.choice(FIRST)[0]}. {pick(rng, LAST, LAST_INTL)}"
    elif kind < 0.85:
        s = f"{rng.randint(1, 9999)} {pick(rng, STREETS, STREETS_INTL)} {rng.choice(SUFFIXES)}".rstrip()
        if rng.random() < 0.3:
            s += f", {pick(rng, CITIES, CITIES_INTL)}"
    elif rng.random() < 0.5:
        s = pick(rng, CITIES, CITIES_INTL)
    else:
        s = f"{rng.choice(LAST)} & {pick(rng, LAST, LAST_INTL)}"
    return s[:40]


def make_pairs(n, seed=20240601):
    """Seeded record pairs of 5 to 40 characters: 30% identical, 40% with one
    to three typos, 30% unrelated records."""
    rng = random.Random(seed)
    left, right = [], []
    for _ in range(n):
        a = record(rng)
        roll = rng.random()
        if roll < 0.3:
            b = a
        elif roll < 0.7:
            b = a
            for _ in range(rng.choice((1, 1, 1, 2, 3))):
                b = typo(rng, b)
        else:
            b = record(rng)
        left.append(a)
        right.append(b if 5 <= len(b) <= 40 else a)
    return left, right


def best_pair(ours, peer, repeat):
    t_ours, t_peer = [], []
    for _ in range(repeat):
        for fn, sink in ((ours, t_ours), (peer, t_peer)):
            gc.collect()
            t0 = time.perf_counter()
            out = fn()
            sink.append(time.perf_counter() - t0)
            del out
    return min(t_ours), min(t_peer)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="50,000 pairs, one run each")
    ap.add_argument("--pairs", type=int, default=None)
    ap.add_argument("--repeat", type=int, default=None)
    args = ap.parse_args()
    n = args.pairs or (50_000 if args.quick else 1_000_000)
    repeat = args.repeat or (1 if args.quick else 5)

    left, right = make_pairs(n)
    chars = [len(s) for s in left + right]
    non_ascii = sum(not s.isascii() for s in left + right) / (2 * n)
    print(f"{n:,} pairs, {min(chars)}..{max(chars)} characters (mean {np.mean(chars):.1f}), "
          f"{non_ascii:.1%} non-ASCII strings, best of {repeat}")
    print(f"{'function':28s} {'ours ms':>9s} {'rapidfuzz ms':>13s} {'ratio':>7s} {'differ':>7s}")
    for name, scorer in METRICS:
        if not hasattr(m, name):
            print(f"{name:28s}  (not registered)")
            continue
        fn = getattr(m, name)
        ours = fn(left, right)
        peer = cpdist(left, right, scorer=scorer, workers=-1, dtype=np.float64)
        differ = int(np.count_nonzero(np.asarray(ours) != peer))
        t_ours, t_peer = best_pair(lambda: fn(left, right),
                                   lambda: cpdist(left, right, scorer=scorer, workers=-1, dtype=np.float64),
                                   repeat)
        print(f"{name:28s} {t_ours * 1e3:9.1f} {t_peer * 1e3:13.1f} {t_ours / t_peer:7.2f} {differ:7d}")


if __name__ == "__main__":
    main()
