"""Levenshtein and Damerau-Levenshtein similarities: worked values, a
differential test against RapidFuzz's distances, and the batch contract.

Set CORVANE_DIFF_PAIRS to raise the number of random pairs per generator.
"""

import random

import pytest
from rapidfuzz.distance import DamerauLevenshtein as RfDamerau
from rapidfuzz.distance import Levenshtein as RfLevenshtein

import _corvane_rs as m
from string_samples import pair_count, random_pairs

BATCHES = {"levenshtein": m.levenshtein_batch, "damerau_levenshtein": m.damerau_levenshtein_batch}
ORACLES = {"levenshtein": RfLevenshtein.distance, "damerau_levenshtein": RfDamerau.distance}

THIRD = 0.33333333333333337  # 1.0 - 2/3 in binary64

# (left, right, Levenshtein similarity, Damerau-Levenshtein similarity)
WORKED = [
    ("", "", 1.0, 1.0),
    ("", "abc", 0.0, 0.0),
    ("abc", "", 0.0, 0.0),
    ("saturday", "sunday", 0.625, 0.625),
    ("ab", "ba", 0.0, 0.5),
    # Unrestricted transpositions: optimal string alignment would give 3.
    ("ca", "abc", 0.0, THIRD),
    ("ab", "bca", 0.0, THIRD),
    ("abcdef", "badcfe", THIRD, 0.5),
    ("A", "a", 0.0, 0.0),
    # Lengths are characters, not bytes.
    ("é", "e", 0.0, 0.0),
    ("naïve", "naive", 0.8, 0.8),
    ("nai\u0308ve", "naive", 1.0 - 1 / 6, 1.0 - 1 / 6),  # combining diaeresis is a character
    ("日本語x", "日本語y", 0.75, 0.75),
    ("\U0001f600a", "a\U0001f600", 0.0, 0.5),
    # Different characters sharing a UTF-8 lead byte (é/è) or last byte
    # (é/ĩ): common byte runs must not be taken for common characters.
    ("é", "è", 0.0, 0.0),
    ("xéy", "xèy", 1.0 - 1 / 3, 1.0 - 1 / 3),
    ("xé", "xĩ", 0.5, 0.5),
    ("éx", "ĩx", 0.5, 0.5),
    ("ab" * 40, "ba" * 40, 1.0 - 2 / 80, 1.0 - 2 / 80),  # spans two words
]


@pytest.mark.parametrize("metric", sorted(BATCHES))
def test_worked_values(metric):
    column = 2 if metric == "levenshtein" else 3
    left = [w[0] for w in WORKED]
    right = [w[1] for w in WORKED]
    assert BATCHES[metric](left, right) == [w[column] for w in WORKED]
    # The distances are symmetric, and so are the scores.
    assert BATCHES[metric](right, left) == [w[column] for w in WORKED]


def expected(metric, left, right):
    """1 - d / L in binary64 with d from RapidFuzz (same operations)."""
    out = []
    for a, b in zip(left, right):
        longest = max(len(a), len(b))
        out.append(1.0 if longest == 0 else 1.0 - ORACLES[metric](a, b) / longest)
    return out


def assert_matches_oracle(metric, left, right):
    got = BATCHES[metric](left, right)
    want = expected(metric, left, right)
    bad = [(a, b, g, w) for a, b, g, w in zip(left, right, got, want) if g != w]
    assert not bad, f"{len(bad)} mismatches, first: {bad[0]!r}"


# Alphabets for the edit-distance pairs: tiny ones make transpositions and
# repeated characters common; the wide ones take the code points >= 256
# paths, including code points that collide in small hash tables.
EDIT_ALPHABETS = [
    "ab",
    "abcd",
    "abcdefghijklmnopqrstuvwxyz ",
    "aé\xffà\x80",
    "жщ日\U0001f600",
    "aж\u0100\u0200\u0300\u0400",
    "".join(chr(0x100 * k) for k in range(1, 50)),
    "ab\xe9" + "".join(chr(0x4E00 + 0x80 * k) for k in range(70)),
]

BOUNDARY_LENGTHS = [1, 2, 7, 8, 9, 31, 63, 64, 65, 127, 128, 129, 191, 192, 193, 255, 256, 300]


def edit_pairs(n, seed):
    rng = random.Random(seed)
    left, right = [], []
    for _ in range(n):
        alphabet = rng.choice(EDIT_ALPHABETS)
        length = rng.choice(BOUNDARY_LENGTHS) if rng.random() < 0.5 else rng.randint(0, 80)
        a = [rng.choice(alphabet) for _ in range(length)]
        if rng.random() < 0.3:
            b = [rng.choice(alphabet) for _ in range(rng.choice(BOUNDARY_LENGTHS))]
        else:
            b = list(a)
            for _ in range(rng.randint(0, 12)):
                k = rng.randint(0, len(b))
                op = rng.randint(0, 3)
                if op == 0 and k < len(b):
                    del b[k]
                elif op == 1:
                    b.insert(k, rng.choice(alphabet))
                elif op == 2 and k < len(b):
                    b[k] = rng.choice(alphabet)
                elif k + 1 < len(b):
                    b[k], b[k + 1] = b[k + 1], b[k]
        if rng.random() < 0.5:
            a, b = b, a
        left.append("".join(a))
        right.append("".join(b))
    return left, right


@pytest.mark.parametrize("metric", sorted(BATCHES))
def test_differential_edit_pairs(metric):
    assert_matches_oracle(metric, *edit_pairs(pair_count(3000), seed=11))


@pytest.mark.parametrize("metric", sorted(BATCHES))
def test_differential_mixed_pairs(metric):
    assert_matches_oracle(metric, *random_pairs(pair_count(3000), seed=12))


def test_short_pairs_exhaustively():
    # Every pair of strings over {a, b, c} up to length 4: the unrestricted
    # transposition cases in small form, with no common-affix shortcuts.
    words = [""]
    layer = [""]
    for _ in range(4):
        layer = [w + c for w in layer for c in "abc"]
        words += layer
    left = [a for a in words for _ in words]
    right = [b for _ in words for b in words]
    for metric in BATCHES:
        assert_matches_oracle(metric, left, right)


@pytest.mark.parametrize("metric", sorted(BATCHES))
def test_wide_characters_score_like_small_ones(metric):
    # The same pairs spelled with code points below 256 and with code points
    # from 256 on (some colliding modulo small powers of two) score the same.
    left, right = edit_pairs(400, seed=13)
    sources = sorted(set("".join(left + right)))
    for target in ("".join(chr(0x400 + k) for k in range(len(sources))),
                   "".join(chr(0x100 * (k + 1)) for k in range(len(sources))),
                   "".join(chr(0x10000 + 8 * k) for k in range(len(sources)))):
        names = dict(zip(sources, target))
        spelled = [["".join(names[c] for c in s) for s in side] for side in (left, right)]
        assert BATCHES[metric](*spelled) == BATCHES[metric](left, right)


@pytest.mark.parametrize("metric", sorted(BATCHES))
def test_batch_contract(metric):
    f = BATCHES[metric]
    assert f([], []) == []
    assert f(("ab", "x"), ["ba", "x"]) == f(["ab", "x"], ("ba", "x"))
    assert f(right=["ba"], left=["abc"]) == f(["abc"], ["ba"])
    with pytest.raises(ValueError) as info:
        f(["a"], [])
    assert str(info.value) == "left and right must have the same length"
    with pytest.raises(TypeError) as info:
        f(["a", None], ["a", "b"])
    assert str(info.value) == "argument 'left': 'NoneType' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        f(["a"], "a")
    assert str(info.value) == "argument 'right': Can't extract `str` to `Vec`"
    assert f.__text_signature__ == "(left, right)"
