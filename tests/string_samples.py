"""Random string pairs for the differential tests of the string kernels.

Pairs mix ASCII, Latin-1, code points above 255 (two-, three- and four-byte
UTF-8) and white-space code points, and the right side is often an edited
copy of the left so that high similarities and common prefixes occur.
"""

import os
import random

WHITE_SPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + [" ", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
assert len(WHITE_SPACE) == 25

# Look-alikes of white space that are ordinary token characters.
NOT_WHITE_SPACE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u180e", "\u200b", "\ufeff", "\x84", "\xa1", "\u200c", "\u202a", "\u3001"]

ALPHABETS = [
    "abcde",
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-'.",
    "aeiouéèüöñçßÄ",
    "абвгдеж",
    "日本語中文字",
    "a\U0001f600\U0001f601b\U00010348",
    "ab ",
]


def pair_count(default):
    """Number of random pairs: CORVANE_DIFF_PAIRS overrides the default."""
    return int(os.environ.get("CORVANE_DIFF_PAIRS", default))


def _random_string(rng, length):
    alphabet = rng.choice(ALPHABETS)
    chars = []
    for _ in range(length):
        roll = rng.random()
        if roll < 0.08:
            chars.append(rng.choice(WHITE_SPACE))
        elif roll < 0.10:
            chars.append(rng.choice(NOT_WHITE_SPACE))
        elif roll < 0.12:
            chars.append(chr(rng.randint(0x20, 0x2FFF)))
        else:
            chars.append(rng.choice(alphabet))
    return "".join(chars)


def _edited(rng, s):
    chars = list(s)
    for _ in range(rng.randint(0, 4)):
        op = rng.randint(0, 3)
        k = rng.randint(0, len(chars)) if chars else 0
        if op == 0 and chars:
            chars[min(k, len(chars) - 1)] = rng.choice("xyzé日 ")
        elif op == 1:
            chars.insert(k, rng.choice("abxé語\t"))
        elif op == 2 and chars:
            del chars[min(k, len(chars) - 1)]
        elif op == 3 and len(chars) > 1:
            i = min(k, len(chars) - 2)
            chars[i], chars[i + 1] = chars[i + 1], chars[i]
    return "".join(chars)


def _length(rng):
    roll = rng.random()
    if roll < 0.70:
        return rng.randint(0, 24)
    if roll < 0.90:
        return rng.randint(25, 70)  # around the 64-character word boundary
    if roll < 0.99:
        return rng.randint(60, 140)
    return rng.randint(140, 400)


def random_pairs(n, seed):
    rng = random.Random(seed)
    left, right = [], []
    for _ in range(n):
        a = _random_string(rng, _length(rng))
        b = _edited(rng, a) if rng.random() < 0.6 else _random_string(rng, _length(rng))
        if rng.random() < 0.5:
            a, b = b, a
        left.append(a)
        right.append(b)
    return left, right


def token_pairs(n, seed):
    """Pairs of short texts built from a small vocabulary, so that tokens
    repeat within and across the two sides."""
    rng = random.Random(seed)
    vocab = ["a", "b", "ab", "B", "Zeta", "é", "日本", "x\u200by", "john", "smith", "jr", "\U0001f600", "a-b",
             # ordering beyond an 8-byte prefix, and zero bytes inside tokens
             "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh\x00", "abcdefghij", "abcdefgz", "a\x00", "a\x00\x00b",
             "Straßenbahnhaltestelle", "Straßenbahnhaltestellen"]
    left, right = [], []
    for _ in range(n):
        pair = []
        for _side in range(2):
            count = rng.choice([0, 1, 2, 3, 4, 6, 10, 25, 40]) if rng.random() < 0.9 else rng.randint(0, 60)
            parts = [rng.choice(WHITE_SPACE) * rng.randint(0, 2)]
            for _ in range(count):
                parts.append(rng.choice(vocab))
                parts.append("".join(rng.choice(WHITE_SPACE) for _ in range(rng.randint(1, 2))))
            pair.append("".join(parts))
        left.append(pair[0])
        right.append(pair[1])
    return left, right
