"""Every ```python block of README.md runs as written.

The README reads top to bottom as one session (the first block imports the
module, later blocks use it), so block k runs in a fresh interpreter after
the blocks before it; a failure names README.md and its line.  A block the
README marks with an HTML comment ``<!-- not run: reason -->`` on the line
before its fence is skipped, for that reason, and left out of the session.
"""
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
FENCE = re.compile(r"^(```+|~~~+)\s*([\w+-]*)")
NOT_RUN = re.compile(r"^<!--\s*not run:\s*(.*?)\s*-->\s*$")
BLOCK_TIMEOUT = 240  # seconds for one interpreter: the blocks before and the block itself


@dataclass
class Block:
    line: int  # README line of the block's first line of code
    source: str
    skip: str | None  # the reason of a not-run marker


def python_blocks(text):
    """The ```python blocks of a Markdown text, in order."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang = m.group(1), m.group(2).lower()
        start = i + 1
        end = start
        while end < len(lines) and not lines[end].startswith(fence):
            end += 1
        if lang == "python":
            prev = next((lines[k] for k in range(i - 1, -1, -1) if lines[k].strip()), "")
            marker = NOT_RUN.match(prev.strip())
            blocks.append(Block(start + 1, "\n".join(lines[start:end]) + "\n", marker.group(1) if marker else None))
        i = end + 1
    return blocks


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


def session(upto):
    """A script running the unmarked blocks up to and including `upto` in
    one namespace, each compiled under README.md with its own line numbers."""
    parts = [
        "import sys",
        "def run(line, source, ns):",
        f"    code = compile('\\n' * (line - 1) + source, {str(README)!r}, 'exec')",
        "    exec(code, ns)",
        # The guard keeps processes started by a block (Dask workers are
        # spawned) from running the session again when they import __main__.
        "if __name__ == '__main__':",
        "    ns = {'__name__': '__main__'}",
    ]
    for b in BLOCKS[: upto + 1]:
        if b.skip is None:
            parts.append(f"    run({b.line}, {b.source!r}, ns)")
    return "\n".join(parts) + "\n"


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 3
    assert BLOCKS[0].skip is None, "the first example must run as written"


@pytest.mark.parametrize("k", range(len(BLOCKS)), ids=[f"line{b.line}" for b in BLOCKS])
def test_block_runs(k, tmp_path):
    block = BLOCKS[k]
    if block.skip is not None:
        pytest.skip(f"README marks the block at line {block.line}: {block.skip}")
    if "dask" in block.source:
        pytest.importorskip("dask")
        pytest.importorskip("distributed")
    env = dict(os.environ)
    ran = [b.source for b in BLOCKS[: k + 1] if b.skip is None]
    if any("ZEL_DEVICE" in s for s in ran):
        env.pop("ZEL_DEVICE", None)  # the README chooses the device itself
    else:
        env["ZEL_DEVICE"] = "host"
    script = tmp_path / "session.py"
    script.write_text(session(k), encoding="utf-8")
    res = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=BLOCK_TIMEOUT)
    if res.returncode != 0:
        pytest.fail(f"README block at line {block.line} failed:\n{res.stdout}\n{res.stderr}", pytrace=False)


def test_markers_fences_and_line_numbers():
    text = "\n".join([
        "intro",                       # 1
        "```python",                   # 2
        "a = 1",                       # 3
        "```",                         # 4
        "```sh",                       # 5
        "echo ```python",              # 6
        "```",                         # 7
        "<!-- not run: needs a GPU -->",  # 8
        "",                            # 9
        "```python",                   # 10
        "b = 2",                       # 11
        "c = 3",                       # 12
        "```",                         # 13
    ])
    a, b = python_blocks(text)
    assert (a.line, a.source, a.skip) == (3, "a = 1\n", None)
    assert (b.line, b.source, b.skip) == (11, "b = 2\nc = 3\n", "needs a GPU")
