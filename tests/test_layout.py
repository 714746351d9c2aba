"""The arithmetic header is the ground floor: everything may include it, and
it includes nothing of ours outside its own folder."""
import pathlib
import re

ZEL = pathlib.Path(__file__).resolve().parent.parent / "tarnex" / "zel"
ARITH = ZEL / "arith"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def _includes(path):
    return INCLUDE.findall(path.read_text())


def test_the_arithmetic_header_includes_nothing_outside_its_folder():
    headers = sorted(ARITH.iterdir())
    assert any(h.name == "fp.cuh" for h in headers)
    ours = {p.name for p in ZEL.rglob("*") if p.suffix in (".cuh", ".hpp", ".h")}
    for header in headers:
        for style, name in _includes(header):
            if style == '"':
                assert "/" not in name and (ARITH / name).is_file(), f"{header.name} includes {name}"
            else:
                # A system header, not one of ours reached through -I.
                assert pathlib.PurePath(name).name not in ours, f"{header.name} includes <{name}>"


def test_every_include_of_the_arithmetic_header_names_its_folder():
    # A file elsewhere reaches the header through arith/, never by a path
    # that would keep working if the header moved back under cuda/.
    for path in ZEL.rglob("*"):
        if path.suffix not in (".cpp", ".hpp", ".cuh", ".cu") or ARITH in path.parents:
            continue
        for style, name in _includes(path):
            target = (path.parent / name).resolve()
            if style == '"' and target.is_file() and ARITH in target.parents:
                assert "arith/" in name, f"{path.relative_to(ZEL)} includes {name}"


def test_the_stub_takes_all_from_the_modules_list():
    import ast
    import subprocess
    import sys

    names = ast.literal_eval("[" + "\n".join(
        line for line in (ZEL / "public_names.inc").read_text().splitlines()
        if not line.lstrip().startswith("//")) + "]")
    stub = ast.parse((ZEL / "zel.pyi").read_text())
    declared = next(ast.literal_eval(n.value) for n in stub.body
                    if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", None) == "__all__")
    assert declared == names
    # The writer finds the stub up to date.
    script = ZEL.parent.parent / "scripts" / "gen_stub_all"
    res = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True)
    assert res.returncode == 0 and res.stdout == "", res.stdout + res.stderr
