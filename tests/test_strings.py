"""String metrics: worked values, the white-space set, and each metric
against its reference on generated pairs, through the batch function and
the feature matrix column alike.

CORVANE_DIFF_PAIRS sets the number of generated pairs per metric."""

import ctypes
import mmap
import os
import random
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pytest

import _corvane_rs as m
from support import (LANE_COUNTS, REFERENCE, STRING_METRICS, WHITE_SPACE, check_metric, cpu_simd_levels,
                     jaro_class_pairs, lane_pairs, random_pairs, short_token_pairs, single_token_pairs, soundex,
                     token_pairs, transposition_pairs)

THIRD = 0.33333333333333337  # 1.0 - 2/3 in binary64
# (left, right, Levenshtein, Damerau-Levenshtein)
EDIT = [
    ("", "", 1.0, 1.0), ("", "abc", 0.0, 0.0), ("abc", "", 0.0, 0.0), ("saturday", "sunday", 0.625, 0.625),
    ("ab", "ba", 0.0, 0.5), ("ca", "abc", 0.0, THIRD), ("ab", "bca", 0.0, THIRD),  # unrestricted transpositions
    ("abcdef", "badcfe", THIRD, 0.5), ("A", "a", 0.0, 0.0), ("é", "e", 0.0, 0.0), ("naïve", "naive", 0.8, 0.8),
    ("nai\u0308ve", "naive", 5 / 6, 5 / 6), ("日本語x", "日本語y", 0.75, 0.75), ("\U0001f600a", "a\U0001f600", 0.0, 0.5),
    # characters sharing a UTF-8 lead byte (é/è) or last byte (é/ĩ)
    ("é", "è", 0.0, 0.0), ("xéy", "xèy", 1 - 1 / 3, 1 - 1 / 3), ("xé", "xĩ", 0.5, 0.5), ("éx", "ĩx", 0.5, 0.5),
    ("ab" * 40, "ba" * 40, 1 - 2 / 80, 1 - 2 / 80), ("ab" * 100, "ba" * 100, 1 - 2 / 200, 1 - 2 / 200),
]
JARO_WINKLER = [
    ("", "", 1.0), ("", "a", 0.0), ("a", "", 0.0), ("a", "b", 0.0), ("ab", "ba", 0.0),
    ("MARTHA", "MARHTA", 0.9611111111111111), ("DWAYNE", "DUANE", 0.8400000000000001),
    ("ddee", "deeee", 0.8049999999999999),  # a fused multiply-add gives 0.805
    ("DIXON", "DICKSONX", 0.8133333333333332), ("abcdefgh", "abcdefgx", 0.95),  # prefix capped at 4
    ("xabc", "xbca", 0.8500000000000001), ("abcdef", "bcadef", 0.9444444444444445),  # t = 3, halved and floored
    ("smith", "msith", 0.9333333333333332), ("Martha", "MARTHA", 0.4444444444444444), ("é", "e", 0.0),
    ("aaa", "aaaacb", 0.8833333333333334), ("a", "abcdefghij", 0.7300000000000001),  # Jaro just above 0.7
    ("a", "abcdefghijk", 0.6969696969696969), ("日本語テキスト", "日本語テキスド", 0.9428571428571428),
]
# (left, right, Jaccard, cosine, token sort ratio)
TOKENS = [
    ("", "", 1.0, 1.0, 1.0), ("   ", "\t", 1.0, 1.0, 1.0), ("", "a", 0.0, 0.0, 0.0), ("a", "", 0.0, 0.0, 0.0),
    ("a a b", "a b", 1.0, 0.9486832980505138, 0.6), ("new york", "New York", 0.0, 0.0, 0.75),
    ("a b", "a b", 1.0, 0.9999999999999998, 1.0), ("a b c", "a b c", 1.0, 1.0000000000000002, 1.0),  # not clamped
    ("apple pie", "apple tart", 1 / 3, 0.4999999999999999, 0.6),
    ("john  smith", "john smith jr", 2 / 3, 0.8164965809277259, 0.7692307692307692),
    ("x y z", "z y x w", 0.75, 0.8660254037844387, 0.7142857142857143),
    ("a\xa0b", "a b", 1.0, 0.9999999999999998, 1.0), ("a\u200bb", "a b", 0.0, 0.0, 0.6666666666666667),
    ("alpha Zeta", "Zeta alpha", 1.0, 0.9999999999999998, 1.0),  # sorted by bytes: 'Z' < 'a'
    ("ab a", "a abc", 1 / 3, 0.4999999999999999, 0.8),
    # already in joined form, or one space, tab or edge away from it
    ("ab cd", "ab ce", 1 / 3, 0.4999999999999999, 0.8), ("a b", "a\tb", 1.0, 0.9999999999999998, 1.0),
    ("b a ", "a b", 1.0, 0.9999999999999998, 1.0), (" a b", "a b", 1.0, 0.9999999999999998, 1.0),
    ("a  b", "a b c", 2 / 3, 0.8164965809277259, 0.6),
]
CODES = {  # Soundex codes; only the match of two codes leaves the module
    "Robert": "R163", "Rupert": "R163", "ROBERT": "R163", "Rubin": "R150", "Tymczak": "T522", "Pfister": "P236",
    "Honeyman": "H555", "Jackson": "J250", "Washington": "W252", "Gutierrez": "G362", "Lee": "L000", "a": "A000",
    "Lloyd": "L300", "Ashcraft": "A226", "Bhb": "B100", "Bwb": "B100", "Bab": "B100", "B-B": "B000", "BB": "B000",
    "B1b": "B000", "Béb": "B000", "O'Brien": "O165", "Émile": "M400", "Jiménez": "J520", "Müller": "M460",
    "": "0000", "123": "0000", "日本": "0000", "Pppppppppqrst": "P262", "Abcdefghijklmnop": "A123",
}
WORKED = {
    "levenshtein": [r[:3] for r in EDIT], "damerau_levenshtein": [r[:2] + r[3:] for r in EDIT],
    "jaro_winkler": JARO_WINKLER, "jaccard": [r[:3] for r in TOKENS], "cosine": [r[:2] + r[3:4] for r in TOKENS],
    "token_sort_ratio": [r[:2] + r[4:] for r in TOKENS],
    "soundex": [(a, b, float(CODES[a] == CODES[b])) for a in CODES for b in CODES],
    "exact": [("abc", "abc", 1.0), ("abc", "ABC", 0.0), ("", "", 1.0), ("a ", "a", 0.0), ("\u00e9", "e\u0301", 0.0),
              ("abcdefghij", "abcdefghiJ", 0.0)],
}


@pytest.mark.parametrize("metric", STRING_METRICS)
def test_worked_values(metric):
    left, right, want = zip(*WORKED[metric])
    if metric == "soundex":
        assert {w: soundex(w) for w in CODES} == CODES
    check_metric(metric, list(left), list(right), want)


@pytest.mark.parametrize("metric", STRING_METRICS)
def test_metric_equals_reference(metric):
    n = int(os.environ.get("CORVANE_DIFF_PAIRS", 4000))
    left, right = random_pairs(n, seed=STRING_METRICS.index(metric))
    if metric in ("jaccard", "cosine", "token_sort_ratio", "soundex"):
        more = token_pairs(n, seed=7)
        single = single_token_pairs(n // 2, seed=8)
        left, right = left + more[0] + single[0], right + more[1] + single[1]
    if "levenshtein" in metric:  # every pair over {a, b, c} up to length 4
        words = [""] + [a + b + c + d for a in "abc" for b in " abc" for c in " abc" for d in " abc"]
        words = sorted({w.replace(" ", "") for w in words})
        left, right = left + [a for a in words for _ in words], right + [b for _ in words for b in words]
    check_metric(metric, left, right, [REFERENCE[metric](a, b) for a, b in zip(left, right)])


def soundex_spelling(code):
    """A plain spelling of a Soundex code: its letter, then each digit's
    letter after a separating vowel ('R163' -> 'Rabarad'; '0000' -> '')."""
    letters = dict(zip("123456", "bcdlmr"))
    return "" if code == "0000" else code[0] + "".join("a" + letters[d] for d in code[1:] if d != "0")


def test_soundex_codes_of_generated_strings():
    # Lengths around the 16 bytes read at once, letters first met past them,
    # runs of skipped bytes (digits, punctuation, white space, every byte of
    # a multi-byte character) between letters with equal digits, and codes
    # still unfilled at byte 16. Each string is matched against a plain
    # spelling of its own code and of another string's code.
    rng = random.Random(5)
    pieces = ["b", "p", "f", "c", "s", "k", "d", "t", "l", "m", "n", "r", "a", "e", "h", "w", "y", "B", "T", "M",
              " ", "1", "-", "'", "\t", "\x00", "\x7f", "é", "日", "\U0001f600", "  ", "1234567"]
    words = ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 24))) for _ in range(3000)]
    words += [rng.choice(["", "-" * k, "9" * k, "é" * k]) + w for k in range(12, 20) for w in ("Robert", "Lloyd", "aeiou")]
    words += ["a" * k + "b" + "h" * j + "b" + "1" * j + "c" for k in range(8, 20) for j in range(0, 3)]
    left, right, want = [], [], []
    for w in words:
        other = rng.choice(words)
        left += [w, w, w]
        right += [soundex_spelling(soundex(w)), soundex_spelling(soundex(other)), w]  # and w itself
        want += [1.0, float(soundex(w) == soundex(other)), 1.0]
    assert {w: soundex(soundex_spelling(c)) for w, c in CODES.items()} == CODES
    check_metric("soundex", left, right, want)


def test_white_space_is_exactly_the_25_code_points():
    # Every code point up to U+3100 (and a few beyond) between two tokens.
    cps = [c for c in range(0x3101) if not 0xD800 <= c <= 0xDFFF and chr(c) not in "ab"] + [0xFEFF, 0x1F600, 0x10FFFF]
    got = m.jaccard_batch(["a" + chr(c) + "b" for c in cps], ["a b"] * len(cps))
    assert {chr(c) for c, v in zip(cps, got) if v == 1.0} == set(WHITE_SPACE) and set(got) == {0.0, 1.0}
    # Multi-byte white space at every offset around a 16-byte block, and
    # tokens ending at the very end of strings of many lengths.
    left = ["x" * k + ws + "y" * (40 - k) for ws in WHITE_SPACE for k in range(10, 36)]
    right = ["y" * (40 - k) + " " + "x" * k for _ in WHITE_SPACE for k in range(10, 36)]
    left, right = left + ["é" * n + " a" for n in range(1, 40)], right + ["a " + "é" * n for n in range(1, 40)]
    assert m.token_sort_ratio_batch(left, right) == m.jaccard_batch(left, right) == [1.0] * len(left)


# Scores every string metric of lane_pairs, split into calls of every count
# in LANE_COUNTS, through the batch function and the feature matrix: one
# line per metric and path, of hexadecimal floats.
LEVEL_SCRIPT = """
import numpy as np
import _corvane_rs as m
from support import BATCH, LANE_COUNTS, STRING_METRICS, lane_pairs
left, right = lane_pairs(5)
for metric in STRING_METRICS:
    batch, matrix, lo = [], [], 0
    for n in LANE_COUNTS:
        a, b, z = left[lo:lo + n], right[lo:lo + n], np.zeros((0, n))
        lo += n
        batch += getattr(m, BATCH[metric])(a, b)
        matrix += m.compute_feature_matrix([a], [b], [metric], z, z, [], n).tolist()
    print(metric, "batch", *(x.hex() for x in batch))
    print(metric, "matrix", *(x.hex() for x in matrix))
"""


# Jaro-Winkler of jaro_class_pairs, split into calls of every count in
# LANE_COUNTS (so its groups fill, and are left part full, at every block
# boundary), the same way.
JARO_LEVEL_SCRIPT = LEVEL_SCRIPT.replace("lane_pairs(5)", "jaro_class_pairs(11)").replace(
    "lane_pairs\n", "lane_pairs, jaro_class_pairs\n").replace("in STRING_METRICS", "in ['jaro_winkler']")


def scores_at_level(level, script=LEVEL_SCRIPT):
    """{(metric, path): [hex float per pair]} from a fresh interpreter with
    CORVANE_SIMD=level running `script`."""
    path = os.pathsep.join([os.path.dirname(__file__)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                                                          if p])
    run = subprocess.run([sys.executable, "-c", script], env={**os.environ, "CORVANE_SIMD": level,
                                                                   "PYTHONPATH": path},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return {tuple(line.split()[:2]): line.split()[2:] for line in run.stdout.splitlines()}


def test_every_simd_level_gives_the_scalar_scores():
    # Beyond the levels the processor has: asking for one it lacks runs the
    # best it has (the same scores, no illegal instruction).
    levels = cpu_simd_levels() + ["avx512" if "avx512" not in cpu_simd_levels() else "sse9"]
    scalar, *others = [scores_at_level(level) for level in levels]
    left, right = lane_pairs(5)
    assert len(scalar) == 2 * len(STRING_METRICS) and {len(v) for v in scalar.values()} == {len(left)}
    for level, got in zip(levels[1:], others):
        for key, want in scalar.items():
            bad = [(left[i], right[i], got[key][i], w) for i, w in enumerate(want) if got[key][i] != w]
            assert not bad, (level, key, len(bad), bad[:5])
    # And every level agrees with the reference on these pairs (this process runs the best one).
    for metric in ("levenshtein", "jaro_winkler"):
        check_metric(metric, left, right, [REFERENCE[metric](a, b) for a, b in zip(left, right)])



def test_jaro_winkler_groups_give_the_scalar_scores_at_every_level():
    left, right = jaro_class_pairs(11)
    assert len(left) >= sum(LANE_COUNTS)
    scalar, *others = [scores_at_level(level, JARO_LEVEL_SCRIPT) for level in cpu_simd_levels()]
    assert set(scalar) == {("jaro_winkler", "batch"), ("jaro_winkler", "matrix")}
    for level, got in zip(cpu_simd_levels()[1:], others):
        for key, want in scalar.items():
            bad = [(left[i], right[i], got[key][i], w) for i, w in enumerate(want) if got[key][i] != w]
            assert not bad, (level, key, len(bad), bad[:5])
    check_metric("jaro_winkler", left, right, [REFERENCE["jaro_winkler"](a, b) for a, b in zip(left, right)])


# Damerau-Levenshtein of transposition_pairs at every level: the pairs
# whose distance is Levenshtein's go to the Levenshtein lanes, the others
# run the full algorithm, side by side in each block.
DAMERAU_LEVEL_SCRIPT = LEVEL_SCRIPT.replace("lane_pairs(5)", "transposition_pairs(13)").replace(
    "lane_pairs\n", "lane_pairs, transposition_pairs\n").replace("in STRING_METRICS", "in ['damerau_levenshtein']")


def test_damerau_levenshtein_transpositions_at_every_level():
    left, right = transposition_pairs(13)
    want = [REFERENCE["damerau_levenshtein"](a, b) for a, b in zip(left, right)]
    # Both outcomes of the transposition test are well represented.
    assert 0.2 < sum(w != REFERENCE["levenshtein"](a, b) for a, b, w in zip(left, right, want)) / len(want) < 0.8
    for level in cpu_simd_levels():
        got = scores_at_level(level, DAMERAU_LEVEL_SCRIPT)
        for key, scores in got.items():
            bad = [(left[i], right[i], s, w) for i, (s, w) in enumerate(zip(scores, want)) if float.fromhex(s) != w]
            assert not bad, (level, key, len(bad), bad[:5])


PAGE_END_METRICS = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "soundex"]


def read_strings_that_end_where_memory_ends(metrics):
    # Arrow strings packed against the end of a page whose next page cannot
    # be read: the short strings ending there (and just before) must be read
    # without touching the next page.
    page = mmap.PAGESIZE
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    region = mmap.mmap(-1, 4 * page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(region))
    guards = (base + page, base + 3 * page)
    for guard in guards:
        assert libc.mprotect(guard, page, 0) == 0  # PROT_NONE, ctypes.get_errno()
    try:
        rng = random.Random(3)
        for n in range(1, 34):
            sides = []
            for start in (base, base + 2 * page):
                words = ["".join(rng.choice("abcd") for _ in range(k)) for k in (n, 3, 1, n)]
                data = "".join(words).encode()
                ctypes.memmove(start + page - len(data), data, len(data))
                offsets = np.cumsum([0] + [len(w) for w in words], dtype=np.int32) + (page - len(data))
                sides.append((words, pa.StringArray.from_buffers(
                    len(words), pa.py_buffer(offsets.tobytes()), pa.foreign_buffer(start, page, base=region))))
            (lw, la), (rw, ra) = sides
            for metric in metrics:
                want = [REFERENCE[metric](a, b) for a, b in zip(lw, rw)]
                got = m.compute_feature_matrix([la], [ra], [metric], np.zeros((0, 4)), np.zeros((0, 4)), [], 4)
                assert np.ravel(got).tolist() == want, (metric, n, lw, rw)
    finally:
        for guard in guards:
            libc.mprotect(guard, page, mmap.PROT_READ | mmap.PROT_WRITE)


def test_block_routines_read_strings_that_end_where_memory_ends():
    # At the best level here, and at each vector level below it in a fresh
    # interpreter (their loads differ).
    read_strings_that_end_where_memory_ends(PAGE_END_METRICS)
    script = "import test_strings; test_strings.read_strings_that_end_where_memory_ends(%r)" % PAGE_END_METRICS
    for level in cpu_simd_levels()[1:-1]:
        path = os.pathsep.join([os.path.dirname(__file__)] + [p for p in os.environ.get("PYTHONPATH", "").split(
            os.pathsep) if p])
        run = subprocess.run([sys.executable, "-c", script], env={**os.environ, "CORVANE_SIMD": level,
                                                                   "PYTHONPATH": path},
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, (level, run.stderr[:3000])


# The same for Soundex and the token metrics on short texts of a few tokens
# (their block routines' register paths and every way off them).
TOKEN_METRICS = ["soundex", "jaccard", "cosine", "token_sort_ratio"]
TOKEN_LEVEL_SCRIPT = LEVEL_SCRIPT.replace(
    "left, right = lane_pairs(5)", "from support import short_token_pairs\nleft, right = short_token_pairs(6)").replace(
    "for metric in STRING_METRICS:", "for metric in %r:" % TOKEN_METRICS)


def test_token_metrics_give_the_scalar_scores_at_every_level():
    assert "short_token_pairs(6)" in TOKEN_LEVEL_SCRIPT and repr(TOKEN_METRICS) in TOKEN_LEVEL_SCRIPT
    levels = cpu_simd_levels()
    scalar, *others = [scores_at_level(level, TOKEN_LEVEL_SCRIPT) for level in levels]
    left, right = short_token_pairs(6)
    assert len(scalar) == 2 * len(TOKEN_METRICS) and {len(v) for v in scalar.values()} == {len(left)}
    for level, got in zip(levels[1:], others):
        for key, want in scalar.items():
            bad = [(left[i], right[i], got[key][i], w) for i, w in enumerate(want) if got[key][i] != w]
            assert not bad, (level, key, len(bad), bad[:5])
    # This process runs the best level.
    for metric in TOKEN_METRICS:
        check_metric(metric, left, right, [REFERENCE[metric](a, b) for a, b in zip(left, right)])


# The register path's edges, each on both sides of it: 32 and 33 bytes,
# four and five tokens, tokens of 15 and 16 bytes, a zero byte, a byte that
# may begin multi-byte white space (U+00A0 does, U+00A9 only looks alike),
# repeats at every pair of the four lanes, and the same tokens reordered.
P15, P16 = "p" * 15, "p" * 16
REGISTER_EDGES = [
    ("a" * 32, "a" * 31 + "b"), ("a" * 33, "a" * 32 + "b"), ("ab " * 10 + "ab", "ab " * 10 + "ba"),
    ("a b c d", "d c b a"), ("a b c d e", "e d c b a"), ("a b c d", "a b c d e"), (P15 + " x", "x " + P15),
    (P16 + " x", "x " + P16), (P15 + " " + P15, P15), (P16 + " " + P16, P16), ("a\x00 b", "b a\x00"), ("a\x00 b", "a b"),
    ("a\xa0b c", "c b a"), ("\xa9 b", "b \xa9"), ("x x y z", "x y z"), ("x y x z", "x y z"), ("x y z x", "x y z"),
    ("x y y z", "y z x"), ("x y z y", "z y x"), ("x y z z", "z y x z"), ("x x x x", "x"), ("\tx\n y\r", " y x "),
    ("", " \t "), ("", "a"), ("john smith", "smith john"), ("12345678 abcdefgh", "abcdefgh 12345678"),
    ("abcdefghi abcdefghj", "abcdefghj abcdefghi x"), ("é b", "b é"), ("日本 x", "x 日本"),
    # A fourth token or none (the fourth lane), long or repeated, at 32 bytes.
    ("a b c d", "a b c"), ("a b c " + P15, P15 + " c b a"), ("a b c " + P16, P16 + " c b a"), ("x y z z", "x y z"),
    ("abcdefghijklmno pqrstuvwxyzabcd ", "pqrstuvwxyzabcd abcdefghijklmno"), ("a b c " + "d" * 26, "d" * 26 + " c b a"),
]


@pytest.mark.parametrize("metric", ["soundex", "jaccard", "cosine", "token_sort_ratio"])
def test_register_path_edges_equal_reference(metric):
    left = [a for a, b in REGISTER_EDGES] + [b for a, b in REGISTER_EDGES]
    right = [b for a, b in REGISTER_EDGES] + [a for a, b in REGISTER_EDGES]
    check_metric(metric, left, right, [REFERENCE[metric](a, b) for a, b in zip(left, right)])
