"""The module's docstrings and the documentation's table of public names.

Every example in a docstring and in the documentation's pages runs as a
doctest (one case per docstring or page), the long docstrings have their
sections, and the table the documentation is
generated from names every public name, with result kinds that match what
the element-wise functions compute.
"""
import doctest
import inspect
import math
import re
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import tarnex.zel.zel as zel

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "docs" / "_ext"))
import zel_api  # noqa: E402

GLOBS = {"zel": zel, "np": np, "Fraction": Fraction}
FLAGS = doctest.ELLIPSIS


def _doctests():
    finder = doctest.DocTestFinder(exclude_empty=True)
    return sorted((t for t in finder.find(zel, "zel", globs={}) if t.examples), key=lambda t: t.name)


DOCTESTS = _doctests()


@pytest.mark.parametrize("test", DOCTESTS, ids=[t.name for t in DOCTESTS])
def test_docstring_examples(test):
    test.globs = dict(GLOBS)
    lines = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    try:
        runner.run(test, out=lines.append)
    finally:
        if zel._numpy_patched:  # an example that failed half-way leaves no patch behind
            zel.unpatch_numpy()
    assert runner.failures == 0, "".join(lines)


PAGES = sorted(p for p in (ROOT / "docs").glob("*.rst") if ">>>" in p.read_text())


@pytest.mark.skipif(zel.device != "host", reason="the pages show the host backend's device and kernels")
@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_examples(page):
    # The documentation pages' examples, as the site's doctest build runs them
    # (one namespace per page), without needing Sphinx.
    test = doctest.DocTestParser().get_doctest(page.read_text(), dict(GLOBS), page.name, str(page), 0)
    lines = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    try:
        runner.run(test, out=lines.append)
    finally:
        if zel._numpy_patched:
            zel.unpatch_numpy()
    assert runner.failures == 0, "".join(lines)


# --- sections of the long docstrings ---------------------------------------------

def _documented_names():
    """Names with a long-docstring entry in the sources (doc/*.inc)."""
    names = set()
    for inc in (ROOT / "tarnex" / "zel" / "doc").glob("*.inc"):
        names.update(re.findall(r'^ZEL_DOC\("(\w+)"', inc.read_text(), flags=re.M))
    return names


def _public_functions():
    return sorted(n for n in zel_api.public_names(zel) if callable(getattr(zel, n)) and not isinstance(getattr(zel, n), type))


def _takes_arguments(fn):
    try:
        return bool(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        return True


def _missing_sections(name):
    doc = getattr(zel, name).__doc__ or ""
    wanted = ["Returns:", "Example:"]
    if _takes_arguments(getattr(zel, name)):
        wanted.insert(0, "Args:")
    found = {s: len(re.findall(rf"^{s}$", doc, flags=re.M)) for s in wanted}
    return [f"{s} x{n}" for s, n in found.items() if n != 1]


def _section_report(names):
    return {n: m for n in names if (m := _missing_sections(n))}


def test_long_docstrings_have_their_sections():
    # Every function with a long-docstring entry has each section once.
    names = sorted(_documented_names() & set(_public_functions()))
    assert names, "no long docstrings found"
    assert _section_report(names) == {}


def test_long_docstring_entries_name_public_functions():
    assert _documented_names() <= set(_public_functions()), "an entry names no public function"


def test_each_function_has_one_long_docstring_entry():
    # The lookup takes the first entry of a name: a second one would be dead text.
    seen = {}
    for inc in sorted((ROOT / "tarnex" / "zel" / "doc").glob("*.inc")):
        for name in re.findall(r'^ZEL_DOC\("(\w+)"', inc.read_text(), flags=re.M):
            seen.setdefault(name, []).append(inc.name)
    assert {n: f for n, f in seen.items() if len(f) > 1} == {}


def test_every_public_function_has_a_long_docstring():
    missing = sorted(set(_public_functions()) - _documented_names())
    assert missing == [], f"{len(missing)} public functions without a long docstring: {missing}"


def test_tensor_class_docstring():
    doc = zel.Tensor.__doc__
    assert doc.startswith("GPU Fixed-Point Tensor.\n")
    assert all(doc.count(s) == 1 for s in ("Args:", "Raises:", "Example:"))
    assert str(inspect.signature(zel.Tensor)) == "(data=None, shape=None, _raw=None, *, exact=False)"


# --- the table of public names ------------------------------------------------------

def test_table_names_every_public_name_once():
    names = zel_api.table_names()
    assert len(names) == len(set(names)), "a name appears twice"
    public = zel_api.public_names(zel)
    assert sorted(public - set(names)) == [], "public names missing from the table"
    assert sorted(set(names) - public) == [], "table names that are not public"
    assert {kind for _, entries in zel_api.GROUPS for _, kind, _, _ in entries} <= set(zel_api.KINDS)


# Exact references for element-wise functions, on Fractions (with any
# further arguments after the reference).
def _floor_to_grid(q):
    return Fraction(math.floor(q * zel.SCALE), zel.SCALE)


def _floor_sqrt(q):
    return Fraction(math.isqrt(math.floor(q * zel.SCALE * zel.SCALE)), zel.SCALE) if q > 0 else Fraction(0)


def _round_half_even(q):
    return Fraction(round(q))


REFERENCES = {
    "add": (2, lambda a, b: a + b),
    "sub": (2, lambda a, b: a - b),
    "mul": (2, lambda a, b: a * b),
    "div": (2, lambda a, b: a / b),
    "mod": (2, lambda a, b: a % b),
    "neg": (1, lambda a: -a),
    "abs": (1, lambda a: abs(a)),
    "sign": (1, lambda a: Fraction((a > 0) - (a < 0))),
    "relu": (1, lambda a: max(a, Fraction(0))),
    "reciprocal": (1, lambda a: 1 / a),
    "ceil": (1, lambda a: Fraction(math.ceil(a))),
    "floor": (1, lambda a: Fraction(math.floor(a))),
    "round": (1, _round_half_even),
    "trunc": (1, lambda a: Fraction(math.trunc(a))),
    "frac": (1, lambda a: a - math.trunc(a)),
    "sqrt": (1, _floor_sqrt),
    "pow": (1, lambda a: a**3, 3),
}


def _operands():
    # Records of both signs with all 256 fraction bits in use, of magnitudes
    # between 2**-4 and 2**60 (products stay in range; none is zero).
    rng = np.random.default_rng(7)
    vals = []
    for _ in range(24):
        num = int(rng.integers(1, 2**62)) * 2**100 + int(rng.integers(0, 2**62))
        q = Fraction(num, int(rng.integers(1, 2**40)) * 2**64 + 1) * int(rng.choice([-1, 1]))
        vals.append(_floor_to_grid(q))
    return vals + [Fraction(5, 2), Fraction(-5, 2), Fraction(7, 2)]


def test_table_kinds_match_the_elementwise_functions():
    kinds = {name: kind for _, entries in zel_api.GROUPS for name, kind, _, _ in entries}
    xs = _operands()
    ys = xs[1:] + xs[:1]
    a, b = zel.tensor(xs, exact=True), zel.tensor(ys, exact=True)
    for name, (arity, ref, *extra) in REFERENCES.items():
        got = getattr(zel, name)(*((a, b) if arity == 2 else (a,)), *extra).to_fractions()
        exact = [ref(x, y) if arity == 2 else ref(x) for x, y in zip(xs, ys)]
        if kinds[name] == "exact":
            assert got == exact, name
        else:
            assert kinds[name] == "floor", name
            assert got == [_floor_to_grid(q) for q in exact], name
            if name != "sqrt":
                assert got != exact, f"{name}: no operand exercises the floor"
