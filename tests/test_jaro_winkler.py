"""Jaro-Winkler: worked values and a differential test against a plain
Python transcription of the algorithm."""

import pytest

import _corvane_rs as m
from string_samples import pair_count, random_pairs


def jaro_reference(a, b):
    la, lb = len(a), len(b)
    if la == 0:
        return 1.0 if lb == 0 else 0.0
    if lb == 0:
        return 0.0
    r = max(max(la, lb) // 2 - 1, 0)
    a_flag, b_flag = [False] * la, [False] * lb
    matches = 0
    for i in range(la):
        lo = i - r if i > r else 0
        hi = min(lb, i + r + 1)
        for j in range(hi):
            if j >= lo and b[j] == a[i] and not b_flag[j]:
                a_flag[i] = b_flag[j] = True
                matches += 1
                break
    if matches == 0:
        return 0.0
    t, j = 0, 0
    for i in range(la):
        if a_flag[i]:
            while not b_flag[j]:
                j += 1
            if a[i] != b[j]:
                t += 1
            j += 1
    h = t // 2
    return ((matches / la + matches / lb) + (matches - h) / matches) / 3.0


def jaro_winkler_reference(a, b):
    s = jaro_reference(a, b)
    if not s > 0.7:
        return s
    prefix = 0
    while prefix < 4 and prefix < len(a) and prefix < len(b) and a[prefix] == b[prefix]:
        prefix += 1
    return s + (1.0 - s) * (0.1 * prefix)


WORKED = [
    ("", "", 1.0),
    ("", "a", 0.0),
    ("a", "", 0.0),
    ("a", "a", 1.0),
    ("a", "b", 0.0),
    ("ab", "ba", 0.0),  # R = 0: nothing matches
    ("MARTHA", "MARHTA", 0.9611111111111111),
    ("DWAYNE", "DUANE", 0.8400000000000001),
    ("ddee", "deeee", 0.8049999999999999),  # a fused multiply-add gives 0.805
    ("DIXON", "DICKSONX", 0.8133333333333332),
    ("abcdefgh", "abcdefgx", 0.95),  # prefix capped at 4
    ("xabc", "xbca", 0.8500000000000001),  # the window keeps 'a' from matching
    ("abcdef", "bcadef", 0.9444444444444445),  # t = 3, h = 1 (floored)
    ("smith", "msith", 0.9333333333333332),  # above 0.7 but no common prefix
    ("Martha", "MARTHA", 0.4444444444444444),
    ("é", "e", 0.0),
    ("é", "é", 1.0),
    ("aaa", "aaaacb", 0.8833333333333334),  # k = 0.1 * 3, not the literal 0.3
    ("a", "abcdefghij", 0.7300000000000001),  # Jaro 0.7000000000000001 gets the bonus
    ("a", "abcdefghijk", 0.6969696969696969),  # below the threshold: no bonus
    # Characters, not bytes: 'é' is one character against one.
    ("héllo", "hállo", jaro_winkler_reference("héllo", "hállo")),
    ("日本語テキスト", "日本語テキスド", 0.9428571428571428),
]


def test_worked_values():
    left = [a for a, _, _ in WORKED]
    right = [b for _, b, _ in WORKED]
    got = m.jaro_winkler_batch(left, right)
    for (a, b, want), value in zip(WORKED, got):
        assert value == want, (a, b, value, want)
        assert jaro_winkler_reference(a, b) == want, (a, b)


def test_differential_random_pairs():
    left, right = random_pairs(pair_count(6000), seed=20240611)
    got = m.jaro_winkler_batch(left, right)
    assert len(got) == len(left)
    for a, b, value in zip(left, right, got):
        want = jaro_winkler_reference(a, b)
        assert value == want, (a, b, value, want)
        assert 0.0 <= value <= 1.0


BATCH_FUNCTIONS = ["jaro_winkler_batch", "soundex_batch", "jaccard_batch", "cosine_batch", "token_sort_ratio_batch"]


@pytest.mark.parametrize("name", BATCH_FUNCTIONS)
def test_batch_shape_and_errors(name):
    f = getattr(m, name)
    assert f([], []) == []
    with pytest.raises(ValueError) as info:
        f(["a"], [])
    assert str(info.value) == "left and right must have the same length"
    with pytest.raises(TypeError) as info:
        f(["a", None], ["a"])  # the element error comes before the length check
    assert str(info.value) == "argument 'left': 'NoneType' object cannot be converted to 'PyString'"
    # Left is always the kernel's first operand, whether given by position,
    # by keyword or as another sequence type.
    left, right = ["xabc", "DWAYNE", "a b", ""], ["xbca", "DUANE", "b a c", " "]
    by_position = f(left, right)
    assert f(right=tuple(right), left=left) == by_position
    assert [f([a], [b])[0] for a, b in zip(left, right)] == by_position
