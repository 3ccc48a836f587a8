"""Seeded generator of record-linkage benchmark data (no download).

Candidate pairs of person records, as a blocking step would produce them:
about a third are true matches whose right-hand record was re-keyed with the
usual faults (typos, adjacent transpositions, dropped accents, nicknames,
abbreviated street types, swapped name order, missing values), the rest pair
two different people, who often share a common surname or suburb.

    from data import make_pairs
    pairs = make_pairs(1_000_000, seed=7)
    left, right = pairs.strings["name"]          # two lists of str
    dob_l, dob_r = pairs.numbers["dob_days"]     # two float64 arrays (NaN = missing)

String fields: given, surname, name ("Given Surname", sometimes reversed or
"SURNAME, Given" on the right), street ("12 Smith Street"), suburb, postcode,
address (street and suburb, for token metrics). Numeric fields: dob_days
(days since 1970-01-01) and street_no. Missing strings are "" and missing
numbers NaN. Some 8% of names and places carry non-ASCII letters (Latin
accents, Cyrillic, CJK). Everything is a pure function of (n, seed).

Values are drawn from pools of a few thousand base values plus a handful of
faulty variants of each (built once, in Python), so a million pairs are made
by index arithmetic in NumPy and a few list comprehensions (about a second).
"""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass, field

import numpy as np

GIVEN = (
    "James John Robert Michael William David Richard Joseph Thomas Charles Christopher Daniel Matthew "
    "Anthony Mark Donald Steven Paul Andrew Joshua Kenneth Kevin Brian George Timothy Ronald Edward "
    "Jason Jeffrey Ryan Jacob Gary Nicholas Eric Jonathan Stephen Larry Justin Scott Brandon Benjamin "
    "Samuel Gregory Alexander Patrick Frank Raymond Jack Dennis Jerry Tyler Aaron Henry Adam Nathan "
    "Mary Patricia Jennifer Linda Elizabeth Barbara Susan Jessica Sarah Karen Lisa Nancy Betty Margaret "
    "Sandra Ashley Kimberly Emily Donna Michelle Carol Amanda Dorothy Melissa Deborah Stephanie Rebecca "
    "Sharon Laura Cynthia Kathleen Amy Angela Shirley Anna Brenda Pamela Emma Nicole Helen Samantha "
    "Katherine Christine Debra Rachel Carolyn Janet Catherine Maria Heather Diane Ruth Julie Olivia "
    "Mohammed Ahmed Fatima Aisha Wei Mei Hiroshi Yuki Priya Rahul Arjun Ananya Kwame Amara Oluwaseun"
).split() + [
    "José", "Zoë", "Renée", "Björn", "Łukasz", "Siobhán", "François", "Jürgen", "Søren", "Mátyás",
    "Chloé", "Anaïs", "Ángel", "Inés", "Dolores", "Grégoire", "Małgorzata", "Jiří", "Ömer", "Nuño",
    "Сергей", "Анна", "Дмитрий", "Мария", "伟", "芳", "Thảo", "Đức", "Zoltán", "Håkon",
]

SURNAMES = (
    "Smith Johnson Williams Brown Jones Garcia Miller Davis Rodriguez Martinez Hernandez Lopez Gonzalez "
    "Wilson Anderson Thomas Taylor Moore Jackson Martin Lee Perez Thompson White Harris Sanchez Clark "
    "Ramirez Lewis Robinson Walker Young Allen King Wright Scott Torres Nguyen Hill Flores Green Adams "
    "Nelson Baker Hall Rivera Campbell Mitchell Carter Roberts Gomez Phillips Evans Turner Diaz Parker "
    "Cruz Edwards Collins Reyes Stewart Morris Morales Murphy Cook Rogers Gutierrez Ortiz Morgan Cooper "
    "Peterson Bailey Reed Kelly Howard Ramos Kim Cox Ward Richardson Watson Brooks Chavez Wood James "
    "Bennett Gray Mendoza Ruiz Hughes Price Alvarez Castillo Sanders Patel Myers Long Ross Foster "
    "Jimenez Powell Jenkins Perry Russell Sullivan Bell Coleman Butler Henderson Barnes Gonzales Fisher "
    "Vasquez Simmons Romero Jordan Patterson Alexander Hamilton Graham Reynolds Griffin Wallace Moreno "
    "West Cole Hayes Bryant Herrera Gibson Ellis Tran Medina Aguilar Stevens Murray Ford Castro Marshall "
    "Owens Harrison Fernandez McDonald Woods Washington Kennedy Wells Vargas Henry Chen Freeman Webb "
    "Tucker Guzman Burns Crawford Olson Simpson Porter Hunter Gordon Mendez Silva Shaw Snyder Mason "
    "Dixon Munoz Hunt Hicks Holmes Palmer Wagner Black Robertson Boyd Rose Stone Salazar Fox Warren Mills "
    "Meyer Rice Schmidt Garza Daniels Ferguson Nichols Stephens Soto Weaver Ryan Gardner Payne Grant "
    "Dunn Kelley Spencer Hawkins Arnold Pierce Vazquez Hansen Peters Santos Hart Bradley Knight Elliott "
    "Cunningham Duncan Armstrong Hudson Carroll Lane Riley Andrews Alvarado Ray Delgado Berry Perkins "
    "Hoffman Johnston Matthews Pena Richards Willis Carpenter Lawrence Sandoval Guerrero George Chapman "
    "Rios Estrada Ortega Watkins Greene Nunez Wheeler Valdez Harper Burke Larson Santiago Maldonado "
    "Morrison Franklin Carlson Austin Dominguez Carr Lawson Jacobs Obrien Lynch Singh Vega Bishop "
    "Montgomery Oliver Jensen Harvey Williamson Gilbert Dean Sims Espinoza Howell Li Wong Reid Hanson "
    "Le McCoy Garrett Burton Fuller Wang Weber Welch Rojas Lucas Marquez Fields Park Yang Little Banks"
).split() + [
    "Müller", "Nguyễn", "Ødegaard", "García", "Pérez", "Dvořák", "Öztürk", "Čapek", "Şahin", "Łukaszewicz",
    "O'Brien", "Smith-Jones", "van der Berg", "de la Cruz", "MacDonald", "D'Angelo", "Ó Súilleabháin",
    "Schröder", "Gauß", "Björklund", "Иванов", "Петрова", "Смирнов", "王", "李", "张", "Đặng", "Nuñez",
    "Fernández", "Jiménez", "Lefèvre", "Brontë", "Kovač", "Wiśniewski", "Sørensen",
]

STREETS = (
    "Main High Station Church Park Victoria Queen King George Albert Elizabeth William Mill School "
    "Bridge North South East West Hill Lake River Forest Garden Spring Oak Maple Cedar Pine Elm Willow "
    "Chestnut Birch Ash Beech Highland Ocean Bay Harbour Beach Railway Market Union Commercial Princes "
    "Wellington Nelson Grey Stirling Bourke Collins Flinders Swanston Lonsdale Elgin Gertrude Brunswick "
    "Lygon Sydney Canterbury Burwood Toorak Glenferrie Warrigal Springvale Ferntree Gully Dandenong"
).split() + ["Saint Kilda", "Mount Alexander", "Dorcas", "Rue de la Paix", "Königsallee", "Calle Mayor"]

STREET_TYPES = [("Street", "St"), ("Road", "Rd"), ("Avenue", "Ave"), ("Drive", "Dr"), ("Court", "Ct"),
                ("Place", "Pl"), ("Lane", "Ln"), ("Crescent", "Cres"), ("Parade", "Pde"), ("Highway", "Hwy")]

SUBURBS = (
    "Richmond Fitzroy Carlton Brunswick Northcote Preston Coburg Footscray Yarraville Williamstown "
    "Kensington Ascot Essendon Moonee Pascoe Glenroy Broadmeadows Epping Bundoora Heidelberg Ivanhoe "
    "Kew Hawthorn Camberwell Balwyn Doncaster Box Blackburn Ringwood Croydon Lilydale Belgrave Ferntree "
    "Boronia Bayswater Wantirna Glen Clayton Oakleigh Springvale Dandenong Noble Keysborough Mentone "
    "Cheltenham Sandringham Brighton Elwood Prahran Windsor Malvern Caulfield Elsternwick Bentleigh"
).split() + ["St Kilda", "South Yarra", "Port Melbourne", "Albert Park", "Mont Albert", "Glen Iris",
             "Box Hill", "Moonee Ponds", "Pascoe Vale", "Glen Waverley", "Noble Park", "Ferntree Gully",
             "Zürich", "Malmö", "Besançon", "Москва", "東京"]

NICKNAMES = {
    "William": ["Bill", "Will", "Liam"], "Robert": ["Bob", "Rob", "Bobby"], "Richard": ["Rick", "Dick"],
    "James": ["Jim", "Jimmy"], "John": ["Jack", "Johnny"], "Michael": ["Mike", "Mick"],
    "Elizabeth": ["Liz", "Beth", "Eliza"], "Margaret": ["Peggy", "Maggie", "Meg"], "Katherine": ["Kate", "Kathy"],
    "Catherine": ["Cathy", "Kate"], "Jonathan": ["Jon"], "Alexander": ["Alex", "Sasha"], "Jennifer": ["Jen", "Jenny"],
    "Christopher": ["Chris"], "Matthew": ["Matt"], "Anthony": ["Tony"], "Nicholas": ["Nick"], "Samantha": ["Sam"],
    "Samuel": ["Sam"], "Benjamin": ["Ben"], "Rebecca": ["Becky", "Bec"], "Patricia": ["Pat", "Trish"],
    "Daniel": ["Dan", "Danny"], "Joseph": ["Joe"], "Thomas": ["Tom"], "Edward": ["Ed", "Ted"],
    "Deborah": ["Deb", "Debbie"], "Stephanie": ["Steph"], "Timothy": ["Tim"], "Gregory": ["Greg"],
}

KEYBOARD_NEIGHBOURS = {
    "a": "qwsz", "b": "vghn", "c": "xdfv", "d": "serfcx", "e": "wsdr", "f": "drtgvc", "g": "ftyhbv",
    "h": "gyujnb", "i": "ujko", "j": "huikmn", "k": "jiolm", "l": "kop", "m": "njk", "n": "bhjm",
    "o": "iklp", "p": "ol", "q": "wa", "r": "edft", "s": "awedxz", "t": "rfgy", "u": "yhji",
    "v": "cfgb", "w": "qase", "x": "zsdc", "y": "tghu", "z": "asx",
}

N_VARIANTS = 8  # faulty variants kept per pool value


def _typo(s: str, rng: np.random.Generator) -> str:
    """One keying fault: neighbour-key substitution, deletion, insertion or
    transposition of two adjacent characters."""
    if len(s) < 2:
        return s + s
    i = int(rng.integers(0, len(s) - 1))
    kind = int(rng.integers(0, 4))
    if kind == 0:
        c = s[i]
        near = KEYBOARD_NEIGHBOURS.get(c.lower())
        r = near[int(rng.integers(0, len(near)))] if near else "e"
        return s[:i] + (r.upper() if c.isupper() else r) + s[i + 1:]
    if kind == 1:
        return s[:i] + s[i + 1:]
    if kind == 2:
        return s[:i] + s[i] + s[i:]
    return s[:i] + s[i + 1] + s[i] + s[i + 2:]


def _strip_accents(s: str) -> str:
    return "".join(c for c in unicodedata.normalize("NFD", s) if not unicodedata.combining(c))


def _variants(base: list[str], rng: np.random.Generator, extra=None) -> list[list[str]]:
    """N_VARIANTS faulty renderings of every base value."""
    out = []
    for s in base:
        vs = []
        for k in range(N_VARIANTS):
            kind = k % 4
            if kind == 3 and extra is not None:
                v = extra(s, k)
            elif kind == 2:
                a = _strip_accents(s)
                v = a if a != s else (s.upper() if k % 8 == 2 else s.lower())
            else:
                v = _typo(s, rng)
                if k >= 4:
                    v = _typo(v, rng)
            vs.append(v)
        out.append(vs)
    return out


def _synthetic_names(rng: np.random.Generator, n: int) -> list[str]:
    """Made-up but name-like words, to widen the vocabulary beyond the lists."""
    syl = ["an", "bel", "car", "do", "el", "fa", "gio", "han", "is", "jo", "ka", "li", "mar", "no", "ol",
           "pe", "quin", "ro", "sa", "te", "ul", "vi", "wen", "ya", "zé", "ñu", "ös", "berg", "son", "ski"]
    idx = rng.integers(0, len(syl), size=(n, 3))
    lens = rng.integers(2, 4, size=n)
    return sorted({"".join(syl[j] for j in row[:k]).capitalize() for row, k in zip(idx, lens)})


class _Pool:
    """Base values, their faulty variants and Zipf-like draw weights, laid
    out flat so a value or one of its variants is a single list index."""

    def __init__(self, base: list[str], rng: np.random.Generator, extra=None, zipf=1.1):
        self.base = base
        self.flat = list(base)
        for vs in _variants(base, rng, extra):
            self.flat.extend(vs)
        ranks = np.arange(1, len(base) + 1, dtype=np.float64)
        w = ranks ** -zipf
        self.p = w / w.sum()

    def draw(self, rng: np.random.Generator, n: int) -> np.ndarray:
        return rng.choice(len(self.base), size=n, p=self.p)

    def variant_index(self, base_idx: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        return len(self.base) + base_idx * N_VARIANTS + rng.integers(0, N_VARIANTS, size=base_idx.shape)


@dataclass
class Pairs:
    n: int
    strings: dict = field(default_factory=dict)   # field -> (left list, right list)
    numbers: dict = field(default_factory=dict)   # field -> (left float64, right float64)
    is_match: np.ndarray = None


def _pick(flat: list[str], idx: np.ndarray) -> list[str]:
    return [flat[i] for i in idx.tolist()]


def make_pairs(n: int, seed: int = 7) -> Pairs:
    rng = np.random.default_rng(seed)
    given = _Pool(GIVEN + _synthetic_names(rng, 400), rng,
                  extra=lambda s, k: (NICKNAMES.get(s) or [s[0]])[k % len(NICKNAMES.get(s) or [s[0]])])
    surname = _Pool(SURNAMES + _synthetic_names(rng, 2500), rng, zipf=0.9)
    street = _Pool(STREETS, rng, zipf=0.6)
    suburb = _Pool(SUBURBS, rng, zipf=0.6,
                   extra=lambda s, k: s.replace("Saint", "St").replace("Mount", "Mt") if k % 2 else s.upper())

    # People: the left record of each pair is one of n_people persons.
    n_people = max(1, min(n, 200_000))
    g = given.draw(rng, n_people)
    s = surname.draw(rng, n_people)
    st = street.draw(rng, n_people)
    stt = rng.integers(0, len(STREET_TYPES), n_people)
    sub = suburb.draw(rng, n_people)
    postcode_of_suburb = rng.integers(2000, 8000, len(SUBURBS))
    sno = np.minimum(rng.geometric(0.02, n_people), 999)
    dob = rng.integers(-11_000, 13_000, n_people).astype(np.float64)  # 1940 .. 2005

    left = rng.integers(0, n_people, n)
    is_match = rng.random(n) < 0.35
    # Non-matches: half a random person, half someone who shares the
    # surname draw with the left person (common surnames collide).
    other = rng.integers(0, n_people, n)
    right = np.where(is_match, left, other)
    is_match = right == left
    same_surname = (~is_match) & (rng.random(n) < 0.5)

    def side_fields(person, fault_rate, same_s=None):
        fault = lambda: rng.random(n) < fault_rate  # noqa: E731
        missing = lambda p: rng.random(n) < p  # noqa: E731
        gi = np.where(fault(), given.variant_index(g[person], rng), g[person])
        si_base = s[person] if same_s is None else np.where(same_s, s[left], s[person])
        si = np.where(fault(), surname.variant_index(si_base, rng), si_base)
        sti = np.where(fault() & (rng.random(n) < 0.5), street.variant_index(st[person], rng), st[person])
        subi = np.where(fault() & (rng.random(n) < 0.5), suburb.variant_index(sub[person], rng), sub[person])
        gv = _pick(given.flat, gi)
        sv = _pick(surname.flat, si)
        gaps = []
        for vals, p in ((gv, 0.03), (sv, 0.01)):
            for i in np.flatnonzero(missing(p)).tolist():
                vals[i] = ""
                gaps.append(i)
        name_fmt = np.where(fault() & (rng.random(n) < 0.3), rng.integers(1, 3, n), 0).tolist()
        name = [(a + " " + b) if f == 0 else (b + " " + a) if f == 1 else (b.upper() + ", " + a)
                for a, b, f in zip(gv, sv, name_fmt)]
        for i in gaps:
            name[i] = name[i].strip(" ,")
        num = sno[person].copy()
        nf = fault() & (rng.random(n) < 0.3)
        num[nf] = num[nf] + rng.integers(-3, 4, int(nf.sum()))
        abbreviate = (fault() & (rng.random(n) < 0.6)).tolist()
        types = [STREET_TYPES[t][1 if a else 0] for t, a in zip(stt[person].tolist(), abbreviate)]
        stv = _pick(street.flat, sti)
        street_line = [f"{k} {a} {t}" for k, a, t in zip(num.tolist(), stv, types)]
        subv = _pick(suburb.flat, subi)
        pcv = postcode_of_suburb[sub[person]].copy()
        pf = fault() & (rng.random(n) < 0.4)
        pcv[pf] = pcv[pf] + rng.choice([-10, -1, 1, 9, 90], int(pf.sum()))
        pcs = [str(x) for x in pcv.tolist()]
        for i in np.flatnonzero(missing(0.02)).tolist():
            pcs[i] = ""
        address = [f"{a} {b}" for a, b in zip(street_line, subv)]
        d = dob[person].copy()
        df = fault() & (rng.random(n) < 0.5)
        d[df] += rng.choice([-365.0, -31.0, -1.0, 1.0, 30.0, 365.0, 3652.0], int(df.sum()))
        d[missing(0.02)] = np.nan
        return {"given": gv, "surname": sv, "name": name, "street": street_line, "suburb": subv,
                "postcode": pcs, "address": address}, {"dob_days": d, "street_no": num.astype(np.float64)}

    ls, ln = side_fields(left, 0.04)
    rs, rn = side_fields(right, 0.4, same_surname)
    out = Pairs(n=n, is_match=is_match)
    for k in ls:
        out.strings[k] = (ls[k], rs[k])
    for k in ln:
        out.numbers[k] = (ln[k], rn[k])
    return out


def short_strings(n: int, seed: int = 3) -> tuple[list[str], list[str]]:
    """Identical short ASCII strings (distinct objects), for measuring the
    per-element cost of argument conversion with a trivial kernel."""
    rng = np.random.default_rng(seed)
    nums = rng.integers(10_000_000, 99_999_999, n).tolist()
    a = [f"{x}" for x in nums]
    b = [f"{x}" for x in nums]
    return a, b


if __name__ == "__main__":
    import sys
    import time

    n = int(sys.argv[1]) if len(sys.argv) > 1 else 12
    t = time.perf_counter()
    p = make_pairs(n)
    print(f"{n} pairs in {time.perf_counter() - t:.2f} s")
    for i in range(min(n, 12)):
        print("MATCH" if p.is_match[i] else "-----",
              " | ".join(f"{p.strings[k][0][i]!r}~{p.strings[k][1][i]!r}" for k in ("name", "address", "postcode")),
              f"dob {p.numbers['dob_days'][0][i]}~{p.numbers['dob_days'][1][i]}")
