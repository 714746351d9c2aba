"""The host kernels' vector levels: the exact algebra run at each level that
ZEL_CPU_LEVEL can choose on this machine gives the same bytes, and the
variable lowers the level, never raises it, and refuses unknown names."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarnex.zel.zel as zel

BATTERY = Path(__file__).with_name("cpu_level_battery.py")
LEVELS = ("baseline", "avx2", "avx512")


def run(args, level):
    env = dict(os.environ, ZEL_DEVICE="host")
    env.pop("ZEL_CPU_LEVEL", None)
    if level is not None:
        env["ZEL_CPU_LEVEL"] = level
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=300)


def battery(level):
    res = run([str(BATTERY)], level)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


def test_every_level_gives_the_same_bytes():
    native = battery(None)
    assert native["level"] in LEVELS
    reach = LEVELS[: LEVELS.index(native["level"]) + 1]
    for level in reach[:-1]:
        lowered = battery(level)
        assert lowered.pop("level") == level
        differ = [case for case, digest in lowered.items() if native[case] != digest]
        assert not differ, f"{level} differs from {native['level']} in {differ}"


def test_the_level_is_lowered_never_raised():
    probe = ["-c", "import tarnex.zel.zel as z; print(z._cpu_level)"]
    native = run(probe, None).stdout.strip()
    assert native == zel._cpu_level or "ZEL_CPU_LEVEL" in os.environ
    for level in LEVELS:
        res = run(probe, level)
        assert res.returncode == 0, res.stderr
        want = level if LEVELS.index(level) <= LEVELS.index(native) else native
        assert res.stdout.strip() == want
    assert run(probe, "").stdout.strip() == native


@pytest.mark.parametrize("bad", ["AVX2", "sse", "avx512 "])
def test_an_unknown_level_stops_the_import(bad):
    res = run(["-c", "import tarnex.zel.zel"], bad)
    assert res.returncode != 0
    assert "ImportError" in res.stderr and f"ZEL_CPU_LEVEL={bad}" in res.stderr and "baseline, avx2 or avx512" in res.stderr
