"""Token metrics (Jaccard, cosine, token sort ratio): the white-space set,
worked values, and differential tests against Python transcriptions."""

import math
from collections import Counter

import pytest
from rapidfuzz.distance import Levenshtein

import _corvane_rs as m
from string_samples import NOT_WHITE_SPACE, WHITE_SPACE, pair_count, random_pairs, token_pairs

WS = set(WHITE_SPACE)


def tokens(s):
    out, run = [], []
    for c in s:
        if c in WS:
            if run:
                out.append("".join(run))
            run = []
        else:
            run.append(c)
    if run:
        out.append("".join(run))
    return out


def jaccard_reference(a, b):
    sa, sb = set(tokens(a)), set(tokens(b))
    if not sa and not sb:
        return 1.0
    return len(sa & sb) / len(sa | sb)


def cosine_reference(a, b):
    ca, cb = Counter(tokens(a)), Counter(tokens(b))
    if not ca and not cb:
        return 1.0
    if not ca or not cb:
        return 0.0
    nb = sum(float(c) * float(c) for c in cb.values())
    na = sum(float(c) * float(c) for c in ca.values())
    dot = sum(float(c) * float(cb[t]) for t, c in ca.items() if t in cb)
    den = math.sqrt(nb) * math.sqrt(na)
    return 0.0 if den == 0.0 else dot / den


def token_sort_reference(a, b):
    ja = " ".join(sorted(tokens(a), key=lambda t: t.encode("utf-8")))
    jb = " ".join(sorted(tokens(b), key=lambda t: t.encode("utf-8")))
    if not ja and not jb:
        return 1.0
    return 1.0 - Levenshtein.distance(ja, jb) / max(len(ja), len(jb))


# (left, right, jaccard, cosine, token sort ratio)
WORKED = [
    ("", "", 1.0, 1.0, 1.0),
    ("   ", "\t", 1.0, 1.0, 1.0),
    ("", "a", 0.0, 0.0, 0.0),
    ("a", "", 0.0, 0.0, 0.0),
    ("a a b", "a b", 1.0, 0.9486832980505138, 0.6),
    ("new york", "New York", 0.0, 0.0, 0.75),
    ("john smith", "smith john", 1.0, 0.9999999999999998, 1.0),
    ("a", "a", 1.0, 1.0, 1.0),
    ("a b", "a b", 1.0, 0.9999999999999998, 1.0),  # sqrt(2) * sqrt(2), not clamped
    ("a b c", "a b c", 1.0, 1.0000000000000002, 1.0),
    ("a b c d", "a b c d", 1.0, 1.0, 1.0),
    ("apple pie", "apple tart", 0.3333333333333333, 0.4999999999999999, 0.6),
    ("john  smith", "john smith jr", 0.6666666666666666, 0.8164965809277259, 0.7692307692307692),
    ("x y z", "z y x w", 0.75, 0.8660254037844387, 0.7142857142857143),
    ("a\xa0b", "a b", 1.0, 0.9999999999999998, 1.0),  # U+00A0 separates
    ("a\u200bb", "a b", 0.0, 0.0, 0.6666666666666667),  # U+200B does not
    ("a\x1cb", "a b", 0.0, 0.0, 0.6666666666666667),
    ("alpha Zeta", "Zeta alpha", 1.0, 0.9999999999999998, 1.0),  # bytes: 'Z' < 'a'
    ("b é a", "a b é", 1.0, 1.0000000000000002, 1.0),
    ("ab a", "a abc", 0.3333333333333333, 0.4999999999999999, 0.8),  # 'a' < 'ab' < 'abc'
]


def test_worked_values():
    left = [w[0] for w in WORKED]
    right = [w[1] for w in WORKED]
    for name, column in (("jaccard_batch", 2), ("cosine_batch", 3), ("token_sort_ratio_batch", 4)):
        got = getattr(m, name)(left, right)
        for row, value in zip(WORKED, got):
            assert value == row[column], (name, row, value)


def test_every_white_space_code_point_and_only_those():
    # Every code point up to U+3100 (and some beyond) between 'a' and 'b':
    # two tokens exactly for the 25 white-space code points.
    cps = [c for c in range(0x3101) if not 0xD800 <= c <= 0xDFFF and chr(c) not in "ab"]
    cps += [0xFEFF, 0xFFFD, 0x1F600, 0x10FFFF]
    left = ["a" + chr(c) + "b" for c in cps]
    got = m.jaccard_batch(left, ["a b"] * len(left))
    separating = {chr(c) for c, v in zip(cps, got) if v == 1.0}
    assert separating == WS
    assert all(v in (0.0, 1.0) for v in got)
    for c in NOT_WHITE_SPACE:
        assert c not in separating
    # Runs of mixed white space at both ends and between tokens.
    text = "".join(WHITE_SPACE) + "x" + "".join(reversed(WHITE_SPACE)) + "y" + "\u3000"
    assert m.cosine_batch([text], ["y x"]) == [0.9999999999999998]
    assert m.token_sort_ratio_batch([text], ["x y"]) == [1.0]


def test_white_space_across_16_byte_blocks():
    # Multi-byte white space placed across every offset of a block boundary,
    # and tokens ending at the very end of strings of many lengths.
    left, right = [], []
    for ws in WHITE_SPACE:
        for pos in range(10, 36):
            text = "x" * pos + ws + "y" * (40 - pos)
            left.append(text)
            right.append("y" * (40 - pos) + " " + "x" * pos)
    for n in range(1, 40):
        left.append("é" * n + " a")
        right.append("a " + "é" * n)
    assert m.token_sort_ratio_batch(left, right) == [1.0] * len(left)
    assert m.jaccard_batch(left, right) == [1.0] * len(left)


@pytest.mark.parametrize(
    "name, reference",
    [("jaccard_batch", jaccard_reference), ("cosine_batch", cosine_reference),
     ("token_sort_ratio_batch", token_sort_reference)],
)
def test_differential(name, reference):
    n = pair_count(6000)
    left, right = token_pairs(n, seed=11)
    l2, r2 = random_pairs(n // 3, seed=12)
    left += l2
    right += r2
    got = getattr(m, name)(left, right)
    for a, b, value in zip(left, right, got):
        want = reference(a, b)
        assert value == want, (a, b, value, want)
