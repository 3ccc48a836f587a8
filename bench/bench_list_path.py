"""The list path against its floor: `compute_feature_matrix` with one
"exact" column from two lists of short ASCII str, beside a minimal C loop
that copies both lists' bytes (compiled here with the running
interpreter's headers), in one process; and `exact_match_batch` beside the
list comprehension `[1.0 if a == b else 0.0 for a, b in zip(L, R)]`.

    .venv/bin/python bench/bench_list_path.py            # 1,000,000 pairs, best of 7
    .venv/bin/python bench/bench_list_path.py 200000     # another number of pairs
    .venv/bin/python bench/bench_list_path.py 1000000 --builds /tmp/before build/dev

Prints each in ns per pair and its ratio to its reference (ours / the
loop's, goal at most 1.5; ours / the comprehension's, goal at most 0.5),
by wall time and by the process's CPU time (steadier when other work
shares the machine). The loop is the least any caller of a C extension
pays to read two lists of str: every str's bytes copied into one growing
buffer with a 32-bit offset table, compact ASCII read where it lies, the
next items fetched 16 ahead. Every side runs once per round, in turn,
each run after a `gc.collect()`; the best of the rounds counts.
`--builds` loads the module from each directory given (builds of this
tree side by side: before and after a change) instead of the installed one.
"""

import gc
import importlib.util
import os
import random
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

import _corvane_rs as m

FLOOR_C = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static PyObject* copy(PyObject* self, PyObject* args) {
    PyObject* list;
    int prefetch;
    if (!PyArg_ParseTuple(args, "O!p", &PyList_Type, &list, &prefetch)) return NULL;
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject** items = ((PyListObject*)list)->ob_item;
    size_t cap = 1 << 20, len = 0;
    char* buf = malloc(cap);
    uint32_t* off = malloc(sizeof(uint32_t) * (n + 1));
    if (!buf || !off) { free(buf); free(off); return PyErr_NoMemory(); }
    off[0] = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (prefetch && i + 16 < n) __builtin_prefetch(items[i + 16]);
        PyObject* o = items[i];
        Py_ssize_t sz;
        const char* p;
        if (PyUnicode_IS_COMPACT_ASCII(o)) {
            p = (const char*)PyUnicode_DATA(o);
            sz = PyUnicode_GET_LENGTH(o);
        } else {
            p = PyUnicode_AsUTF8AndSize(o, &sz);
            if (!p) { free(buf); free(off); return NULL; }
        }
        if (len + sz > cap) {
            while (len + sz > cap) cap *= 2;
            char* grown = realloc(buf, cap);
            if (!grown) { free(buf); free(off); return PyErr_NoMemory(); }
            buf = grown;
        }
        memcpy(buf + len, p, sz);
        len += sz;
        off[i + 1] = (uint32_t)len;
    }
    free(buf);
    free(off);
    return PyLong_FromSize_t(len);
}

static PyMethodDef methods[] = {{"copy", copy, METH_VARARGS, ""}, {0}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "list_floor", "", -1, methods};
PyMODINIT_FUNC PyInit_list_floor(void) { return PyModule_Create(&def); }
"""


def build_floor():
    """The copy loop as an extension module (`copy(list, prefetch)`), or
    None without a C compiler."""
    tmp = tempfile.mkdtemp(prefix="list-floor-")
    src = os.path.join(tmp, "list_floor.c")
    with open(src, "w") as f:
        f.write(FLOOR_C)
    out = os.path.join(tmp, "list_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cmd = ["cc", "-O3", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], src, "-o", out]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    spec = importlib.util.spec_from_file_location("list_floor", out)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def pairs(n, seed=7):
    """Names, street addresses and surnames of 4 to 20 ASCII characters;
    the right side has one substituted letter in half of the pairs."""
    rng = random.Random(seed)
    first = ["john", "mary", "robert", "patricia", "michael", "jennifer", "william", "elizabeth", "david", "susan"]
    last = ["smith", "johnson", "williams", "brown", "jones", "garcia", "miller", "davis", "wilson", "anderson"]
    street = ["main st", "oak avenue", "park road", "station street", "high street", "church lane"]

    def one():
        k = rng.random()
        if k < 0.4:
            return rng.choice(first) + " " + rng.choice(last)
        if k < 0.8:
            return "%d %s" % (rng.randrange(1, 999), rng.choice(street))
        return rng.choice(last)

    def typo(s):
        if not s or rng.random() < 0.5:
            return s
        i = rng.randrange(len(s))
        return s[:i] + rng.choice("abcdefghijklmnopqrstuvwxyz") + s[i + 1:]

    left = [one() for _ in range(n)]
    return left, [typo(s) for s in left]


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def load_build(folder):
    """The module built in folder, loaded beside any other build."""
    path = next(os.path.join(folder, f) for f in os.listdir(folder)
                if f.startswith("_corvane_rs.") and f.endswith(sysconfig.get_config_var("EXT_SUFFIX")))
    spec = importlib.util.spec_from_file_location("_corvane_rs", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def main():
    args = sys.argv[1:]
    builds = [("ours", m)]
    if "--builds" in args:
        k = args.index("--builds")
        builds = [(folder, load_build(folder)) for folder in args[k + 1:]]
        args = args[:k]
    n = int(args[0]) if args else 1_000_000
    floor = build_floor()
    if floor is None:
        sys.exit("bench_list_path: no C compiler (cc) to build the floor loop")
    left, right = pairs(n)
    empty = np.zeros((0, n))
    sides = {}
    for name, mod in builds:
        sides["matrix " + name] = lambda mod=mod: mod.compute_feature_matrix([left], [right], ["exact"], empty, empty,
                                                                             [], n)
    sides["copy loop"] = lambda: (floor.copy(left, True), floor.copy(right, True))
    for name, mod in builds:
        sides["exact_match_batch " + name] = lambda mod=mod: mod.exact_match_batch(left, right)
    sides["comprehension"] = lambda: [1.0 if a == b else 0.0 for a, b in zip(left, right)]
    best = {name: (float("inf"), float("inf")) for name in sides}
    for _ in range(7):
        for name, f in sides.items():
            gc.collect()
            t0, c0 = time.perf_counter(), cpu_seconds()
            f()
            t, c = time.perf_counter() - t0, cpu_seconds() - c0
            best[name] = (min(best[name][0], t), min(best[name][1], c))
    for prefix, ref, goal in (("matrix ", "copy loop", 1.5), ("exact_match_batch ", "comprehension", 0.5)):
        rw, rc = best[ref]
        print("%-40s wall %6.1f ns per pair, CPU %6.1f" % (ref, rw / n * 1e9, rc / n * 1e9))
        for name in (k for k in sides if k.startswith(prefix)):
            w, c = best[name]
            print("%-40s wall %6.1f ns per pair, CPU %6.1f; ratio wall %.2f, CPU %.2f (goal <= %.1f)"
                  % (name, w / n * 1e9, c / n * 1e9, w / rw, c / rc, goal))


if __name__ == "__main__":
    main()
