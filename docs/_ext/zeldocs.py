"""Sphinx extension: generates the rounding table, the API reference and
the benchmark plots before the sources are read.

Everything generated goes to ``docs/_generated`` (not tracked, excluded from
the document search; the pages include it).
"""
import json
import re
from pathlib import Path

import zel_api

HERE = Path(__file__).resolve().parent
DOCS = HERE.parent
GENERATED = DOCS / "_generated"
RESULTS = DOCS.parent / "benchmarks" / "results"
MODULE = "tarnex.zel.zel"


def _write(path, text):
    # Rewriting an unchanged file would make Sphinx reread every page.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def _cell(text):
    return text if text else "\u2013"


def rounding_table():
    out = []
    for title, entries in zel_api.GROUPS:
        out += [f".. rubric:: {title}", "", ".. list-table::", "   :header-rows: 1",
                "   :widths: 18 20 37 25", "",
                "   * - name", "     - result", "     - note", "     - to keep every bit"]
        for name, kind, note, keep in entries:
            ref = f":func:`{name}`" if kind not in ("class", "const") else (
                f":class:`{name}`" if kind == "class" else f":data:`{name}`")
            out += [f"   * - {ref}", f"     - {zel_api.KINDS[kind]}", f"     - {_cell(note)}",
                    f"     - {_cell(keep)}"]
        out.append("")
    return "\n".join(out) + "\n"


def api_reference():
    out = []
    for title, entries in zel_api.GROUPS:
        out += [title, "-" * len(title), ""]
        for name, kind, note, _ in entries:
            if kind == "class":
                out += [f".. autoclass:: {MODULE}.{name}", "   :members:", ""]
            elif kind == "const":
                out += [f".. py:data:: {name}", "", f"   {note}.", ""]
            else:
                out += [f".. autofunction:: {MODULE}.{name}", ""]
    return "\n".join(out) + "\n"


# --- benchmark plots -----------------------------------------------------------

SERIES_NAMES = {"ours": "tarnex.zel", "seconds": "tarnex.zel", "module_seconds": "tarnex.zel, one process",
                "flint": "python-flint", "pure_python": "pure Python", "mpmath": "mpmath",
                "gmpy2": "gmpy2", "peer": "peer (see the case)"}
UNITS = (("_ns", 1e-9), ("_ms", 1e-3), ("_s", 1.0))


def _series(row):
    """Times in seconds by series name, from one row of a results file."""
    out = {}
    for key, value in row.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) or "cpu" in key:
            continue
        if key in ("seconds", "module_seconds"):
            out[SERIES_NAMES[key]] = float(value)
            continue
        for suffix, scale in UNITS:
            if key.endswith(suffix) and key[: -len(suffix)] in SERIES_NAMES:
                out[SERIES_NAMES[key[: -len(suffix)]]] = float(value) * scale
    return out


def _label(row):
    if "case" in row:
        label = row["case"]
        if row.get("peer"):
            label += f" (peer: {row['peer']})"
        return label
    return f"{row.get('op', '?')} {row.get('size', '')}".strip()


def benchmark_plots():
    """One horizontal bar chart per results file; returns the rst that shows them."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plots = GENERATED / "plots"
    plots.mkdir(exist_ok=True)
    out = []
    for path in sorted(RESULTS.glob("*.json")):
        data = json.loads(path.read_text())
        rows = data.get("rows") or data.get("results") or []
        cases = [(_label(r), _series(r)) for r in rows]
        cases = [(label, s) for label, s in cases if s]
        if not cases:
            continue
        names = []
        for _, s in cases:
            names += [n for n in s if n not in names]
        png = plots / (path.stem + ".png")
        if not png.exists() or png.stat().st_mtime < max(path.stat().st_mtime, Path(__file__).stat().st_mtime):
            height = 0.8 / len(names)
            fig, ax = plt.subplots(figsize=(8, 0.9 + 0.45 * len(cases) * max(1, len(names) / 2)))
            for k, name in enumerate(names):
                ys = [i + k * height for i, (_, s) in enumerate(cases) if name in s]
                xs = [s[name] for _, s in cases if name in s]
                ax.barh(ys, xs, height=height, label=name)
            ax.set_yticks([i + 0.4 - height / 2 for i in range(len(cases))])
            ax.set_yticklabels([label for label, _ in cases], fontsize=8)
            ax.invert_yaxis()
            ax.set_xscale("log")
            ax.set_xlabel("seconds (log scale; shorter is faster)")
            ax.set_title(f"{path.name} (device: {data.get('device', '?')})", fontsize=10)
            ax.legend(fontsize=8, loc="best")
            fig.tight_layout()
            fig.savefig(png, dpi=90)
            plt.close(fig)
        meta = ", ".join(f"{k} = {v}" for k, v in data.items()
                         if k not in ("rows", "results") and isinstance(v, (int, float, str)))
        out += [path.stem, "~" * len(path.stem), "",
                f".. figure:: /_generated/plots/{png.name}", f"   :alt: {path.stem} timings", "",
                f"   ``benchmarks/results/{path.name}``: {meta}.", ""]
    return "\n".join(out) + "\n"


def generate(app):
    GENERATED.mkdir(exist_ok=True)
    _write(GENERATED / "rounding_table.txt", rounding_table())
    _write(GENERATED / "api.txt", api_reference())
    _write(GENERATED / "benchmarks.txt", benchmark_plots())


# Docstrings are also read as plain text (help()), where |x| is an absolute
# value; to reStructuredText it would be a substitution.  Bars outside
# inline literals and examples are escaped.
_LITERAL = re.compile(r"(``.+?``)")


def _escape_bars(line):
    parts = _LITERAL.split(line)
    return "".join(p if i % 2 else p.replace("|", "\\|") for i, p in enumerate(parts))


def escape_docstring(app, what, name, obj, options, lines):
    in_example = False
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith(">>>"):
            in_example = True
        elif not stripped:
            in_example = False
        if not in_example and "|" in line:
            lines[i] = _escape_bars(line)


def setup(app):
    app.connect("builder-inited", generate)
    # After napoleon (priority 500) has turned the sections into reST.
    app.connect("autodoc-process-docstring", escape_docstring, priority=600)
    return {"parallel_read_safe": True, "version": "1"}
