"""A small tour of the pairwise functions on a handful of name pairs."""

import _corvane_rs as m

LEFT = ["Jonathan Smith", "Maria Müller", "Robert", "12 Main St", ""]
RIGHT = ["Jonathon Smyth", "Maria Mueller", "Rupert", "12 Main Street", ""]

PAIRWISE = [
    "jaro_winkler_batch",
    "levenshtein_batch",
    "damerau_levenshtein_batch",
    "exact_match_batch",
    "soundex_batch",
    "jaccard_batch",
    "cosine_batch",
    "token_sort_ratio_batch",
]


def main() -> None:
    names = [n for n in PAIRWISE if hasattr(m, n)]
    width = max(len(s) for s in LEFT + RIGHT) + 2
    header = "pair".ljust(2 * width + 4) + "".join(n.replace("_batch", "")[:12].rjust(14) for n in names)
    print(header)
    scores = {n: getattr(m, n)(LEFT, RIGHT) for n in names}
    for i, (a, b) in enumerate(zip(LEFT, RIGHT)):
        row = f"{a!r:<{width}} ~ {b!r:<{width}}" + "".join(f"{scores[n][i]:14.4f}" for n in names)
        print(row)
    if hasattr(m, "numeric_similarity_batch"):
        print("numeric similarity of ages:", m.numeric_similarity_batch([34, 0, 51], [35, 0, -51]))


if __name__ == "__main__":
    main()
